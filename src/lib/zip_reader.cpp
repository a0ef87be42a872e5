// The ZIP layer: locating the end records, walking the central directory, reading members.
#include "lib/zip_reader.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "lib/bytes.hpp"

namespace zel {

namespace eocd {
constexpr uint32_t kSignature = 0x06054b50;
constexpr size_t kSize = 22, kEntries = 10, kDirectorySize = 12, kDirectoryOffset = 16,
                 kCommentLength = 20;
constexpr uint64_t kSearchLimit = 1048576;
}  // namespace eocd
namespace zip64_locator {
constexpr uint32_t kSignature = 0x07064b50;
constexpr size_t kSize = 20, kEndOffset = 8;
}  // namespace zip64_locator
namespace zip64_eocd {
constexpr uint32_t kSignature = 0x06064b50;
constexpr size_t kSize = 56, kEntries = 32, kDirectorySize = 40, kDirectoryOffset = 48;
}  // namespace zip64_eocd
namespace central {
constexpr uint32_t kSignature = 0x02014b50;
constexpr size_t kSize = 46, kFlags = 8, kCrc = 16, kCompressedSize = 20, kUncompressedSize = 24,
                 kNameLength = 28, kExtraLength = 30, kCommentLength = 32, kDiskStart = 34,
                 kLocalHeaderOffset = 42;
}  // namespace central
namespace local {
constexpr uint32_t kSignature = 0x04034b50;
constexpr size_t kSize = 30, kNameLength = 26, kExtraLength = 28;
}  // namespace local
namespace descriptor {
constexpr uint32_t kSignature = 0x08074b50;
constexpr size_t kSize = 8;
}  // namespace descriptor
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint32_t kFlagDataDescriptor = 1u << 3;

namespace {

std::string os_text(int status) {
  if (status == File::kEndOfFile) return "unexpected end of file";
  return std::string(std::strerror(status)) + " (os error " + std::to_string(status) + ")";
}

ZelError zip_read_error(const char* what, int status) {
  return zip_error(std::string(what) + ": " + os_text(status));
}

ZelError member_read_error(int status) {
  if (status == File::kEndOfFile)
    return io_error("failed to fill whole buffer: unexpected end of file");
  return io_errno(status);
}

// Reads [offset, offset + size) where the caller has checked that it lies inside the file.
int read_into(const File& file, uint64_t offset, std::vector<uint8_t>& buffer, size_t size) {
  return file.read_at(offset, std::span<uint8_t>(buffer.data(), size));
}

// Zip64 records are used when a valid locator stands right before the end record and points
// at a valid Zip64 end record before it.
bool read_zip64_end(const File& file, std::vector<uint8_t>& buffer, uint64_t end_record_offset,
                    ArchiveInfo& info, bool& locator_present) {
  locator_present = false;
  if (end_record_offset < zip64_locator::kSize) return false;
  const uint64_t locator_offset = end_record_offset - zip64_locator::kSize;
  if (read_into(file, locator_offset, buffer, zip64_locator::kSize) != 0) return false;
  std::span<const uint8_t> bytes(buffer.data(), zip64_locator::kSize);
  if (le32(bytes, 0) != zip64_locator::kSignature) return false;
  locator_present = true;
  const uint64_t end_offset = le64(bytes, zip64_locator::kEndOffset);
  if (end_offset > locator_offset || locator_offset - end_offset < zip64_eocd::kSize) return false;
  if (read_into(file, end_offset, buffer, zip64_eocd::kSize) != 0) return false;
  bytes = std::span<const uint8_t>(buffer.data(), zip64_eocd::kSize);
  if (le32(bytes, 0) != zip64_eocd::kSignature) return false;
  info.has_zip64_end = true;
  info.zip64_end_offset = end_offset;
  info.entries = le64(bytes, zip64_eocd::kEntries);
  info.directory_size = le64(bytes, zip64_eocd::kDirectorySize);
  info.directory_offset = le64(bytes, zip64_eocd::kDirectoryOffset);
  return true;
}

bool central_signature_at(const File& file, std::vector<uint8_t>& buffer, uint64_t offset) {
  if (offset > file.size() || file.size() - offset < 4) return false;
  return read_into(file, offset, buffer, 4) == 0 &&
         le32(std::span<const uint8_t>(buffer.data(), 4), 0) == central::kSignature;
}

}  // namespace

Result<ArchiveInfo> ZipReader::locate(const File& file, std::vector<uint8_t>& buffer) {
  const uint64_t size = file.size();
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
    if (int status = read_into(file, window_start, buffer, length); status != 0) {
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

  if (int status = read_into(file, end_record_offset, buffer, eocd::kSize); status != 0) {
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
  if (!read_zip64_end(file, buffer, end_record_offset, info, locator_present) && marked &&
      locator_present) {
    // A marked record with a locator that leads nowhere. Without any locator (a plain archive
    // of exactly 65,535 members) the plain record stands as it is.
    return zip_error("invalid Zip archive: broken Zip64 end of central directory");
  }

  if (!central_signature_at(file, buffer, info.directory_offset) && !info.has_zip64_end &&
      info.directory_size <= end_record_offset) {
    // Data before the archive (a self-extractor's stub) shifts every recorded offset.
    const uint64_t actual = end_record_offset - info.directory_size;
    if (actual >= info.directory_offset && central_signature_at(file, buffer, actual)) {
      info.base_offset = actual - info.directory_offset;
    }
  }
  return info;
}

ZipReader::ZipReader(File file, ArchiveInfo archive, std::vector<uint8_t> buffer)
    : file_(std::move(file)), archive_(archive), buffer_(std::move(buffer)) {
  // The directory window holds a fixed part and up to kBufferSize bytes of variable part.
  buffer_.resize(kBufferSize + central::kSize);
}

ZipReader::ZipReader(ZipReader&& other) noexcept
    : file_(std::move(other.file_)),
      archive_(other.archive_),
      buffer_(std::move(other.buffer_)),
      input_(std::move(other.input_)),
      inflater_(std::exchange(other.inflater_, nullptr)) {}

ZipReader& ZipReader::operator=(ZipReader&& other) noexcept {
  if (this != &other) {
    if (inflater_ != nullptr) libdeflate_free_decompressor(inflater_);
    file_ = std::move(other.file_);
    archive_ = other.archive_;
    buffer_ = std::move(other.buffer_);
    input_ = std::move(other.input_);
    inflater_ = std::exchange(other.inflater_, nullptr);
  }
  return *this;
}

ZipReader::~ZipReader() {
  if (inflater_ != nullptr) libdeflate_free_decompressor(inflater_);
}

namespace {

// Replaces the 32-bit fields marked 0xFFFFFFFF from the Zip64 extended-information field, whose
// values stand in a fixed order and only for the fields that need them.
Result<void> apply_zip64_extra(std::span<const uint8_t> extra, MemberLocator& member,
                               bool need_uncompressed, bool need_compressed, bool need_offset) {
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
      if ((need_uncompressed && !take(member.uncompressed_size)) ||
          (need_compressed && !take(member.compressed_size)) ||
          (need_offset && !take(member.local_header_offset))) {
        break;
      }
      return {};
    }
    at += length;
  }
  return zip_error("invalid Zip archive: missing or short Zip64 extended information field");
}

}  // namespace

Result<std::vector<MemberLocator>> ZipReader::find_members(NameFilter filter) {
  std::vector<MemberLocator> members;
  const uint64_t end = archive_.directory_end();
  if (archive_.directory_offset > UINT64_MAX - archive_.base_offset) {
    return zip_error("invalid Zip archive: central directory offset out of range");
  }
  uint64_t pos = archive_.directory_offset + archive_.base_offset;
  if (pos > end) return zip_error("invalid Zip archive: central directory offset out of range");

  uint64_t window_start = pos;
  size_t window_length = 0;
  // Makes [pos, pos + length) readable in the buffer, refilling it from pos when needed.
  auto ensure = [&](size_t length) -> int {
    if (pos >= window_start && pos + length <= window_start + window_length) return 0;
    window_start = pos;
    window_length = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), end - pos));
    return read_into(file_, pos, buffer_, window_length);
  };

  while (end - pos >= central::kSize) {
    if (int status = ensure(central::kSize); status != 0) {
      return zip_read_error("could not read the central directory", status);
    }
    std::span<const uint8_t> fixed(buffer_.data() + (pos - window_start), central::kSize);
    if (le32(fixed, 0) != central::kSignature) {
      return zip_error("invalid Zip archive: invalid central directory record signature");
    }
    const size_t name_length = le16(fixed, central::kNameLength);
    const size_t extra_length = le16(fixed, central::kExtraLength);
    const size_t comment_length = le16(fixed, central::kCommentLength);
    const size_t variable = name_length + extra_length + comment_length;
    if (variable > kBufferSize) {
      return zip_error("invalid Zip archive: central directory record too large");
    }
    if (end - pos < central::kSize + variable) {
      return zip_error("invalid Zip archive: central directory ends inside a record");
    }
    if (int status = ensure(central::kSize + variable); status != 0) {
      return zip_read_error("could not read the central directory", status);
    }
    std::span<const uint8_t> record(buffer_.data() + (pos - window_start),
                                    central::kSize + variable);
    const std::string_view name(reinterpret_cast<const char*>(record.data() + central::kSize),
                                name_length);
    if (filter(name)) {
      MemberLocator member{le32(record, central::kUncompressedSize),
                           le32(record, central::kCompressedSize),
                           le32(record, central::kLocalHeaderOffset),
                           le32(record, central::kCrc),
                           (le16(record, central::kFlags) & kFlagDataDescriptor) != 0,
                           static_cast<uint32_t>(name_length + extra_length)};
      const bool need_uncompressed = member.uncompressed_size == 0xFFFFFFFF;
      const bool need_compressed = member.compressed_size == 0xFFFFFFFF;
      const bool need_offset = member.local_header_offset == 0xFFFFFFFF;
      if (need_uncompressed || need_compressed || need_offset ||
          le16(record, central::kDiskStart) == 0xFFFF) {
        auto applied = apply_zip64_extra(record.subspan(central::kSize + name_length, extra_length),
                                         member, need_uncompressed, need_compressed, need_offset);
        if (!applied) return std::move(applied).error();
      }
      if (member.local_header_offset > UINT64_MAX - archive_.base_offset) {
        return zip_error("invalid Zip archive: local header offset out of range");
      }
      member.local_header_offset += archive_.base_offset;
      members.push_back(member);
    }
    pos += central::kSize + variable;
  }
  return members;
}

