// WipedValue: a plain value (a record id, a position) that is wiped when it
// dies and when it is moved from, wherever it lives: on the stack, inside a
// struct, in any container. A struct holding one needs no wiping of its own.
#pragma once

#include <string.h>

#include <type_traits>

namespace quorvex {

template <class T>
  requires std::is_trivially_copyable_v<T>
class WipedValue {
 public:
  WipedValue() = default;
  WipedValue(T value) : value_(value) {}  // NOLINT: converts like the value it holds
  WipedValue(const WipedValue&) = default;
  WipedValue(WipedValue&& other) noexcept : value_(other.value_) { other.wipe(); }
  WipedValue& operator=(const WipedValue&) = default;
  WipedValue& operator=(WipedValue&& other) noexcept {
    value_ = other.value_;
    if (this != &other) other.wipe();
    return *this;
  }
  ~WipedValue() { wipe(); }

  operator T() const { return value_; }  // NOLINT: reads like the value it holds
  T get() const { return value_; }

 private:
  // explicit_bzero is never optimised away, even on an object about to die.
  void wipe() noexcept { ::explicit_bzero(&value_, sizeof value_); }

  T value_{};
};

}  // namespace quorvex
