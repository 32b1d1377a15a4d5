// The server's batched response document, as the client receives it.
#include "pir/batched_documents.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto response = quorvex::BatchedPirResponse::from_json_slice({data, size});
  if (!response) (void)response.error().display();
  return 0;
}
