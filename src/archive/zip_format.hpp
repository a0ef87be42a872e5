// Record layouts of the ZIP format, and the texts of the archive layer's read failures.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "error/zel_error.hpp"
#include "archive/file.hpp"

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

inline std::string os_text(int status) {
  if (status == File::kEndOfFile) return "unexpected end of file";
  return std::string(std::strerror(status)) + " (os error " + std::to_string(status) + ")";
}

inline ZelError zip_read_error(const char* what, int status) {
  return zip_error(std::string(what) + ": " + os_text(status));
}

inline ZelError member_allocation_error(uint64_t size) {
  return io_error("cannot allocate " + std::to_string(size) + " bytes for a member");
}

inline ZelError member_read_error(int status) {
  if (status == File::kEndOfFile)
    return io_error("failed to fill whole buffer: unexpected end of file");
  return io_errno(status);
}

}  // namespace zel
