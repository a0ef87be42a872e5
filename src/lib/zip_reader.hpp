// ZipReader: an open ZIP archive whose DEFLATE members are read whole and verified.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "error/result.hpp"
#include "lib/file.hpp"

struct libdeflate_decompressor;

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

// What is kept of a selected member between walking the directory and reading its data.
struct MemberLocator {
  uint64_t uncompressed_size;
  uint64_t compressed_size;
  uint64_t local_header_offset;  // base offset included
  uint32_t crc32;
  bool has_data_descriptor;
  uint32_t name_extra_length;  // the central record's name + extra length: the likely local ones
};

// A predicate over raw member names, called once per central-directory record.
class NameFilter {
 public:
  template <class F>
  NameFilter(const F& filter)
      : context_(&filter), call_([](const void* context, std::string_view name) {
          return (*static_cast<const F*>(context))(name);
        }) {}
  bool operator()(std::string_view name) const { return call_(context_, name); }

 private:
  const void* context_;
  bool (*call_)(const void*, std::string_view);
};

// Room past a member's size that lets the inflater's fast path run to the end of its output.
inline constexpr size_t kInflateSlack = 512;

class ZipReader {
 public:
  static constexpr size_t kBufferSize = 65536;

  // Finds the archive's end records in `file` through `buffer` (kBufferSize bytes).
  static Result<ArchiveInfo> locate(const File& file, std::vector<uint8_t>& buffer);
  // Takes ownership of the located archive and of the buffer that located it.
  ZipReader(File file, ArchiveInfo archive, std::vector<uint8_t> buffer);
  ZipReader(ZipReader&&) noexcept;
  ZipReader& operator=(ZipReader&&) noexcept;
  ~ZipReader();

  // The locators of every member whose raw name passes `filter`, in directory order.
  Result<std::vector<MemberLocator>> find_members(NameFilter filter);
  // Reads, inflates and verifies members[index] into `out`, which has room for its
  // uncompressed_size + kInflateSlack bytes. The first time a member's bytes are found missing
  // from the page cache, the kernel is told to fetch it and every member after it, and
  // `hinted` is set: a cached file costs no hints, a cold one gets them before it waits.
  Result<void> read_member(std::span<const MemberLocator> members, size_t index, uint8_t* out,
                           bool& hinted);
  // The whole verified contents of every member whose name passes `filter`, in directory order.
  Result<std::vector<std::vector<uint8_t>>> get_files(NameFilter filter);

  // A recorded uncompressed size that DEFLATE cannot produce from the compressed size; checked
  // before anything is allocated from it.
  static bool implausible_size(const MemberLocator& member) noexcept;
  // Fails when the member's local header, or its compressed data even behind an empty local
  // name and extra field, would lie past the end of the file; checked before anything is
  // allocated for the member.
  Result<void> check_within_file(const MemberLocator& member) const;

 private:
  // Hints the kernel to fetch the byte ranges of these members.
  void advise(std::span<const MemberLocator> members) const;
  Result<void> read_local_data(std::span<const MemberLocator> members, size_t index, bool& hinted,
                               std::span<const uint8_t>& data, uint32_t& expected_crc);

  File file_;
  ArchiveInfo archive_;
  std::vector<uint8_t> buffer_;  // the directory window; its contents between calls mean nothing
  std::vector<uint8_t> input_;   // one member's local header, data and descriptor
  libdeflate_decompressor* inflater_ = nullptr;
};

}  // namespace zel
