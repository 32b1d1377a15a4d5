// The vector framing reader: the first 8 bytes give the expected length, the
// magic is each of the message kinds in turn, with its element width.
#include <cstdlib>
#include <cstring>

#include "pir/vector_payload.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint64_t expected_len = 0;
  std::memcpy(&expected_len, data, 8);
  const std::span<const std::uint8_t> bytes(data + 8, size - 8);
  for (const std::uint64_t magic : {quorvex::kToyQueryMagic, quorvex::kToyResponseMagic,
                                    quorvex::kSimplePirRsQueryMagic, quorvex::kSimplePirRsResponseMagic}) {
    auto values = quorvex::decode_vector_payload(magic, bytes, expected_len, "PIR response");
    if (values && quorvex::encode_vector_payload(magic, std::span<const std::uint64_t>(*values)) !=
                      std::vector<std::uint8_t>(bytes.begin(), bytes.end())) {
      std::abort();
    }
  }
  for (const std::uint64_t magic : {quorvex::kBalancedQueryMagic, quorvex::kBalancedResponseMagic}) {
    auto words = quorvex::decode_vector_payload<std::uint32_t>(magic, bytes, expected_len, "balanced PIR response");
    if (words && quorvex::encode_vector_payload(magic, std::span<const std::uint32_t>(*words)) !=
                     std::vector<std::uint8_t>(bytes.begin(), bytes.end())) {
      std::abort();
    }
  }
  return 0;
}
