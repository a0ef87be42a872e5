// MemberGroup: the locators of the members filed under one suffix, in directory order, in memory
// of their own that doubles as it fills.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <utility>

#include "archive/member_locator.hpp"

namespace zel {

// Grown with realloc, a large group moves its pages rather than its bytes, and the part it has
// not filled yet costs address space only: a group holds its members where they were first
// written, with no second copy and no pass that sorts them into place.
class MemberGroup {
 public:
  MemberGroup() = default;
  MemberGroup(MemberGroup&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  MemberGroup& operator=(MemberGroup&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  MemberGroup(const MemberGroup&) = delete;
  MemberGroup& operator=(const MemberGroup&) = delete;
  ~MemberGroup() { std::free(data_); }

  // Appends `member`; false, and the group unchanged, when memory runs out. Callers keep the
  // size below UINT32_MAX.
  bool push(const MemberLocator& member) noexcept {
    if (size_ == capacity_ && !grow()) return false;
    data_[size_++] = member;
    return true;
  }
  // Room for one more member at the end, to be written by the caller before anything else is
  // asked of the group; nullptr, and the group unchanged, when memory runs out.
  MemberLocator* append() noexcept {
    if (size_ == capacity_ && !grow()) return nullptr;
    return &data_[size_++];
  }
  std::span<const MemberLocator> members() const noexcept { return {data_, size_}; }
  uint32_t size() const noexcept { return size_; }

 private:
  bool grow() noexcept {
    const uint64_t capacity = capacity_ == 0 ? 4 : uint64_t{capacity_} * 2;
    const uint64_t fitting = capacity < UINT32_MAX ? capacity : UINT32_MAX;
    void* grown = std::realloc(data_, static_cast<size_t>(fitting) * sizeof(MemberLocator));
    if (grown == nullptr) return false;
    data_ = static_cast<MemberLocator*>(grown);
    capacity_ = static_cast<uint32_t>(fitting);
    return true;
  }

  MemberLocator* data_ = nullptr;  // owned, from malloc
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
};

}  // namespace zel
