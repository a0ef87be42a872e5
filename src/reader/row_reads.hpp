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
  explicit ReaderPool(const ZipReader& base);
  ~ReaderPool();
  ReaderPool(const ReaderPool&) = delete;
  ReaderPool& operator=(const ReaderPool&) = delete;

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
  friend struct PoolRegistry;
  const ZipReader& base_;
  // Held only to take or give back a reader. Every pool's is held across fork(), so that a
  // child never inherits one locked by a thread it does not have.
  std::mutex mutex_;
  std::vector<std::unique_ptr<ZipReader>> spare_;
  ReaderPool* previous_ = nullptr;  // the neighbours in the list of every pool alive
  ReaderPool* next_ = nullptr;
};

// Resets the process-wide state of row reads in a forked child and keeps every pool's lock
// across the fork; called once, before the first pool is made. False when the handlers could
// not be registered.
bool prepare_row_reads_for_fork() noexcept;

// The threads counted as reading rows in this process now (for tests and diagnostics).
unsigned reading_thread_count() noexcept;

// The members of one segment of a channel and the side of the square grid they fill.
struct SegmentGrid {
  std::span<const MemberLocator> members;  // side * side of them, in grid order
  uint64_t side;
};

// The grid of `channel`'s `segment`: NoFile when it has no members, NotAGrid when their count
// is no square, a Zip error when the index cannot give them.
Result<SegmentGrid> segment_grid(const ZelDataFIle& file, std::string_view channel,
                                 uint8_t segment);

struct RowRead {
  std::string_view channel;
  std::span<const uint8_t> segments;
  std::string_view unit;
  // Grid rows start, start + step, ... (count of them). read_rows checks them against the grid
  // of the first segment (OutsideGrid), which every other segment must share.
  int64_t row_start;
  int64_t row_step;
  uint64_t row_count;
  // segments.size() x row_count x side x kBlockValues values, C order; read_rows checks the
  // size (WrongBuffer) before it writes anything.
  std::span<double> out;
  // At least 1: the most threads reading in the process (this read's calling thread and
  // helpers, and those of other reads) while this read starts or keeps helpers.
  unsigned threads;
};

// Called on the calling thread every few milliseconds while a read runs; false stops it.
using KeepGoing = FunctionRef<bool()>;

// The values of the chosen rows, bit for bit those that read_channel gives for the same
// positions, NaN fill included, and nothing written to standard output. Members are read in
// rows spread over the threads; an error is the one that read_channel called on each segment
// in turn would meet first: a segment that cannot be looked up fails at its first row, a
// member too long for its grid position after the segment's other members. A read stopped by
// `keep_going` returns kStopped. May throw std::bad_alloc.
Result<void> read_rows(const ZelDataFIle& file, ReaderPool& pool, const RowRead& request,
                       KeepGoing keep_going);

// The error of a read that keep_going stopped.
inline constexpr std::string_view kStopped = "the read was stopped";

}  // namespace zel
