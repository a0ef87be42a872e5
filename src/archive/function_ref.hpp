// FunctionRef: a non-owning reference to a callable, for callbacks that must not allocate.
#pragma once

#include <type_traits>
#include <utility>

namespace zel {

template <class Signature>
class FunctionRef;

// A callable that a FunctionRef of `Self`'s signature can refer to: anything invocable so, but
// another FunctionRef (which is copied instead).
template <class F, class Self, class Return, class... Args>
concept ReferableAs = !std::is_same_v<std::remove_cvref_t<F>, Self> &&
                      std::is_invocable_r_v<Return, const F&, Args...>;

// Valid only while the referenced callable lives: keep it no longer than that.
template <class Return, class... Args>
class FunctionRef<Return(Args...)> {
 public:
  template <ReferableAs<FunctionRef, Return, Args...> F>
  FunctionRef(const F& callable) noexcept
      : context_(&callable), call_([](const void* context, Args... args) -> Return {
          return (*static_cast<const F*>(context))(std::forward<Args>(args)...);
        }) {}

  Return operator()(Args... args) const { return call_(context_, std::forward<Args>(args)...); }

 private:
  const void* context_;
  Return (*call_)(const void*, Args...);
};

}  // namespace zel
