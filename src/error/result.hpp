// Result<T>: a value or a ZelError, consumed once; member names follow std::expected.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "error/zel_error.hpp"

namespace zel {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(ZelError error) : state_(std::in_place_index<1>, std::move(error)) {}
  template <class Kind>
  requires std::is_constructible_v<ZelError, Kind> &&
      (!std::is_convertible_v<Kind, T>)Result(Kind kind)
      : state_(std::in_place_index<1>, ZelError(std::move(kind))) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  ZelError& error() & { return std::get<1>(state_); }
  ZelError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, ZelError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(ZelError error) : error_(std::move(error)) {}
  template <class Kind>
  requires std::is_constructible_v<ZelError, Kind> Result(Kind kind)
      : error_(ZelError(std::move(kind))) {}

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  ZelError& error() & { return *error_; }
  ZelError&& error() && { return std::move(*error_); }

 private:
  std::optional<ZelError> error_;
};

}  // namespace zel

// Propagating a failed Result, as the status macros of the result-type libraries do: the error
// of `expr` is returned from the calling function, which returns a Result of any type.
//
//   ZEL_TRY(expr);                        for a Result<void>, or a value that is not needed
//   ZEL_ASSIGN_OR_RETURN(auto x, expr);   declares (or assigns) x from the value
#define ZEL_TRY(expr)                                    \
  do {                                                   \
    if (auto zel_try_result = (expr); !zel_try_result) { \
      return std::move(zel_try_result).error();          \
    }                                                    \
  } while (false)

#define ZEL_ASSIGN_OR_RETURN(lhs, expr) \
  ZEL_ASSIGN_OR_RETURN_IMPL(ZEL_RESULT_NAME(zel_result_, __LINE__), lhs, expr)

#define ZEL_RESULT_NAME_INNER(prefix, line) prefix##line
#define ZEL_RESULT_NAME(prefix, line) ZEL_RESULT_NAME_INNER(prefix, line)
#define ZEL_ASSIGN_OR_RETURN_IMPL(result, lhs, expr) \
  auto result = (expr);                              \
  if (!result) return std::move(result).error();     \
  lhs = std::move(result).value()
