// Result<T>: a value or an Error, returned by every fallible operation. Status is Result<void>
// and costs one pointer; a successful Status holds nothing.
#pragma once

#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

#include "tarnwick/base/error.h"

namespace tarnwick::base {

template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_reference_v<T>, "Result holds values");
  static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>, "Result<Error> is meaningless");

 public:
  Result(const T& value) : ok_(true) { new (&value_) T(value); }
  Result(T&& value) : ok_(true) { new (&value_) T(std::move(value)); }
  template <class U>
  requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, T> &&
           !std::is_same_v<std::decay_t<U>, Error>) Result(U&& value)
      : ok_(true) {
    new (&value_) T(std::forward<U>(value));
  }
  Result(Error error) : ok_(false) {
    assert(!error.empty());
    new (&error_) Error(std::move(error));
  }

  Result(const Result& other) : ok_(other.ok_) {
    if (ok_) {
      new (&value_) T(other.value_);
    } else {
      new (&error_) Error(other.error_);
    }
  }
  Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(other.ok_) {
    if (ok_) {
      new (&value_) T(std::move(other.value_));
    } else {
      new (&error_) Error(std::move(other.error_));
    }
  }
  Result& operator=(Result other) {
    this->~Result();
    new (this) Result(std::move(other));
    return *this;
  }
  ~Result() {
    if (ok_) {
      value_.~T();
    } else {
      error_.~Error();
    }
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }

  T& value() & {
    assert(ok_);
    return value_;
  }
  const T& value() const& {
    assert(ok_);
    return value_;
  }
  T&& value() && {
    assert(ok_);
    return std::move(value_);
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& {
    assert(!ok_);
    return error_;
  }
  Error&& error() && {
    assert(!ok_);
    return std::move(error_);
  }

 private:
  union {
    T value_;
    Error error_;
  };
  bool ok_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) { assert(!error_.empty()); }

  bool ok() const { return error_.empty(); }
  explicit operator bool() const { return ok(); }

  const Error& error() const& {
    assert(!ok());
    return error_;
  }
  Error&& error() && {
    assert(!ok());
    return std::move(error_);
  }

 private:
  Error error_;
};

using Status = Result<void>;

}  // namespace tarnwick::base

#define TW_CONCAT_INNER(a, b) a##b
#define TW_CONCAT(a, b) TW_CONCAT_INNER(a, b)

// Returns the error of a failed Result or Status from the enclosing function.
#define TW_TRY(expr)                            \
  do {                                          \
    auto&& tw_try_result_ = (expr);             \
    if (!tw_try_result_.ok()) [[unlikely]]      \
      return std::move(tw_try_result_).error(); \
  } while (0)

// Declares or assigns `lhs` from a successful Result, or returns its error.
#define TW_ASSIGN_OR_RETURN(lhs, expr) \
  TW_ASSIGN_OR_RETURN_IMPL(TW_CONCAT(tw_result_, __LINE__), lhs, expr)
#define TW_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                             \
  if (!tmp.ok()) [[unlikely]]                    \
    return std::move(tmp).error();               \
  lhs = std::move(tmp).value()
