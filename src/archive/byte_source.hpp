// ByteSource: where an archive's bytes come from, an open file read with pread or the pieces of
// a remote object that the caller fetched and handed over. Everything above it reads the same.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "archive/file.hpp"
#include "error/result.hpp"

namespace zel {

// A byte range of an object: [offset, offset + length).
struct ByteRange {
  uint64_t offset;
  uint64_t length;
};

// Pieces of an object of known size, fetched by someone else. A read that needs a byte no piece
// holds fails with kNotFetched and remembers the first such range, so that the caller can fetch
// it and try again.
class FetchedBytes {
 public:
  explicit FetchedBytes(uint64_t size) noexcept : size_(size) {}

  // Adds the bytes of [offset, offset + bytes.size()); an Io error when they do not lie inside
  // the object or memory runs out.
  Result<void> add(uint64_t offset, std::span<const uint8_t> bytes);

  uint64_t size() const noexcept { return size_; }
  // As File::read_at, or kNotFetched.
  int read_at(uint64_t offset, std::span<uint8_t> out) const noexcept;
  // The first range a read asked for and did not find, if any.
  std::optional<ByteRange> missing() const;
  // Forgets the missing range, before a new attempt.
  void clear_missing() const;

 private:
  struct Piece {
    uint64_t offset;
    std::vector<uint8_t> bytes;
  };
  uint64_t size_;
  std::vector<Piece> pieces_;  // sorted by offset; they may overlap
  mutable std::mutex missing_mutex_;
  mutable std::optional<ByteRange> missing_;
};

class ByteSource {
 public:
  static constexpr int kNotFetched = -3;

  ByteSource() = default;
  ByteSource(File file) noexcept : file_(std::move(file)) {}  // implicit: a file is a source
  explicit ByteSource(std::shared_ptr<const FetchedBytes> fetched) noexcept
      : fetched_(std::move(fetched)) {}

  uint64_t size() const noexcept { return fetched_ ? fetched_->size() : file_.size(); }
  int read_at(uint64_t offset, std::span<uint8_t> out) const noexcept {
    return fetched_ ? fetched_->read_at(offset, out) : file_.read_at(offset, out);
  }
  int read_cached_at(uint64_t offset, std::span<uint8_t> out) const noexcept {
    return fetched_ ? fetched_->read_at(offset, out) : file_.read_cached_at(offset, out);
  }
  void advise_will_need(uint64_t offset, uint64_t length) const noexcept {
    if (!fetched_) file_.advise_will_need(offset, length);
  }
  // Members closer than this are read together, the bytes between them included. Fetched
  // pieces hold only what was planned, so nothing between members is read from them.
  uint64_t join_gap(uint64_t file_gap) const noexcept { return fetched_ ? 0 : file_gap; }
  // A source of its own over the same bytes, for another thread.
  Result<ByteSource> duplicate() const;
  // The open file, or null when the bytes were fetched.
  const File* file() const noexcept { return fetched_ ? nullptr : &file_; }
  const FetchedBytes* fetched() const noexcept { return fetched_.get(); }

 private:
  File file_;
  std::shared_ptr<const FetchedBytes> fetched_;
};

}  // namespace zel
