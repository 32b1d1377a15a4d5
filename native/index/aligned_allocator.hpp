// An allocator whose blocks start on a cache line, so that every block of the
// vector table can be loaded with aligned SIMD loads.
#pragma once

#include <cstddef>
#include <new>

namespace quorvex {

template <class T, std::size_t Alignment = 64>
struct AlignedAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = AlignedAllocator<U, Alignment>;
  };

  AlignedAllocator() = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U, Alignment>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(::operator new(count * sizeof(T), std::align_val_t(Alignment)));
  }
  void deallocate(T* pointer, std::size_t) noexcept { ::operator delete(pointer, std::align_val_t(Alignment)); }

  template <class U>
  bool operator==(const AlignedAllocator<U, Alignment>&) const noexcept {
    return true;
  }
};

}  // namespace quorvex