void ZipReader::advise(std::span<const MemberLocator> members) const {
  // Neighbouring ranges are merged so that a channel costs few hints, not one per member.
  constexpr uint64_t kGap = 4096;
  uint64_t start = 0, stop = 0;
  bool open = false;
  for (const MemberLocator& member : members) {
    const uint64_t first = member.local_header_offset;
    const uint64_t last = first + local::kSize + member.name_extra_length +
                          std::min(member.compressed_size, file_.size()) + descriptor::kSize;
    if (open && first >= start && first <= stop + kGap) {
      stop = std::max(stop, last);
      continue;
    }
    if (open) file_.advise_will_need(start, stop - start);
    start = first;
    stop = last;
    open = true;
  }
  if (open) file_.advise_will_need(start, stop - start);
}

bool ZipReader::implausible_size(const MemberLocator& member) noexcept {
  // DEFLATE expands at most 1032:1; the slack covers tiny streams.
  constexpr uint64_t kMaxRatio = 1032, kSlack = 1024;
  if (member.compressed_size > (UINT64_MAX - kSlack) / kMaxRatio) return false;
  return member.uncompressed_size > member.compressed_size * kMaxRatio + kSlack;
}

Result<void> ZipReader::check_within_file(const MemberLocator& member) const {
  const uint64_t offset = member.local_header_offset;
  const uint64_t size = file_.size();
  if (offset > size || size - offset < local::kSize) {
    return zip_error("invalid Zip archive: local file header beyond the end of the file");
  }
  if (size - offset - local::kSize < member.compressed_size) {
    return io_error("failed to fill whole buffer: member data runs past the end of the file");
  }
  return {};
}

