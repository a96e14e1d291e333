// Result<T>: a value or an Error; the core never throws.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/error.hpp"

namespace sigtap {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <class U, class = std::enable_if_t<std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, T> &&
                                              !std::is_same_v<std::decay_t<U>, Error> &&
                                              !std::is_same_v<std::decay_t<U>, Result>>>
  Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  Error& error() & { assert(!ok()); return std::get<1>(v_); }
  const Error& error() const& { assert(!ok()); return std::get<1>(v_); }
  Error&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : e_(std::in_place, std::move(error)) {}  // NOLINT

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }
  void value() const { assert(ok()); }
  Error& error() & { assert(!ok()); return *e_; }
  const Error& error() const& { assert(!ok()); return *e_; }
  Error&& error() && { assert(!ok()); return std::move(*e_); }

 private:
  std::optional<Error> e_;
};

using Status = Result<void>;

}  // namespace sigtap

#define SIGTAP_CONCAT_INNER_(a, b) a##b
#define SIGTAP_CONCAT_(a, b) SIGTAP_CONCAT_INNER_(a, b)

/// Returns the error of a Result<...> expression from the enclosing function.
#define SIGTAP_TRY(expr)                                        \
  do {                                                          \
    auto&& sigtap_try_result_ = (expr);                         \
    if (!sigtap_try_result_.ok()) return std::move(sigtap_try_result_).error(); \
  } while (0)

#define SIGTAP_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                                  \
  if (!tmp.ok()) return std::move(tmp).error();       \
  lhs = std::move(tmp).value()

/// `SIGTAP_ASSIGN_OR_RETURN(auto x, f());` binds the value or returns the error.
#define SIGTAP_ASSIGN_OR_RETURN(lhs, expr) \
  SIGTAP_ASSIGN_OR_RETURN_IMPL_(SIGTAP_CONCAT_(sigtap_aor_, __LINE__), lhs, expr)
