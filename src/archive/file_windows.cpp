// Windows file access for the archive reader: the UTF-8 path opened with CreateFileW, positioned
// reads with ReadFile at an OVERLAPPED offset (which leaves no shared file position behind, so
// threads may read one handle at once, as with pread). There is no way to ask for cached pages
// only, and no read-ahead hint. Errors are reported as the errno values that POSIX gives for
// the same failure, so that messages and Python's exception types are those of every system.
#include "archive/file.hpp"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace zel {

namespace {

HANDLE native(void* handle) noexcept { return static_cast<HANDLE>(handle); }

// The errno value of a Windows error code, for the failures a read-only open and read can meet.
int errno_of(DWORD code) noexcept {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

// The UTF-16 form of a UTF-8 path; empty (with `ok` false) when the bytes are no UTF-8.
std::wstring wide_path(const std::string& path, bool& ok) {
  ok = true;
  if (path.empty()) return {};
  if (path.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    ok = false;
    return {};
  }
  const int length = static_cast<int>(path.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
  if (needed <= 0) {
    ok = false;
    return {};
  }
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, wide.data(), needed);
  return wide;
}

}  // namespace

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), size_(other.size_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) CloseHandle(native(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
    size_ = other.size_;
  }
  return *this;
}

File::~File() {
  if (handle_ != nullptr) CloseHandle(native(handle_));
}

Result<File> File::open_read_only(const std::string& path) {
  bool utf8 = false;
  const std::wstring wide = wide_path(path, utf8);
  if (!utf8) return io_errno(path.empty() ? ENOENT : EINVAL);
  // Others may read, write, rename and delete the file meanwhile, as on POSIX; the handle is not
  // inherited by child processes.
  const HANDLE opened = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return io_errno(errno_of(GetLastError()));
  File file;
  file.handle_ = opened;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(opened, &info)) return io_errno(errno_of(GetLastError()));
  // FILE_FLAG_BACKUP_SEMANTICS lets a folder open, so that it is told apart here, as on Linux.
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return io_errno(EISDIR);
  // Pipes, consoles and devices have no length to locate an archive by, and may never end.
  switch (GetFileType(opened)) {
    case FILE_TYPE_DISK:
      break;
    case FILE_TYPE_PIPE:
      return io_error("the location is not a regular file: it is a named pipe");
    case FILE_TYPE_CHAR:
      return io_error("the location is not a regular file: it is a character device");
    default:
      return io_error("the location is not a regular file: it is something else");
  }
  file.size_ = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return file;
}

Result<File> File::duplicate() const {
  HANDLE copy = nullptr;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, native(handle_), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return io_errno(errno_of(GetLastError()));
  }
  File file;
  file.handle_ = copy;
  file.size_ = size_;
  return file;
}

Result<File::Identity> File::identity() const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(native(handle_), &info)) {
    return io_errno(errno_of(GetLastError()));
  }
  // FILETIME counts 100-nanosecond ticks; the last write stands for both times, as Windows keeps
  // no change time of the file's metadata here.
  const uint64_t written =
      (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
  const int64_t written_ns = static_cast<int64_t>(written) * 100;
  return Identity{info.dwVolumeSerialNumber,
                  (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
                  (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow, written_ns, written_ns};
}

int File::read_at(uint64_t offset, std::span<uint8_t> out) const noexcept {
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t at = offset + done;
    if (at < offset) return kEndOfFile;  // beyond any file's end
    // ReadFile takes at most a DWORD of bytes at once.
    const size_t left = out.size() - done;
    const DWORD wanted = static_cast<DWORD>(left < size_t{0x40000000} ? left : size_t{0x40000000});
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xffffffffu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(native(handle_), out.data() + done, wanted, &got, &where)) {
      const DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF) return kEndOfFile;
      return errno_of(code);
    }
    if (got == 0) return kEndOfFile;
    done += got;
  }
  return 0;
}

int File::read_cached_at(uint64_t offset, std::span<uint8_t> out) const noexcept {
  // No way to ask for cached pages only: the caller's read_at waits.
  (void)offset;
  (void)out;
  return kNotCached;
}

void File::advise_will_need(uint64_t offset, uint64_t length) const noexcept {
  (void)offset;
  (void)length;
}

}  // namespace zel
