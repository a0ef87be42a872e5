// ChannelIndex: the channel data members of an archive by the suffixes of their names, filed when
// they are first asked for. Opening a file then costs one plain walk of its directory. The first
// ask files the members of that one channel, in every segment, by a second walk that compares
// the end of each name with the channel's alone: all that a reader of one channel needs. The
// first ask for another channel files every other channel's members under all of their suffixes
// (MemberIndex), once; the channel filed alone keeps answering for its own, so that no member is
// filed twice under one suffix.
#pragma once

#include <array>
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
  // Files every member now, unless that is done; for a caller about to ask for every channel.
  Result<void> file_all(const ByteSource& source, const ArchiveInfo& archive) const;
  // Every central-directory record the open's walk met, filed or not.
  uint64_t records() const noexcept { return records_; }

 private:
  // The members of one channel by segment, from a walk that looked for that channel alone.
  struct OneChannel {
    std::string tail;  // "/channels/{name}.dat"
    std::array<MemberGroup, 256> segments;
  };

  ChannelIndex(uint64_t records, bool channel_walks) noexcept
      : records_(records), channel_walks_(channel_walks) {}

  // Where the members filed under `suffix` are, once what is missing is filed: the group of a
  // channel filed alone, or else the index of every member.
  struct Found {
    std::span<const MemberLocator> members;
    const MemberIndex* all;
  };
  Result<Found> lookup(const ByteSource& source, const ArchiveInfo& archive,
                       std::string_view suffix) const;
  Result<const OneChannel*> walk_channel(const ByteSource& source, const ArchiveInfo& archive,
                                         std::string_view tail) const;
  Result<const MemberIndex*> walk_all(const ByteSource& source, const ArchiveInfo& archive) const;

  // Owned; set once, by the first walk to finish, and never changed after.
  mutable std::atomic<MemberIndex*> all_{nullptr};
  mutable std::atomic<OneChannel*> channel_{nullptr};
  uint64_t records_ = 0;
  bool channel_walks_ = false;  // a walk for one channel gives what filing everything would
};

}  // namespace zel
