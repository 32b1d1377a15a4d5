// Secret vectors hand their memory back to the heap only after wiping it: a
// heap that inspects every block it gets back sees nothing but zero bytes,
// whether the vector reallocated, was cleared and shrunk, or died.
#include "core/secret_vector.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace quorvex {
namespace {

// What the inspecting heap saw: blocks returned, and how many held a nonzero byte.
struct Returns {
  std::size_t blocks = 0;
  std::size_t dirty = 0;
  std::size_t bytes = 0;
};
Returns returns;

template <class T>
struct InspectingHeap {
  using value_type = T;
  InspectingHeap() = default;
  template <class U>
  InspectingHeap(const InspectingHeap<U>&) {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* pointer, std::size_t n) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(pointer);
    ++returns.blocks;
    returns.bytes += n * sizeof(T);
    if (std::any_of(bytes, bytes + n * sizeof(T), [](unsigned char b) { return b != 0; })) ++returns.dirty;
    std::allocator<T>{}.deallocate(pointer, n);
  }
  bool operator==(const InspectingHeap&) const = default;
};

template <class T>
using Inspected = SecretVector<T, InspectingHeap<T>>;

class SecretVectorTest : public ::testing::Test {
 protected:
  void SetUp() override { returns = {}; }
};

TEST_F(SecretVectorTest, EveryReturnedBlockIsWiped) {
  {
    Inspected<std::uint64_t> secret;
    for (std::uint64_t i = 1; i <= 1000; ++i) secret.push_back(i * 0x9E3779B97F4A7C15u);  // reallocates ~10 times
    for (std::uint64_t i = 1; i <= 1000; ++i) ASSERT_EQ(secret[i - 1], i * 0x9E3779B97F4A7C15u);  // kept across moves
    Inspected<std::int64_t> error(333, -7);
    Inspected<std::uint64_t> copy = secret;
    copy.clear();
    copy.shrink_to_fit();
    Inspected<std::uint64_t> moved = std::move(secret);
  }
  EXPECT_GE(returns.blocks, 12u);
  EXPECT_GE(returns.bytes, 1000u * 8 + 333u * 8 + 1000u * 8);
  EXPECT_EQ(returns.dirty, 0u);
}

TEST_F(SecretVectorTest, TheSameHeapWithoutWipingSeesTheSecret) {
  // The inspection itself works: a plain vector on the same heap returns its data intact.
  { std::vector<std::uint64_t, InspectingHeap<std::uint64_t>> plain(64, 0xABCDu); }
  EXPECT_EQ(returns.blocks, 1u);
  EXPECT_EQ(returns.dirty, 1u);
}

}  // namespace
}  // namespace quorvex
