// Vector payload framing of PIR queries and responses, all little-endian:
//   offset 0   8 bytes             magic naming the message kind
//   offset 8   8 bytes             count: number of elements
//   offset 16  W * count bytes     the unsigned elements, in order
// Nothing may follow the last element. W is 8 (64-bit elements) for the toy
// and simplepir-rs messages, 4 (32-bit elements) for the balanced ones.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace quorvex {

// The eight ASCII bytes of a magic read as one little-endian integer.
constexpr std::uint64_t magic_value(std::string_view ascii) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < 8; ++k) {
    value |= std::uint64_t{static_cast<unsigned char>(ascii[k])} << (8 * k);
  }
  return value;
}

inline constexpr std::uint64_t kToyQueryMagic = magic_value("QVSPQ001");
inline constexpr std::uint64_t kToyResponseMagic = magic_value("QVSPR001");
inline constexpr std::uint64_t kSimplePirRsQueryMagic = magic_value("QVSRQ001");
inline constexpr std::uint64_t kSimplePirRsResponseMagic = magic_value("QVSRR001");
inline constexpr std::uint64_t kBalancedQueryMagic = magic_value("QVBLQ001");
inline constexpr std::uint64_t kBalancedResponseMagic = magic_value("QVBLR001");

// 16 + W * values.size() bytes.
std::vector<std::uint8_t> encode_vector_payload(std::uint64_t magic, std::span<const std::uint64_t> values);
std::vector<std::uint8_t> encode_vector_payload(std::uint64_t magic, std::span<const std::uint32_t> values);

// The elements of a framed vector of exactly expected_len elements of type
// Word. Checks, in order: magic, the count field present, count ==
// expected_len (before any element is read), every element present, no
// trailing bytes. Each failure is a Format error naming `label`.
template <class Word = std::uint64_t>
Result<std::vector<Word>> decode_vector_payload(std::uint64_t magic, std::span<const std::uint8_t> bytes,
                                                std::uint64_t expected_len, std::string_view label);

}  // namespace quorvex
