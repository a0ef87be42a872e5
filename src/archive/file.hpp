// File: an owned read-only descriptor (a handle on Windows), read only by positioned reads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "error/result.hpp"

namespace zel {

class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens `path` (UTF-8 on Windows) read-only; an Io error with the system's error number
  // otherwise.
  static Result<File> open_read_only(const std::string& path);

  // The file's length, taken when it was opened.
  uint64_t size() const noexcept { return size_; }

  // Fills `out` from `offset`. Returns 0, the system's error number, or kEndOfFile when the file
  // ends before `out` is full. Retries short reads and EINTR.
  static constexpr int kEndOfFile = -1;
  int read_at(uint64_t offset, std::span<uint8_t> out) const noexcept;

  // As read_at, but only from the page cache: kNotCached when any of the bytes would have to
  // be fetched from the disk first (or the kernel cannot tell). Nothing is waited for.
  static constexpr int kNotCached = -2;
  int read_cached_at(uint64_t offset, std::span<uint8_t> out) const noexcept;

  // Tells the kernel that [offset, offset + length) is about to be read. Only a hint.
  void advise_will_need(uint64_t offset, uint64_t length) const noexcept;

  // A second descriptor of the same open file (not the path, which may name another file by
  // now), for a reader of its own on another thread.
  Result<File> duplicate() const;

  // What tells this file apart from any other, and from itself once rewritten.
  struct Identity {
    uint64_t device, inode, size;
    int64_t modified_ns, changed_ns;
  };
  Result<Identity> identity() const;

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // a HANDLE, never INVALID_HANDLE_VALUE; no system header here
#else
  int fd_ = -1;
#endif
  uint64_t size_ = 0;
};

}  // namespace zel
