// The three client hint formats; the magic at the start of the input decides
// which reader accepts it, so every input goes to all three.
#include "pir/balanced_client_hint.hpp"
#include "pir/simplepir_rs_client_hint.hpp"
#include "pir/toy_client_hint.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  if (auto toy = quorvex::SimplePirClientArtifact::from_bytes(bytes)) {
    (void)quorvex::validate_toy_hint_length(*toy);
  } else {
    (void)toy.error().display();
  }
  if (auto rs = quorvex::SimplePirRsClientArtifact::from_bytes(bytes)) {
    (void)quorvex::validate_simplepir_rs_hint_shape(*rs);
  } else {
    (void)rs.error().display();
  }
  if (auto balanced = quorvex::BalancedClientArtifact::from_bytes(bytes)) {
    (void)quorvex::validate_balanced_hint_shape(*balanced);
  } else {
    (void)balanced.error().display();
  }
  return 0;
}
