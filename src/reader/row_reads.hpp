// Reading chosen grid rows of a channel's segments into a caller's buffer, on several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "archive/function_ref.hpp"
#include "archive/zip_reader.hpp"
#include "error/result.hpp"
#include "reader/data_file.hpp"

namespace zel {

// Readers over one open archive, each used by one thread at a time and kept for later reads:
// a thread's memory is its reader's buffers, one batch of members' bytes and one member's
// inflated contents, whatever the file.
class ReaderPool {
 public:
  explicit ReaderPool(const ZipReader& base) noexcept : base_(base) {}

  class Lease {
   public:
    Lease(ReaderPool& pool, std::unique_ptr<ZipReader> reader) noexcept
        : pool_(&pool), reader_(std::move(reader)) {}
    Lease(Lease&&) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    ZipReader& reader() noexcept { return *reader_; }

   private:
    ReaderPool* pool_;
    std::unique_ptr<ZipReader> reader_;
  };

  // A spare reader, or a new one over the base reader's file.
  Result<Lease> take();

 private:
  const ZipReader& base_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<ZipReader>> spare_;
};

struct RowRead {
  std::string_view channel;
  std::span<const uint8_t> segments;
  std::string_view unit;
  // Grid rows start, start + step, ... (count of them), each within the grid.
  uint64_t row_start;
  int64_t row_step;
  uint64_t row_count;
  uint64_t side;  // every segment has side * side members
  // segments.size() x row_count x side x kBlockValues values, C order.
  std::span<double> out;
  // At least 1: the most threads reading in the process (this read's calling thread and
  // helpers, and those of other reads) while this read starts or keeps helpers.
  unsigned threads;
};

// Called on the calling thread every few milliseconds while a read runs; false stops it.
using KeepGoing = FunctionRef<bool()>;

// The values of the chosen rows, bit for bit those that read_channel gives for the same
// positions, NaN fill included, and nothing written to standard output. Members are read in
// rows spread over the threads; an error is the one that reading the members in order would
// meet first. A read stopped by `keep_going` returns kStopped.
Result<void> read_rows(const ZelDataFIle& file, ReaderPool& pool, const RowRead& request,
                       KeepGoing keep_going);

// The error of a read that keep_going stopped.
inline constexpr std::string_view kStopped = "the read was stopped";

}  // namespace zel