Result<void> ZipReader::read_local_data(std::span<const MemberLocator> members, size_t index,
                                        bool& hinted, std::span<const uint8_t>& data,
                                        uint32_t& expected_crc) {
  const MemberLocator& member = members[index];
  if (auto within = check_within_file(member); !within) return std::move(within).error();
  const uint64_t offset = member.local_header_offset;
  const uint64_t size = file_.size();
  // One read for header, name, extra field, data and descriptor, guessing the local name and
  // extra lengths from the central record; a second read only when the guess falls short.
  const uint64_t wanted = local::kSize + uint64_t{member.name_extra_length} +
                          member.compressed_size + descriptor::kSize;
  const uint64_t first_read = std::min(wanted, size - offset);
  try {
    if (input_.size() < first_read) input_.resize(static_cast<size_t>(first_read));
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate memory for a member of " +
                    std::to_string(member.compressed_size) + " compressed bytes");
  }
  const std::span<uint8_t> first(input_.data(), static_cast<size_t>(first_read));
  if (hinted || file_.read_cached_at(offset, first) != 0) {
    if (!hinted) {
      advise(members.subspan(index));
      hinted = true;
    }
    if (int status = file_.read_at(offset, first); status != 0) {
      return zip_read_error("could not read a local file header", status);
    }
  }
  std::span<const uint8_t> bytes(input_.data(), static_cast<size_t>(first_read));
  if (le32(bytes, 0) != local::kSignature) {
    return zip_error("invalid Zip archive: invalid local file header signature");
  }
  const uint64_t header_length =
      local::kSize + uint64_t{le16(bytes, local::kNameLength)} + le16(bytes, local::kExtraLength);
  const uint64_t data_start = offset + header_length;  // cannot overflow: offset <= size
  if (member.compressed_size > UINT64_MAX - data_start) {
    return zip_error("invalid Zip archive: member data offset overflows");
  }
  if (data_start > size || size - data_start < member.compressed_size) {
    return io_error("failed to fill whole buffer: member data runs past the end of the file");
  }
  const uint64_t available_after = size - data_start - member.compressed_size;
  const size_t trailer =
      static_cast<size_t>(std::min<uint64_t>(descriptor::kSize, available_after));
  const uint64_t span_length = member.compressed_size + trailer;
  if (header_length + span_length > first_read) {
    // The local name or extra field is longer than the central one: read the data again.
    try {
      if (input_.size() < span_length) input_.resize(static_cast<size_t>(span_length));
    } catch (const std::bad_alloc&) {
      return io_error("cannot allocate memory for a member of " +
                      std::to_string(member.compressed_size) + " compressed bytes");
    }
    if (int status = read_into(file_, data_start, input_, static_cast<size_t>(span_length));
        status != 0) {
      return member_read_error(status);
    }
    data = std::span<const uint8_t>(input_.data(), static_cast<size_t>(span_length));
  } else {
    data = bytes.subspan(static_cast<size_t>(header_length), static_cast<size_t>(span_length));
  }

  expected_crc = member.crc32;
  if (member.has_data_descriptor) {
    if (trailer < descriptor::kSize) {
      return io_error("failed to fill whole buffer: data descriptor runs past the end of the file");
    }
    std::span<const uint8_t> tail = data.subspan(static_cast<size_t>(member.compressed_size));
    expected_crc = le32(tail, 0) == descriptor::kSignature ? le32(tail, 4) : le32(tail, 0);
  }
  data = data.first(static_cast<size_t>(member.compressed_size));
  return {};
}

