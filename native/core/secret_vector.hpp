// Vectors for secret material (LWE secrets, error vectors, raw entropy): their
// memory is wiped before it is returned to the heap, when the vector dies and
// whenever it reallocates. The heap is std::allocator unless another
// allocator is named (tests name one that inspects what it gets back).
#pragma once

#include <cstddef>
#include <memory>
#include <string.h>
#include <vector>

namespace quorvex {

template <class T, class Heap = std::allocator<T>>
class WipingAllocator {
 public:
  using value_type = T;
  template <class U>
  struct rebind {
    using other = WipingAllocator<U, typename std::allocator_traits<Heap>::template rebind_alloc<U>>;
  };

  WipingAllocator() noexcept = default;
  template <class U, class OtherHeap>
  WipingAllocator(const WipingAllocator<U, OtherHeap>&) noexcept {}

  T* allocate(std::size_t n) { return Heap{}.allocate(n); }

  void deallocate(T* pointer, std::size_t n) noexcept {
    ::explicit_bzero(pointer, n * sizeof(T));
    Heap{}.deallocate(pointer, n);
  }

  template <class U, class OtherHeap>
  bool operator==(const WipingAllocator<U, OtherHeap>&) const noexcept {
    return true;
  }
};

template <class T, class Heap = std::allocator<T>>
using SecretVector = std::vector<T, WipingAllocator<T, Heap>>;

}  // namespace quorvex
