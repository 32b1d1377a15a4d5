// A batched query document as the server receives it, answered by a toy, a
// simplepir-rs and a balanced store of four 112-byte records (the shape of the seeds).
#include "fuzz/fuzz_input.hpp"
#include "server/query_answers.hpp"

namespace {

constexpr std::uint64_t kRecords = 4, kRecordSize = 112;

const quorvex::LaneStore& store(std::string_view profile) {
  static std::vector<std::unique_ptr<quorvex::LaneStore>> stores;
  for (const auto& opened : stores) {
    if (opened->shape.profile == profile) return *opened;
  }
  const std::string name = std::string(profile) + ".lanes";
  const auto shape = quorvex::StoreShape::for_store(profile, kRecords, kRecordSize);
  if (!shape) std::abort();
  const std::vector<std::uint8_t> lanes(shape->lane_bytes(), 0x5A);
  quorvex::fuzz::write_scratch_file(name, lanes.data(), lanes.size());
  auto opened = quorvex::LaneStore::open(quorvex::fuzz::scratch_dir() / name, profile, kRecords, kRecordSize);
  if (!opened) std::abort();
  stores.push_back(std::make_unique<quorvex::LaneStore>(std::move(opened).value()));
  return *stores.back();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quorvex::DocumentBytes document(data, size);
  for (const std::string_view profile :
       {"toy-development-only-v0", "simplepir-rs-experimental-v0", "simplepir-balanced-128-v1"}) {
    for (const auto& answer : quorvex::answer_query_documents(store(profile), {&document, 1}, 8, 1)) {
      if (!answer) (void)answer.error().display();
    }
  }
  return 0;
}
