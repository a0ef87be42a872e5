// ZipReader: an open ZIP archive whose DEFLATE members are read whole and verified.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/byte_source.hpp"
#include "archive/directory_walk.hpp"
#include "archive/function_ref.hpp"
#include "archive/member_index.hpp"
#include "archive/member_locator.hpp"
#include "error/result.hpp"

struct libdeflate_decompressor;

namespace zel {

// A predicate over raw member names, called once per central-directory record.
using NameFilter = FunctionRef<bool(std::string_view name)>;

// Receives one member's verified contents (index into the members read, bytes); an error stops
// the reading.
using MemberSink = FunctionRef<Result<void>(size_t index, std::span<const uint8_t> contents)>;

// Room past a member's size that lets the inflater's fast path run to the end of its output.
inline constexpr size_t kInflateSlack = 512;

// A member's bytes from its local header on: the header with a name and extra field as long as
// the central record's (the usual case), the data, and the 8 bytes after it (a data
// descriptor). What a read of the member fetches. Callers check the compressed size against the
// file first, so that the sum cannot overflow.
uint64_t member_span_length(const MemberLocator& member) noexcept;

class ZipReader {
 public:
  static constexpr size_t kBufferSize = 65536;

  // Finds the archive's end records in `source` through `buffer` (kBufferSize bytes).
  static Result<ArchiveInfo> locate(const ByteSource& source, std::vector<uint8_t>& buffer);
  // Takes ownership of the located archive and of the buffer that located it.
  ZipReader(ByteSource source, ArchiveInfo archive, std::vector<uint8_t> buffer);
  ZipReader(ZipReader&&) noexcept = default;
  ZipReader& operator=(ZipReader&&) noexcept = default;
  ~ZipReader() = default;

  // The locators of every member whose raw name passes `filter`, in directory order; `records`,
  // when given, is set to how many records the walk met. With an index builder, the same walk
  // also hands it every record.
  Result<std::vector<MemberLocator>> find_members(NameFilter filter, uint64_t* records = nullptr,
                                                  MemberIndexBuilder* index = nullptr);
  // Reads, inflates and verifies the members in order, handing each one's contents to `sink`
  // (valid until the sink returns). The first error, the sink's included, ends the reading.
  Result<void> read_members(std::span<const MemberLocator> members, MemberSink sink);
  // The whole verified contents of every member whose name passes `filter`, in directory order.
  Result<std::vector<std::vector<uint8_t>>> get_files(NameFilter filter);

  // A reader of its own over the same bytes, for another thread: readers share nothing
  // but the source, whose positioned reads may run side by side.
  Result<ZipReader> sibling() const;
  const ByteSource& source() const noexcept { return source_; }
  const ArchiveInfo& archive() const noexcept { return archive_; }

  // A recorded uncompressed size that DEFLATE cannot produce from the compressed size.
  static bool implausible_size(const MemberLocator& member) noexcept;
  // What can be checked of a member before anything is read or allocated for it: its local
  // header and compressed data lie inside the file (even behind an empty local name and extra
  // field), and its recorded size is one that its compressed size can produce.
  Result<void> check_member(const MemberLocator& member) const;

 private:
  // A growable byte buffer that is never zero-filled.
  struct Buffer {
    struct Free {
      void operator()(uint8_t* memory) const noexcept { std::free(memory); }
    };
    std::unique_ptr<uint8_t, Free> bytes;
    size_t capacity = 0;  // of `bytes`; a moved-from buffer has none
    bool reserve(size_t size) noexcept;

    Buffer() = default;
    Buffer(Buffer&& other) noexcept
        : bytes(std::move(other.bytes)), capacity(std::exchange(other.capacity, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
      bytes = std::move(other.bytes);
      capacity = std::exchange(other.capacity, 0);
      return *this;
    }
  };
  // Frees a decompressor of libdeflate's.
  struct FreeInflater {
    void operator()(libdeflate_decompressor* inflater) const noexcept;
  };
  // A stretch of the file fetched with one read into input_, starting at input_[at].
  struct Run {
    uint64_t start, end;
    uint64_t at;
    size_t first_member;
  };
  // Where a fetched member's bytes, from its local header on, lie in input_.
  struct Fetched {
    uint64_t at, length;
  };

  // Hints the kernel to fetch the byte ranges of these members.
  void advise(std::span<const MemberLocator> members) const;
  // Fetches a batch of members from `first` on into input_ and returns the index after it.
  // A failure that stops the batch early is left in `stop`, for after the members before it.
  size_t fetch_batch(std::span<const MemberLocator> members, size_t first, bool& hinted,
                     std::optional<ZelError>& stop);
  // Inflates and verifies one fetched member into output_.
  Result<std::span<const uint8_t>> inflate_member(const MemberLocator& member, Fetched fetched);

  ByteSource source_;
  ArchiveInfo archive_;
  std::vector<uint8_t> buffer_;  // the directory window; its contents between calls mean nothing
  // Reused by every read; their contents between calls mean nothing.
  std::vector<Run> runs_;
  std::vector<Fetched> fetched_;
  Buffer input_;   // the fetched bytes of a batch of members
  Buffer spill_;   // a member's data when its local fields are longer than the central ones
  Buffer output_;  // one member's inflated contents
  std::unique_ptr<libdeflate_decompressor, FreeInflater> inflater_;  // made at the first inflate
};

}  // namespace zel
