// The payload string decoder; whatever it accepts must encode back to the
// same text, and any bytes must survive encode then decode.
#include <cstdlib>

#include "fuzz/fuzz_input.hpp"
#include "pir/payload_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = quorvex::fuzz::as_text(data, size);
  if (auto bytes = quorvex::payload_codec::decode(text)) {
    if (quorvex::payload_codec::encode(*bytes) != text) std::abort();
  }
  auto round_trip = quorvex::payload_codec::decode(quorvex::payload_codec::encode({data, size}));
  if (!round_trip || !std::equal(round_trip->begin(), round_trip->end(), data, data + size) ||
      round_trip->size() != size) {
    std::abort();
  }
  return 0;
}
