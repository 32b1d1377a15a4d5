// The payload string decoder. What it accepts encodes back to text of the
// same length, identical whenever the text has no partial last group (the
// unused low bits of a partial group are ignored when decoding); any bytes
// survive encoding then decoding.
#include <algorithm>
#include <cstdlib>

#include "fuzz/fuzz_input.hpp"
#include "pir/payload_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = quorvex::fuzz::as_text(data, size);
  if (auto bytes = quorvex::payload_codec::decode(text)) {
    const std::string again = quorvex::payload_codec::encode(*bytes);
    if (again.size() != text.size() || (text.size() % 4 == 0 && again != text)) std::abort();
  }
  auto round_trip = quorvex::payload_codec::decode(quorvex::payload_codec::encode({data, size}));
  if (!round_trip || !std::equal(round_trip->begin(), round_trip->end(), data, data + size)) std::abort();
  return 0;
}
