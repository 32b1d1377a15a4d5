#include "server/lane_store.hpp"

namespace quorvex {

Result<LaneStore> LaneStore::open(const std::filesystem::path& lane_file, std::string_view profile,
                                  std::uint64_t record_count, std::uint64_t record_size_bytes) {
  StoreShape shape = QV_TRY(StoreShape::for_store(profile, record_count, record_size_bytes));
  LaneFile lanes = QV_TRY(LaneFile::open(lane_file, shape.lane_rows, shape.columns));
  return LaneStore{std::move(shape), std::move(lanes)};
}

}  // namespace quorvex
