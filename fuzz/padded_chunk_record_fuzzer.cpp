// A decrypted record: length prefix, chunk record JSON, padding.
#include "pir/padded_chunk_record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const auto errors : {quorvex::RecordErrors::WithLengths, quorvex::RecordErrors::WithoutLengths}) {
    auto record = quorvex::decode_padded_chunk_record({data, size}, errors);
    if (!record) (void)record.error().display();
  }
  return 0;
}
