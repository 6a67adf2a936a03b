#pragma once
// The outcome of work that may fail: a value or an error. Inside tasks errors travel as
// exceptions (an awaited call that fails throws at the co_await); where an outcome leaves the
// world of tasks (a spawned task's handle, a blocking wait) it becomes a Result, so that no
// exception crosses a queue item or a thread boundary.
//
// `E` is the error type; the default, std::exception_ptr, carries any error. For it,
// errorAs<X>() finds out whether the error is an X without the caller rethrowing.

#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform::async {

// The value of work that produces no value.
using Void = std::monostate;

template <class T, class E = std::exception_ptr>
class Result {
 public:
  using Value = std::conditional_t<std::is_void_v<T>, Void, T>;
  using Error = E;

  static Result success(Value value = Value{}) {
    return Result(std::in_place_index<0>, std::move(value));
  }
  static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }
  // The error of the exception being handled (inside a catch block); only for the default E.
  static Result currentFailure() requires std::is_same_v<E, std::exception_ptr> {
    return failure(std::current_exception());
  }

  bool hasValue() const { return v_.index() == 0; }
  explicit operator bool() const { return hasValue(); }

  // Only meaningful when hasValue().
  Value& value() & { return std::get<0>(v_); }
  const Value& value() const& { return std::get<0>(v_); }
  Value&& value() && { return std::get<0>(std::move(v_)); }
  // Only meaningful when !hasValue().
  const E& error() const { return std::get<1>(v_); }

  // The value, or the error thrown (as itself for the default E, as an E otherwise).
  Value get() && {
    if (hasValue()) return std::get<0>(std::move(v_));
    if constexpr (std::is_same_v<E, std::exception_ptr>) {
      std::rethrow_exception(std::get<1>(v_));
    } else {
      throw std::get<1>(std::move(v_));
    }
  }

  // The error as an X when it is one (X or derived from X), else nullptr. The pointer stays
  // valid while this Result holds the error.
  template <class X>
  const X* errorAs() const requires std::is_same_v<E, std::exception_ptr> {
    if (hasValue() || !std::get<1>(v_)) return nullptr;
    try {
      std::rethrow_exception(std::get<1>(v_));
    } catch (const X& x) {
      return &x;
    } catch (...) {
      return nullptr;
    }
  }

 private:
  template <std::size_t I, class A>
  Result(std::in_place_index_t<I> i, A&& a) : v_(i, std::forward<A>(a)) {}

  std::variant<Value, E> v_;
};

}  // namespace platform::async
