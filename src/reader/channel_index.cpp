// Filing channel data members when they are first asked for.
#include "reader/channel_index.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "reader/channel_members.hpp"

namespace zel {

namespace {

ZelError out_of_memory() { return io_error("cannot allocate the index of the archive's members"); }

// A later walk must meet the records the open met: a file rewritten since is not read as
// though it were the one opened. `visit` returns false, keeping its reason in `failure`, to stop.
template <class Visit>
Result<void> walk_again(const ByteSource& source, const ArchiveInfo& archive, uint64_t records,
                        std::optional<ZelError>& failure, Visit&& visit) {
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(kDirectoryBufferSize);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  ZEL_ASSIGN_OR_RETURN(const uint64_t walked, walk_directory(source, archive, buffer, visit));
  if (failure) return std::move(*failure);
  if (walked != records) {
    return zip_error("invalid Zip archive: central directory changed since the file was opened");
  }
  return {};
}

// Whether `name` ends with `tail`, which is at least 14 bytes long ("/channels/.dat") and ends
// with the 8 bytes `tail_end`: those, which tell most names apart, are compared first.
bool ends_with(std::string_view name, std::string_view tail, uint64_t tail_end) {
  if (name.size() < tail.size()) return false;
  uint64_t end;
  std::memcpy(&end, name.data() + name.size() - 8, 8);
  return end == tail_end &&
         std::memcmp(name.data() + name.size() - tail.size(), tail.data(), tail.size() - 8) == 0;
}

// The first of its members' faults, as MemberIndex::find reports it.
Result<std::span<const MemberLocator>> checked(std::span<const MemberLocator> members) {
  for (const MemberLocator& member : members) {
    if (member.fault != static_cast<uint32_t>(LocatorFault::kNone)) {
      return locator_error(static_cast<LocatorFault>(member.fault));
    }
  }
  return members;
}

// Publishes `made` unless another thread did first; returns what stands.
template <class T>
T* publish(std::atomic<T*>& slot, std::unique_ptr<T> made) {
  T* expected = nullptr;
  if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  return expected;
}

}  // namespace

ChannelIndex ChannelIndex::deferred(const ArchiveInfo& archive, uint64_t records) noexcept {
  // A walk for one channel gives what filing everything gives unless filing would overflow its
  // 32-bit counts (MemberIndex then fails every find). Every filing needs a "/channels/" of
  // its own in some name, 9 bytes or more of the directory: below that many bytes, it cannot.
  const uint64_t start = archive.directory_offset + archive.base_offset;
  const uint64_t end = archive.directory_end();
  const uint64_t bytes = end > start ? end - start : 0;
  return ChannelIndex(records, bytes / 9 < UINT32_MAX - 2);
}

ChannelIndex ChannelIndex::filed(MemberIndex index) {
  ChannelIndex filed(index.records(), false);
  filed.all_.store(new MemberIndex(std::move(index)));
  return filed;
}

ChannelIndex::ChannelIndex(ChannelIndex&& other) noexcept
    : all_(other.all_.exchange(nullptr)),
      channel_(other.channel_.exchange(nullptr)),
      records_(other.records_),
      channel_walks_(other.channel_walks_) {}

ChannelIndex& ChannelIndex::operator=(ChannelIndex&& other) noexcept {
  if (this != &other) {
    delete all_.exchange(other.all_.exchange(nullptr));
    delete channel_.exchange(other.channel_.exchange(nullptr));
    records_ = other.records_;
    channel_walks_ = other.channel_walks_;
  }
  return *this;
}

ChannelIndex::~ChannelIndex() {
  delete all_.load();
  delete channel_.load();
}

Result<const ChannelIndex::OneChannel*> ChannelIndex::walk_channel(const ByteSource& source,
                                                                   const ArchiveInfo& archive,
                                                                   std::string_view tail) const {
  std::unique_ptr<OneChannel> channel;
  try {
    channel = std::make_unique<OneChannel>();
    channel->tail = tail;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  uint64_t tail_end;
  std::memcpy(&tail_end, tail.data() + tail.size() - 8, 8);
  std::optional<ZelError> failure;
  auto visit = [&](const CentralRecord& record) {
    const std::string_view name = record.name();
    if (!ends_with(name, tail, tail_end)) return true;
    const std::optional<uint8_t> segment = segment_before(name, name.size() - tail.size());
    if (!segment) return true;
    MemberLocator* slot = channel->segments[*segment].append();
    if (slot == nullptr) {
      failure = out_of_memory();
      return false;
    }
    record.locate(*slot);
    return true;
  };
  ZEL_TRY(walk_again(source, archive, records_, failure, visit));
  return publish(channel_, std::move(channel));
}

Result<const MemberIndex*> ChannelIndex::walk_all(const ByteSource& source,
                                                  const ArchiveInfo& archive) const {
  // A channel filed alone already keeps its members: they are not filed twice.
  const OneChannel* const alone = channel_.load(std::memory_order_acquire);
  uint64_t alone_end = 0;
  if (alone != nullptr) std::memcpy(&alone_end, alone->tail.data() + alone->tail.size() - 8, 8);
  auto pick = [alone, alone_end](std::string_view name, std::vector<uint32_t>& starts) {
    channel_suffix_starts(name, starts);
    if (alone == nullptr || !ends_with(name, alone->tail, alone_end)) return;
    const size_t at = name.size() - alone->tail.size();
    if (const std::optional<uint8_t> segment = segment_before(name, at)) {
      const auto start = static_cast<uint32_t>(at - segment_digits(*segment) - 1);
      if (auto found = std::find(starts.begin(), starts.end(), start); found != starts.end()) {
        starts.erase(found);
      }
    }
  };
  MemberIndexBuilder builder(pick);
  std::optional<ZelError> failure;  // none: filing remembers running out of memory itself
  auto visit = [&builder](const CentralRecord& record) {
    builder.add(record.name(), [&record](MemberLocator& out) { record.locate(out); });
    return true;
  };
  ZEL_TRY(walk_again(source, archive, records_, failure, visit));
  ZEL_ASSIGN_OR_RETURN(MemberIndex index, std::move(builder).finish());
  std::unique_ptr<MemberIndex> made;
  try {
    made = std::make_unique<MemberIndex>(std::move(index));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  return publish(all_, std::move(made));
}

Result<ChannelIndex::Found> ChannelIndex::lookup(const ByteSource& source,
                                                 const ArchiveInfo& archive,
                                                 std::string_view suffix) const {
  if (channel_walks_) {
    // A suffix no name is filed under has no members, and asking for it files nothing.
    const std::optional<ChannelSuffix> parts = parse_channel_suffix(suffix);
    if (!parts) return Found{{}, nullptr};
    // The channel filed alone answers for its suffixes, also once everything else is filed.
    const OneChannel* channel = channel_.load(std::memory_order_acquire);
    if (channel == nullptr && all_.load(std::memory_order_acquire) == nullptr) {
      ZEL_ASSIGN_OR_RETURN(channel, walk_channel(source, archive, parts->tail));
    }
    if (channel != nullptr && channel->tail == parts->tail) {
      return Found{channel->segments[parts->segment].members(), nullptr};
    }
  }
  const MemberIndex* all = all_.load(std::memory_order_acquire);
  if (all == nullptr) {
    ZEL_ASSIGN_OR_RETURN(all, walk_all(source, archive));
  }
  return Found{{}, all};
}

Result<std::span<const MemberLocator>> ChannelIndex::find(const ByteSource& source,
                                                          const ArchiveInfo& archive,
                                                          std::string_view suffix) const {
  ZEL_ASSIGN_OR_RETURN(const Found found, lookup(source, archive, suffix));
  if (found.all != nullptr) return found.all->find(suffix);
  return checked(found.members);
}

Result<size_t> ChannelIndex::count(const ByteSource& source, const ArchiveInfo& archive,
                                   std::string_view suffix) const {
  ZEL_ASSIGN_OR_RETURN(const Found found, lookup(source, archive, suffix));
  if (found.all != nullptr) return found.all->count(suffix);
  return found.members.size();
}

Result<void> ChannelIndex::file_all(const ByteSource& source, const ArchiveInfo& archive) const {
  if (all_.load(std::memory_order_acquire) != nullptr) return {};
  ZEL_TRY(walk_all(source, archive));
  return {};
}

}  // namespace zel
