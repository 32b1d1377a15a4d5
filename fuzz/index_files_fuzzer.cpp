// "vectors.bin", "ids.bin" and "lexical.bin" read from disk: the first byte
// picks the file, the rest is its content. A lexical index that is accepted
// also scores a question, which must stay within its tables.
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "index/index_reader.hpp"
#include "index/lexical_index.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const quorvex::IndexReader reader(quorvex::fuzz::scratch_dir());
  switch (data[0] % 3) {
    case 0: {
      quorvex::fuzz::write_scratch_file(quorvex::kVectorsName, data + 1, size - 1);
      auto vectors = reader.read_vectors();
      if (!vectors) (void)vectors.error().display();
      break;
    }
    case 1: {
      quorvex::fuzz::write_scratch_file(quorvex::kIdsName, data + 1, size - 1);
      auto ids = reader.read_ids();
      if (!ids) (void)ids.error().display();
      break;
    }
    default: {
      quorvex::fuzz::write_scratch_file("lexical.bin", data + 1, size - 1);
      auto file = quorvex::InputFile::open(quorvex::fuzz::scratch_dir() / "lexical.bin");
      if (!file) break;
      auto lexical = quorvex::LexicalIndex::read_from(*file);
      if (!lexical) {
        (void)lexical.error().display();
        break;
      }
      std::vector<float> scores(lexical->row_count());
      lexical->score("How do I create an HTTP server that listens on port 8080?", scores);
    }
  }
  return 0;
}
