// MemberIndex: the members of an archive filed under chosen suffixes of their names, built
// from one walk of the central directory, so that finding them later costs nothing per member
// of the archive. It keeps locators, not names, each filed where it will be found.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "archive/function_ref.hpp"
#include "archive/member_group.hpp"
#include "archive/member_locator.hpp"
#include "archive/suffix_cache.hpp"
#include "archive/suffix_key.hpp"
#include "error/result.hpp"

namespace zel {

// Appends to `starts`, ascending, the offsets in `name` of the suffixes to file it under.
using SuffixPicker = FunctionRef<void(std::string_view name, std::vector<uint32_t>& starts)>;

class MemberIndex {
 public:
  MemberIndex() = default;
  MemberIndex(MemberIndex&&) noexcept = default;
  MemberIndex& operator=(MemberIndex&&) noexcept = default;

  // Every member filed under `suffix`, in central-directory order: exactly the members whose
  // names end with `suffix`, provided it is one of the suffixes the picker chooses. A Zip error
  // when one of them has a record whose sizes or offset could not be read.
  Result<std::span<const MemberLocator>> find(std::string_view suffix) const;
  // How many members are filed under `suffix`, unreadable records included; never fails.
  size_t count(std::string_view suffix) const noexcept;
  // Every central-directory record the walk met, filed or not.
  uint64_t records() const noexcept { return records_; }

 private:
  friend class MemberIndexBuilder;
  struct Slot {
    SuffixKey key;
    uint32_t group;  // kEmpty for an unused slot
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;

  const Slot* slot_of(const SuffixKey& key) const noexcept;

  SuffixHasher hasher_;
  std::vector<Slot> slots_;          // open addressing, a power of two in size
  std::vector<MemberGroup> groups_;  // by group number
  bool overfull_ = false;            // members were left out: every find fails
  uint64_t records_ = 0;
};

// Files the members during the walk, each straight into its groups.
class MemberIndexBuilder {
 public:
  explicit MemberIndexBuilder(SuffixPicker pick) noexcept;

  // Called for every central-directory record, in order; `locate` writes the record's locator
  // where it is given, and is called only when the name is filed under some suffix. Memory that
  // runs out is remembered, and finish reports it.
  void add(std::string_view name, FunctionRef<void(MemberLocator&)> locate) noexcept;
  // The index, or an Io error when memory ran out while it was built.
  Result<MemberIndex> finish() && noexcept;

 private:
  void file(std::string_view name, FunctionRef<void(MemberLocator&)> locate);
  uint32_t group_of(std::string_view name, uint32_t start);
  uint32_t group_of(const SuffixKey& key);
  void grow();

  SuffixPicker pick_;
  MemberIndex index_;
  uint64_t members_ = 0;  // filed, each once
  uint64_t filings_ = 0;  // (member, suffix) pairs
  bool out_of_memory_ = false;
  std::vector<uint32_t> starts_;  // scratch for the picker
  std::vector<uint32_t> groups_;  // scratch: the groups of one member's suffixes
  SuffixCache cache_;             // suffixes already filed, by their bytes
};

}  // namespace zel
