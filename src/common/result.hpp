// A value or an error, never both.
//
// Errors are ordinary values that travel up unchanged to the process entry;
// nothing in the product throws across module boundaries.
#pragma once

#include <utility>
#include <variant>

namespace brindlecast {

// Marks the error side when building a Result, so T and E may be alike.
template <class E>
struct Err {
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};

// The value of an operation that yields nothing but can fail.
struct Done {};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Err<F> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

  // The error moved out, for a Result of any value type: `if (!r) return r.forward();`.
  Err<E> forward() { return Err<E>(std::move(error())); }

 private:
  std::variant<T, E> v_;
};

}  // namespace brindlecast
