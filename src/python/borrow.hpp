// The borrow flag of one data-file object and the guards that hold a borrow for one call.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace zel {

// 0: free; 1 .. 2^64 - 2: that many shared borrows; all bits set: one exclusive borrow.
class BorrowFlag {
 public:
  static constexpr uint64_t kExclusive = ~uint64_t{0};

  bool try_shared() noexcept {
    uint64_t seen = flag_.load();
    do {
      if (seen == kExclusive) return false;
    } while (!flag_.compare_exchange_weak(seen, seen + 1));
    return true;
  }
  bool try_exclusive() noexcept {
    uint64_t expected = 0;
    return flag_.compare_exchange_strong(expected, kExclusive);
  }
  void release_shared() noexcept { flag_.fetch_sub(1); }
  void release_exclusive() noexcept { flag_.store(0); }

 private:
  std::atomic<uint64_t> flag_{0};
};

// Holds a shared (Exclusive = false) or exclusive borrow until destroyed.
template <bool Exclusive>
class Borrow {
 public:
  static std::optional<Borrow> take(BorrowFlag& flag) noexcept {
    const bool taken = Exclusive ? flag.try_exclusive() : flag.try_shared();
    if (!taken) return std::nullopt;
    return Borrow(flag);
  }
  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow() {
    if (flag_ == nullptr) return;
    if constexpr (Exclusive) {
      flag_->release_exclusive();
    } else {
      flag_->release_shared();
    }
  }

 private:
  explicit Borrow(BorrowFlag& flag) noexcept : flag_(&flag) {}
  BorrowFlag* flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace zel