Result<void> ZipReader::read_member(std::span<const MemberLocator> members, size_t index,
                                    uint8_t* out, bool& hinted) {
  const MemberLocator& member = members[index];
  std::span<const uint8_t> data;
  uint32_t expected_crc = 0;
  if (auto read = read_local_data(members, index, hinted, data, expected_crc); !read) {
    return std::move(read).error();
  }

  size_t produced = 0;
  if (!data.empty()) {
    if (inflater_ == nullptr) {
      inflater_ = libdeflate_alloc_decompressor();
      if (inflater_ == nullptr) return io_error("cannot allocate a DEFLATE decompressor");
    }
    const libdeflate_result status = libdeflate_deflate_decompress_ex(
        inflater_, data.data(), data.size(), out,
        static_cast<size_t>(member.uncompressed_size) + kInflateSlack, nullptr, &produced);
    if (status == LIBDEFLATE_INSUFFICIENT_SPACE) {
      return io_error("invalid data: size mismatch: expected " +
                      std::to_string(member.uncompressed_size) + " bytes, got more");
    }
    if (status != LIBDEFLATE_SUCCESS) return io_error("invalid data: corrupt deflate stream");
  }
  if (produced != member.uncompressed_size) {
    return io_error("invalid data: size mismatch: expected " +
                    std::to_string(member.uncompressed_size) + " bytes, got " +
                    std::to_string(produced));
  }
  if (expected_crc != 0) {
    const uint32_t actual = libdeflate_crc32(0, out, produced);
    if (actual != expected_crc) {
      char text[96];
      std::snprintf(text, sizeof text, "invalid data: checksum mismatch: expected %08x, got %08x",
                    expected_crc, actual);
      return io_error(text);
    }
  }
  return {};
}

