// A published PIR store as the server answers it: its shape and its lane
// data, immutable once opened, so any number of threads may use it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "core/error.hpp"
#include "server/lane_file.hpp"
#include "server/lane_product.hpp"
#include "server/store_shape.hpp"

namespace quorvex {

struct LaneStore {
  StoreShape shape;
  LaneFile lanes;

  static Result<LaneStore> open(const std::filesystem::path& lane_file, std::string_view profile,
                                std::uint64_t record_count, std::uint64_t record_size_bytes);

  LaneRows rows() const { return {lanes.row(0), shape.lane_rows, shape.columns}; }
};

}  // namespace quorvex
