// "vectors.bin" and "ids.bin" read from disk: the first byte picks the file,
// the rest is its content.
#include "fuzz/fuzz_input.hpp"
#include "index/index_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const quorvex::IndexReader reader(quorvex::fuzz::scratch_dir());
  if (data[0] % 2 == 0) {
    quorvex::fuzz::write_scratch_file(quorvex::kVectorsName, data + 1, size - 1);
    auto vectors = reader.read_vectors();
    if (!vectors) (void)vectors.error().display();
  } else {
    quorvex::fuzz::write_scratch_file(quorvex::kIdsName, data + 1, size - 1);
    auto ids = reader.read_ids();
    if (!ids) (void)ids.error().display();
  }
  return 0;
}
