// Walking a central directory record by record. A template, so that what each caller does with
// a record is compiled into the loop: the walk is bound by the latency of reading one record's
// lengths to find the next, and a call per record through a pointer adds to every step.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "archive/byte_source.hpp"
#include "archive/bytes.hpp"
#include "archive/member_locator.hpp"
#include "archive/zip_format.hpp"
#include "error/result.hpp"

namespace zel {

// Where the archive lies in its file, from the end-of-central-directory records.
struct ArchiveInfo {
  uint64_t end_record_offset = 0;
  bool has_zip64_end = false;
  uint64_t zip64_end_offset = 0;
  uint64_t directory_size = 0;
  uint64_t directory_offset = 0;
  uint64_t entries = 0;
  uint64_t base_offset = 0;  // added to every recorded offset (data before the archive)
  uint16_t comment_length = 0;

  // The central directory is walked from its start up to here.
  uint64_t directory_end() const noexcept {
    return has_zip64_end ? zip64_end_offset : end_record_offset;
  }
};

// One central-directory record met by a walk, valid while the visitor runs.
struct CentralRecord {
  std::span<const uint8_t> bytes;  // its fixed part and its variable part
  size_t name_length;
  size_t extra_length;
  uint64_t base_offset;

  std::string_view name() const noexcept {
    return {reinterpret_cast<const char*>(bytes.data() + central::kSize), name_length};
  }
  // Writes the record's locator into `out`; a record whose sizes or offset cannot be read gets
  // a fault, which is reported when the member is selected.
  void locate(MemberLocator& out) const noexcept;
};

// The largest variable part (name, extra field and comment) a record may have.
inline constexpr size_t kMaxRecordVariable = 65536;
// What a walk reads through: a window and one record's fixed part past it.
inline constexpr size_t kDirectoryBufferSize = kMaxRecordVariable + central::kSize;

// Walks the central directory of `archive` in `source` through `buffer` (kDirectoryBufferSize
// bytes), checking each record's framing, and hands every record to `visit` in order, which
// returns false to stop the walk (keeping its own reason). Returns how many records were
// handed over. Reads only through `source`: any thread may walk.
template <class Visit>
Result<uint64_t> walk_directory(const ByteSource& source, const ArchiveInfo& archive,
                                std::vector<uint8_t>& buffer, Visit&& visit) {
  const uint64_t end = archive.directory_end();
  if (archive.directory_offset > UINT64_MAX - archive.base_offset) {
    return zip_error("invalid Zip archive: central directory offset out of range");
  }
  uint64_t pos = archive.directory_offset + archive.base_offset;
  if (pos > end) return zip_error("invalid Zip archive: central directory offset out of range");

  uint64_t window_start = pos;
  size_t window_length = 0;
  // Makes [pos, pos + length) readable in the buffer, refilling it from pos when needed.
  auto ensure = [&](size_t length) -> int {
    if (pos >= window_start && pos + length <= window_start + window_length) return 0;
    window_start = pos;
    window_length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - pos));
    return source.read_at(pos, std::span<uint8_t>(buffer.data(), window_length));
  };

  uint64_t records = 0;
  while (end - pos >= central::kSize) {
    if (int status = ensure(central::kSize); status != 0) {
      return zip_read_error("could not read the central directory", status);
    }
    std::span<const uint8_t> fixed(buffer.data() + (pos - window_start), central::kSize);
    if (le32(fixed, 0) != central::kSignature) {
      return zip_error("invalid Zip archive: invalid central directory record signature");
    }
    const size_t name_length = le16(fixed, central::kNameLength);
    const size_t extra_length = le16(fixed, central::kExtraLength);
    const size_t comment_length = le16(fixed, central::kCommentLength);
    const size_t variable = name_length + extra_length + comment_length;
    if (variable > kMaxRecordVariable) {
      return zip_error("invalid Zip archive: central directory record too large");
    }
    if (end - pos < central::kSize + variable) {
      return zip_error("invalid Zip archive: central directory ends inside a record");
    }
    if (int status = ensure(central::kSize + variable); status != 0) {
      return zip_read_error("could not read the central directory", status);
    }
    const CentralRecord record{
        std::span<const uint8_t>(buffer.data() + (pos - window_start), central::kSize + variable),
        name_length, extra_length, archive.base_offset};
    ++records;
    if (!visit(record)) return records;
    pos += central::kSize + variable;
  }
  return records;
}

}  // namespace zel
