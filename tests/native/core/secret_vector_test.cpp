// Secret vectors hand their memory back to the heap only after wiping it: a
// heap that inspects every block it gets back sees nothing but zero bytes,
// whether the vector reallocated, was cleared and shrunk, or died. Wiped
// values do the same wherever they live.
#include "core/secret_vector.hpp"
#include "core/wiped_value.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace quorvex {
namespace {

// Blocks the inspecting heap got back, and how many held a nonzero byte.
std::size_t returned = 0, dirty = 0;

template <class T>
struct InspectingHeap {
  using value_type = T;
  InspectingHeap() = default;
  template <class U>
  InspectingHeap(const InspectingHeap<U>&) {}
  // Blocks are handed out zeroed, so a nonzero byte coming back was written by the container.
  T* allocate(std::size_t n) {
    T* pointer = std::allocator<T>{}.allocate(n);
    std::memset(static_cast<void*>(pointer), 0, n * sizeof(T));
    return pointer;
  }
  void deallocate(T* pointer, std::size_t n) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(pointer);
    ++returned;
    dirty += std::any_of(bytes, bytes + n * sizeof(T), [](unsigned char b) { return b != 0; });
    std::allocator<T>{}.deallocate(pointer, n);
  }
  bool operator==(const InspectingHeap&) const = default;
};

TEST(SecretVector, EveryReturnedBlockIsWiped) {
  {
    SecretVector<std::uint64_t, InspectingHeap<std::uint64_t>> secret;
    for (std::uint64_t i = 1; i <= 1000; ++i) secret.push_back(i * 0x9E3779B97F4A7C15u);  // reallocates ~10 times
    for (std::uint64_t i = 1; i <= 1000; ++i) ASSERT_EQ(secret[i - 1], i * 0x9E3779B97F4A7C15u);  // kept across moves
    SecretVector<std::int64_t, InspectingHeap<std::int64_t>> error(333, -7);
    auto copy = secret;
    copy.clear();
    copy.shrink_to_fit();
    auto moved = std::move(secret);
  }
  {
    // A wiped value clears itself when it dies or is moved from, so even a plain vector of them hands back zeros.
    std::vector<WipedValue<std::uint64_t>, InspectingHeap<WipedValue<std::uint64_t>>> ids;
    for (std::uint64_t i = 1; i <= 100; ++i) ids.emplace_back(i);
    ASSERT_EQ(ids[99].get(), 100u);
  }
  EXPECT_GE(returned, 19u);
  EXPECT_EQ(dirty, 0u);
  // The inspection itself works: a plain vector on the same heap returns its data intact.
  { std::vector<std::uint64_t, InspectingHeap<std::uint64_t>> plain(64, 0xABCDu); }
  EXPECT_EQ(dirty, 1u);
}

}  // namespace
}  // namespace quorvex
