// The ZIP layer: locating the end records and walking the central directory.
#include "archive/zip_reader.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "archive/bytes.hpp"
#include "archive/zip_format.hpp"

namespace zel {

namespace {

// Reads [offset, offset + size) where the caller has checked that it lies inside the file.
int read_into(const ByteSource& source, uint64_t offset, std::vector<uint8_t>& buffer,
              size_t size) {
  return source.read_at(offset, std::span<uint8_t>(buffer.data(), size));
}

// Zip64 records are used when a valid locator stands right before the end record and points
// at a valid Zip64 end record before it.
bool read_zip64_end(const ByteSource& source, std::vector<uint8_t>& buffer,
                    uint64_t end_record_offset, ArchiveInfo& info, bool& locator_present) {
  locator_present = false;
  if (end_record_offset < zip64_locator::kSize) return false;
  const uint64_t locator_offset = end_record_offset - zip64_locator::kSize;
  if (read_into(source, locator_offset, buffer, zip64_locator::kSize) != 0) return false;
  std::span<const uint8_t> bytes(buffer.data(), zip64_locator::kSize);
  if (le32(bytes, 0) != zip64_locator::kSignature) return false;
  locator_present = true;
  const uint64_t end_offset = le64(bytes, zip64_locator::kEndOffset);
  if (end_offset > locator_offset || locator_offset - end_offset < zip64_eocd::kSize) return false;
  if (read_into(source, end_offset, buffer, zip64_eocd::kSize) != 0) return false;
  bytes = std::span<const uint8_t>(buffer.data(), zip64_eocd::kSize);
  if (le32(bytes, 0) != zip64_eocd::kSignature) return false;
  info.has_zip64_end = true;
  info.zip64_end_offset = end_offset;
  info.entries = le64(bytes, zip64_eocd::kEntries);
  info.directory_size = le64(bytes, zip64_eocd::kDirectorySize);
  info.directory_offset = le64(bytes, zip64_eocd::kDirectoryOffset);
  return true;
}

bool central_signature_at(const ByteSource& source, std::vector<uint8_t>& buffer, uint64_t offset) {
  if (offset > source.size() || source.size() - offset < 4) return false;
  return read_into(source, offset, buffer, 4) == 0 &&
         le32(std::span<const uint8_t>(buffer.data(), 4), 0) == central::kSignature;
}

}  // namespace

Result<ArchiveInfo> ZipReader::locate(const ByteSource& source, std::vector<uint8_t>& buffer) {
  const uint64_t size = source.size();
  if (size < eocd::kSize)
    return zip_error("invalid Zip archive: file is shorter than an end record");

  // Search backwards through windows of the buffer; windows overlap by 3 bytes so that a
  // signature straddling two windows is found. The occurrence nearest the end wins.
  const uint64_t search_start = size > eocd::kSearchLimit ? size - eocd::kSearchLimit : 0;
  const uint64_t last_candidate = size - eocd::kSize;
  uint64_t window_end = size;
  bool found = false;
  uint64_t end_record_offset = 0;
  while (!found) {
    const uint64_t window_start =
        std::max(search_start, window_end > kBufferSize ? window_end - kBufferSize : 0);
    const size_t length = static_cast<size_t>(window_end - window_start);
    if (int status = read_into(source, window_start, buffer, length); status != 0) {
      return zip_read_error("could not read the end of the archive", status);
    }
    std::span<const uint8_t> window(buffer.data(), length);
    for (size_t i = length >= 4 ? length - 4 + 1 : 0; i-- > 0;) {
      if (window_start + i > last_candidate) continue;
      if (le32(window, i) == eocd::kSignature) {
        found = true;
        end_record_offset = window_start + i;
        break;
      }
    }
    if (found || window_start == search_start) break;
    window_end = window_start + 3;
  }
  if (!found) return zip_error("invalid Zip archive: could not find central directory end");

  if (int status = read_into(source, end_record_offset, buffer, eocd::kSize); status != 0) {
    return zip_read_error("could not read the end record", status);
  }
  std::span<const uint8_t> record(buffer.data(), eocd::kSize);
  ArchiveInfo info;
  info.end_record_offset = end_record_offset;
  info.entries = le16(record, eocd::kEntries);
  info.directory_size = le32(record, eocd::kDirectorySize);
  info.directory_offset = le32(record, eocd::kDirectoryOffset);
  info.comment_length = le16(record, eocd::kCommentLength);
  const bool marked = info.entries == 0xFFFF || info.directory_offset == 0xFFFFFFFF;

  bool locator_present = false;
  if (!read_zip64_end(source, buffer, end_record_offset, info, locator_present) && marked &&
      locator_present) {
    // A marked record with a locator that leads nowhere. Without any locator (a plain archive
    // of exactly 65,535 members) the plain record stands as it is.
    return zip_error("invalid Zip archive: broken Zip64 end of central directory");
  }

  if (!central_signature_at(source, buffer, info.directory_offset) && !info.has_zip64_end &&
      info.directory_size <= end_record_offset) {
    // Data before the archive (a self-extractor's stub) shifts every recorded offset.
    const uint64_t actual = end_record_offset - info.directory_size;
    if (actual >= info.directory_offset && central_signature_at(source, buffer, actual)) {
      info.base_offset = actual - info.directory_offset;
    }
  }
  return info;
}

ZipReader::ZipReader(ByteSource source, ArchiveInfo archive, std::vector<uint8_t> buffer)
    : source_(std::move(source)), archive_(archive), buffer_(std::move(buffer)) {
  buffer_.resize(kDirectoryBufferSize);
  static_assert(kDirectoryBufferSize >= kBufferSize);
}

Result<ZipReader> ZipReader::sibling() const {
  ZEL_ASSIGN_OR_RETURN(ByteSource source, source_.duplicate());
  try {
    return ZipReader(std::move(source), archive_, std::vector<uint8_t>(kBufferSize));
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate a reader's buffer");
  }
}

void ZipReader::FreeInflater::operator()(libdeflate_decompressor* inflater) const noexcept {
  libdeflate_free_decompressor(inflater);
}

namespace {

// Replaces the 32-bit fields marked 0xFFFFFFFF from the Zip64 extended-information field, whose
// values stand in a fixed order and only for the fields that need them.
// A record's sizes and offset, as the 32-bit fields give them until the Zip64 field replaces them.
struct RecordedSizes {
  uint64_t uncompressed, compressed, offset;
};

bool apply_zip64_extra(std::span<const uint8_t> extra, RecordedSizes& sizes, bool need_uncompressed,
                       bool need_compressed, bool need_offset) {
  size_t at = 0;
  while (extra.size() - at >= 4) {
    const uint16_t id = le16(extra, at);
    const uint16_t length = le16(extra, at + 2);
    at += 4;
    if (length > extra.size() - at) break;
    if (id == kZip64ExtraId) {
      std::span<const uint8_t> field = extra.subspan(at, length);
      size_t pos = 0;
      auto take = [&](uint64_t& out) {
        if (field.size() - pos < 8) return false;
        out = le64(field, pos);
        pos += 8;
        return true;
      };
      return !((need_uncompressed && !take(sizes.uncompressed)) ||
               (need_compressed && !take(sizes.compressed)) ||
               (need_offset && !take(sizes.offset)));
    }
    at += length;
  }
  return false;
}

}  // namespace

void CentralRecord::locate(MemberLocator& out) const noexcept {
  const std::span<const uint8_t> record = bytes;
  uint64_t uncompressed = le32(record, central::kUncompressedSize);
  uint64_t compressed = le32(record, central::kCompressedSize);
  uint64_t offset = le32(record, central::kLocalHeaderOffset);
  LocatorFault fault = LocatorFault::kNone;
  const bool need_uncompressed = uncompressed == 0xFFFFFFFF;
  const bool need_compressed = compressed == 0xFFFFFFFF;
  const bool need_offset = offset == 0xFFFFFFFF;
  if (need_uncompressed || need_compressed || need_offset ||
      le16(record, central::kDiskStart) == 0xFFFF) {
    // Out of line and rare: the sizes pass through memory only here, so the usual record keeps
    // them in registers (a wide load of narrower stores just made would stall).
    RecordedSizes sizes{uncompressed, compressed, offset};
    if (!apply_zip64_extra(record.subspan(central::kSize + name_length, extra_length), sizes,
                           need_uncompressed, need_compressed, need_offset)) {
      fault = LocatorFault::kZip64Field;
    }
    uncompressed = sizes.uncompressed;
    compressed = sizes.compressed;
    offset = sizes.offset;
  }
  if (fault == LocatorFault::kNone) {
    if (offset > UINT64_MAX - base_offset) {
      fault = LocatorFault::kOffsetRange;
    } else {
      offset += base_offset;
    }
  }
  out = MemberLocator{uncompressed, compressed, offset, le32(record, central::kCrc),
                      // Two 16-bit lengths: the sum fits the 18-bit field.
                      static_cast<uint32_t>((name_length + extra_length) & 0x3FFFF),
                      (le16(record, central::kFlags) & kFlagDataDescriptor) != 0,
                      static_cast<uint32_t>(fault) & 3u,  // a LocatorFault fits its 2 bits
                      0};
}

Result<std::vector<MemberLocator>> ZipReader::find_members(NameFilter filter, uint64_t* records,
                                                           MemberIndexBuilder* index) {
  std::vector<MemberLocator> members;
  std::optional<ZelError> failure;
  auto visit = [&](const CentralRecord& record) {
    const std::string_view name = record.name();
    if (filter(name)) {
      MemberLocator member;
      record.locate(member);
      if (member.fault != static_cast<uint32_t>(LocatorFault::kNone)) {
        failure = locator_error(static_cast<LocatorFault>(member.fault));
        return false;
      }
      try {
        members.push_back(member);
      } catch (const std::bad_alloc&) {
        failure = io_error("cannot allocate memory for the members of the archive");
        return false;
      }
    }
    if (index != nullptr) index->add(name, [&record](MemberLocator& out) { record.locate(out); });
    return true;
  };
  ZEL_ASSIGN_OR_RETURN(const uint64_t walked, walk_directory(source_, archive_, buffer_, visit));
  if (failure) return std::move(*failure);
  if (records != nullptr) *records = walked;
  return members;
}

}  // namespace zel
