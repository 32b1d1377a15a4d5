// A batched query document as the server receives it, answered by a toy and
// a simplepir-rs store of four 112-byte records (the shape of the seeds).
#include "fuzz/fuzz_input.hpp"
#include "server/query_answers.hpp"

namespace {

constexpr std::uint64_t kRecords = 4, kRecordSize = 112;

const quorvex::LaneStore& store(std::string_view profile, std::uint64_t lane_rows) {
  static std::vector<std::unique_ptr<quorvex::LaneStore>> stores;
  for (const auto& opened : stores) {
    if (opened->shape.profile == profile) return *opened;
  }
  const std::string name = std::string(profile) + ".lanes";
  const std::vector<std::uint8_t> lanes(lane_rows * kRecords * 2, 0x5A);
  quorvex::fuzz::write_scratch_file(name, lanes.data(), lanes.size());
  auto opened = quorvex::LaneStore::open(quorvex::fuzz::scratch_dir() / name, profile, kRecords, kRecordSize);
  if (!opened) std::abort();
  stores.push_back(std::make_unique<quorvex::LaneStore>(std::move(opened).value()));
  return *stores.back();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quorvex::DocumentBytes document(data, size);
  for (const auto& [profile, rows] : {std::pair{std::string_view("toy-development-only-v0"), kRecordSize},
                                      std::pair{std::string_view("simplepir-rs-experimental-v0"), kRecordSize / 2}}) {
    for (const auto& answer : quorvex::answer_query_documents(store(profile, rows), {&document, 1}, 8, 1)) {
      if (!answer) (void)answer.error().display();
    }
  }
  return 0;
}
