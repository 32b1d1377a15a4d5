// An allocator for the large tables a client keeps (the vector table, the
// client hint, the lexical index): blocks start on a cache line, so that every
// block of the vector table can be loaded with aligned SIMD loads; large
// tables start on a huge-page boundary and ask the kernel for huge pages; and
// elements made without a value are left uninitialised, so a table can be
// read straight from its file without being zero-filled first.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>

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
    const std::size_t bytes = count * sizeof(T);
    void* memory = ::operator new(bytes, std::align_val_t(alignment_for(bytes)));
    // A large table is scanned end to end (by every search, every decode): on
    // huge pages the scan walks far fewer page-table entries.
    if (bytes >= kHugeTableBytes) ::madvise(memory, bytes / kHugePageBytes * kHugePageBytes, MADV_HUGEPAGE);
    return static_cast<T*>(memory);
  }
  // Elements made without a value are left uninitialised: every table writes
  // each value it keeps, so zero-filling first would be wasted work.
  template <class U>
  void construct(U* pointer) noexcept {
    ::new (static_cast<void*>(pointer)) U;
  }
  template <class U, class... Args>
  void construct(U* pointer, Args&&... args) {
    ::new (static_cast<void*>(pointer)) U(std::forward<Args>(args)...);
  }
  void deallocate(T* pointer, std::size_t count) noexcept {
    ::operator delete(pointer, std::align_val_t(alignment_for(count * sizeof(T))));
  }

  static constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
  static constexpr std::size_t kHugeTableBytes = 2 * kHugePageBytes;
  static constexpr std::size_t alignment_for(std::size_t bytes) {
    return bytes >= kHugeTableBytes ? kHugePageBytes : Alignment;
  }

  template <class U>
  bool operator==(const AlignedAllocator<U, Alignment>&) const noexcept {
    return true;
  }
};

// A table of values that are all written after it is sized (resize() leaves them uninitialised).
template <class T>
using AlignedVector = std::vector<T, AlignedAllocator<T>>;

}  // namespace quorvex
