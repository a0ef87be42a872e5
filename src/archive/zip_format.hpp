// Record layouts of the ZIP format, and the texts of the archive layer's read failures.
#pragma once

#include <cstdint>
#include <string>

#include "archive/byte_source.hpp"
#include "error/zel_error.hpp"

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
constexpr size_t kMethod = 8;  // the compression method
}  // namespace local
namespace descriptor {
constexpr uint32_t kSignature = 0x08074b50;
constexpr size_t kSize = 8;
}  // namespace descriptor
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint32_t kFlagDataDescriptor = 1u << 3;

// The text of a File read's status: an error number, or kEndOfFile.
inline std::string read_status_text(int status) {
  if (status == File::kEndOfFile) return "unexpected end of file";
  if (status == ByteSource::kNotFetched) return "bytes not fetched";
  return os_error_text(status);
}

inline ZelError zip_read_error(const char* what, int status) {
  return zip_error(std::string(what) + ": " + read_status_text(status));
}

inline ZelError member_allocation_error(uint64_t size) {
  return io_error("cannot allocate " + std::to_string(size) + " bytes for a member");
}

// A member's bytes that the file cannot give whole; `why` says what ran short.
inline ZelError short_read_error(const std::string& why) {
  return io_error("failed to fill whole buffer: " + why);
}

inline ZelError member_read_error(int status) {
  if (status == File::kEndOfFile) return short_read_error(read_status_text(status));
  return io_errno(status);
}

// A member whose data would run past the end of the file.
inline ZelError member_past_end_error() {
  return short_read_error("member data runs past the end of the file");
}

// A member that inflated to another size than its recorded one; `got` says how much.
inline ZelError size_mismatch_error(uint64_t expected, const std::string& got) {
  return io_error("invalid data: size mismatch: expected " + std::to_string(expected) +
                  " bytes, got " + got);
}

}  // namespace zel
