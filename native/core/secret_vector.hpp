// Vectors for secret material (LWE secrets, error vectors, raw entropy): their
// memory is wiped before it is returned to the heap, when the vector dies and
// whenever it reallocates.
#pragma once

#include <cstddef>
#include <memory>
#include <string.h>
#include <vector>

namespace quorvex {

template <class T>
class WipingAllocator {
 public:
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }

  void deallocate(T* pointer, std::size_t n) noexcept {
    ::explicit_bzero(pointer, n * sizeof(T));
    std::allocator<T>{}.deallocate(pointer, n);
  }

  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using SecretVector = std::vector<T, WipingAllocator<T>>;

}  // namespace quorvex