namespace {

struct FreeDeleter {
  void operator()(uint8_t* memory) const noexcept { std::free(memory); }
};

ZelError allocation_error(uint64_t size) {
  return io_error("cannot allocate " + std::to_string(size) + " bytes for a member");
}

}  // namespace

Result<std::vector<std::vector<uint8_t>>> ZipReader::get_files(NameFilter filter) {
  auto members = find_members(filter);
  if (!members) return std::move(members).error();
  std::vector<std::vector<uint8_t>> files;
  files.reserve(members->size());
  bool hinted = false;
  for (size_t index = 0; index < members->size(); ++index) {
    const MemberLocator& member = (*members)[index];
    if (auto within = check_within_file(member); !within) return std::move(within).error();
    if (implausible_size(member)) {
      return io_error("invalid data: size mismatch: recorded size " +
                      std::to_string(member.uncompressed_size) + " bytes cannot come from " +
                      std::to_string(member.compressed_size) + " compressed bytes");
    }
    // The output is not zero-filled: pages that the inflater does not write are never
    // touched, so a size that the file merely claims costs address space, not memory. Only
    // the verified bytes are copied into the result.
    if (member.uncompressed_size > SIZE_MAX - kInflateSlack) {
      return allocation_error(member.uncompressed_size);
    }
    const auto size = static_cast<size_t>(member.uncompressed_size);
    std::unique_ptr<uint8_t, FreeDeleter> output(
        static_cast<uint8_t*>(std::malloc(size + kInflateSlack)));
    if (output == nullptr) return allocation_error(member.uncompressed_size);
    if (auto read = read_member(*members, index, output.get(), hinted); !read) {
      return std::move(read).error();
    }
    try {
      files.emplace_back(output.get(), output.get() + size);
    } catch (const std::bad_alloc&) {
      return allocation_error(member.uncompressed_size);
    }
  }
  return files;
}

}  // namespace zel
