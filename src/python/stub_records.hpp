// Records that describe the module's Python interface for type-stub generators, registered at load.
#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace zel::stub {

// A Python type in annotation syntax, with the modules that a stub must import to name it.
struct TypeExpr {
  std::string text;
  std::set<std::string> imports;
};

// Records hold builders, not expressions, so that registering them allocates nothing.
using TypeExprFn = TypeExpr (*)();

struct MemberRecord {
  std::string_view name;
  TypeExprFn type;
  std::string_view doc;
};

struct ArgRecord {
  std::string_view name;
  TypeExprFn type;
};

enum class MethodKind { kInstance, kStatic, kClass, kConstructor };

struct MethodRecord {
  std::string_view name;
  std::span<const ArgRecord> args;  // in parameter order, without self or cls
  TypeExprFn returns;
  std::string_view doc;
  MethodKind kind;
};

// Identifies a native type; ties a class record to the methods record of the same class.
using ClassId = const void*;

template <class T>
inline constexpr char kClassTag = 0;

template <class T>
constexpr ClassId class_id() noexcept {
  return &kClassTag<T>;
}

struct ClassRecord {
  std::string_view name;
  std::optional<std::string_view> module;  // not set: the class belongs to the module itself
  std::string_view doc;
  std::span<const MemberRecord> getters;
  std::span<const MemberRecord> setters;
  std::span<const TypeExprFn> bases;
  bool has_eq;
  bool has_ord;
  bool has_hash;
  bool has_str;
  bool subclass;  // whether Python code may derive from the class
  ClassId id;
};

struct SourcePosition {
  std::string_view file;
  uint32_t line;
  uint32_t column;
};

struct MethodsRecord {
  ClassId class_id;
  std::span<const MemberRecord> attrs;
  std::span<const MemberRecord> getters;
  std::span<const MemberRecord> setters;
  std::span<const MethodRecord> methods;
  SourcePosition position;  // of the block that declares the methods
};

// A process-wide list that static entries join while the program or shared object is loaded.
// Joining is a lock-free prepend, so loaders on several threads may race; the order of the
// records carries no meaning. Nothing is ever removed.
template <class Record>
class RecordList {
 public:
  // Define one as a static object: its constructor adds `record`, which must outlive it.
  class Entry {
   public:
    Entry(RecordList& list, const Record& record) noexcept : record_(&record) {
      next_ = list.head_.load(std::memory_order_relaxed);
      while (!list.head_.compare_exchange_weak(next_, this, std::memory_order_release,
                                               std::memory_order_relaxed)) {
      }
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

   private:
    friend RecordList;
    const Record* record_;
    const Entry* next_ = nullptr;
  };

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Record;
    using difference_type = std::ptrdiff_t;
    using pointer = const Record*;
    using reference = const Record&;

    Iterator() = default;
    explicit Iterator(const Entry* entry) : entry_(entry) {}
    reference operator*() const { return *entry_->record_; }
    pointer operator->() const { return entry_->record_; }
    Iterator& operator++() {
      entry_ = entry_->next_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator&) const = default;

   private:
    const Entry* entry_ = nullptr;
  };

  constexpr RecordList() = default;
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;

  Iterator begin() const noexcept { return Iterator(head_.load(std::memory_order_acquire)); }
  Iterator end() const noexcept { return Iterator(); }

 private:
  std::atomic<const Entry*> head_{nullptr};
};

// The two lists. They are constant-initialised, so entries of any translation unit may join
// them during load, before or after the entries of this one.
RecordList<ClassRecord>& class_records() noexcept;
RecordList<MethodsRecord>& methods_records() noexcept;

}  // namespace zel::stub
