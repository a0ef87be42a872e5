// ChannelIndex: the channel data members of an archive by the suffixes of their names, filed when
// they are first asked for. Opening a file then costs one plain walk of its directory. The first
// suffix asked for is found by a second walk that compares each name with that suffix alone,
// which is all a reader of one channel and segment needs; the first ask for another suffix files
// every member under all of its suffixes (MemberIndex), once.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "archive/byte_source.hpp"
#include "archive/member_group.hpp"
#include "archive/member_index.hpp"
#include "archive/zip_reader.hpp"
#include "error/result.hpp"

namespace zel {

// Every method may be called from any thread at once. Two threads that ask at the same time may
// both walk; one walk's result is kept and stays for the life of the index, so a span handed out
// stays valid. No lock is taken, so a forked child can ask whatever its parent was doing.
class ChannelIndex {
 public:
  // An index over the directory of `archive`, whose walk at the open met `records` records.
  static ChannelIndex deferred(const ArchiveInfo& archive, uint64_t records) noexcept;
  // An index filed already.
  static ChannelIndex filed(MemberIndex index);

  ChannelIndex(ChannelIndex&& other) noexcept;
  ChannelIndex& operator=(ChannelIndex&& other) noexcept;
  ChannelIndex(const ChannelIndex&) = delete;
  ChannelIndex& operator=(const ChannelIndex&) = delete;
  ~ChannelIndex();

  // As MemberIndex::find; `source` and `archive` are those the index was made over. Besides
  // MemberIndex's errors, the walk that files the members can fail: an Io error when memory
  // runs out or the directory cannot be read, a Zip error when it is no longer what the open
  // walked.
  Result<std::span<const MemberLocator>> find(const ByteSource& source, const ArchiveInfo& archive,
                                              std::string_view suffix) const;
  // As MemberIndex::count, failing only as the walk can.
  Result<size_t> count(const ByteSource& source, const ArchiveInfo& archive,
                       std::string_view suffix) const;
  // Every central-directory record the open's walk met, filed or not.
  uint64_t records() const noexcept { return records_; }

 private:
  // The members filed under one suffix, from a walk that looked for it alone.
  struct Single {
    std::string suffix;
    MemberGroup members;
  };

  ChannelIndex(uint64_t records, bool single_walks) noexcept
      : records_(records), single_walks_(single_walks) {}

  // The group of `suffix`, filing what is missing; on return exactly one of `single` and the
  // index is set.
  Result<void> lookup(const ByteSource& source, const ArchiveInfo& archive, std::string_view suffix,
                      const Single*& single, const MemberIndex*& all) const;
  Result<const Single*> walk_for(const ByteSource& source, const ArchiveInfo& archive,
                                 std::string_view suffix) const;
  Result<const MemberIndex*> walk_all(const ByteSource& source, const ArchiveInfo& archive) const;

  // Owned; set once, by the first walk to finish, and never changed after.
  mutable std::atomic<MemberIndex*> all_{nullptr};
  mutable std::atomic<Single*> single_{nullptr};
  uint64_t records_ = 0;
  bool single_walks_ = false;  // a walk for one suffix gives what filing everything would
};

}  // namespace zel
