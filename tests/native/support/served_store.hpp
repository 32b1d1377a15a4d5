// PIR stores for tests, served by the server engine: records laid out in a
// lane file as the publisher writes it, the client artifact built from the
// engine's hint rows, and the engine's answers to queries and documents.
#pragma once

#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include "core/text.hpp"
#include "pir/balanced_client_hint.hpp"
#include "pir/batched_documents.hpp"
#include "pir/pir_profiles.hpp"
#include "pir/record_digits.hpp"
#include "server/client_hint_rows.hpp"
#include "server/query_answers.hpp"
#include "support/pir_fixtures.hpp"
#include "support/temp_dir.hpp"

namespace quorvex::testing {

using Records = std::vector<std::vector<std::uint8_t>>;

inline Records random_records(std::size_t count, std::size_t size, std::uint32_t seed) {
  std::mt19937 engine(seed);
  Records records(count, std::vector<std::uint8_t>(size));
  for (auto& record : records) {
    for (auto& byte : record) byte = static_cast<std::uint8_t>(engine());
  }
  return records;
}

// The lane file of a store: lane row r of record i at value r * count + i,
// the toy's lanes its bytes, simplepir-rs's lanes two bytes little-endian;
// a balanced store's digits in the layout its record count and size give.
inline std::filesystem::path write_lanes(const TempDir& dir, std::string_view profile, const Records& records) {
  const std::size_t size = records[0].size();
  if (profile == "simplepir-balanced-128-v1") {
    const BalancedLayout layout = BalancedLayout::for_store(records.size(), size).value();
    std::vector<std::uint16_t> lanes(layout.rows * layout.columns, 0), digits(layout.digits_per_record);
    for (std::size_t i = 0; i < records.size(); ++i) {
      record_to_digits(records[i], digits);
      for (std::size_t t = 0; t < digits.size(); ++t) {
        lanes[(layout.first_row_of(i) + t) * layout.columns + layout.column_of(i)] = digits[t];
      }
    }
    return dir.write("lanes.bin", std::string_view(reinterpret_cast<const char*>(lanes.data()), 2 * lanes.size()));
  }
  const bool toy = profile == "toy-development-only-v0";
  const std::size_t rows = toy ? size : (size + 1) / 2;
  std::string lanes(rows * records.size() * 2, '\0');
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::size_t at = 2 * (r * records.size() + i);
      lanes[at] = static_cast<char>(records[i][toy ? r : 2 * r]);
      lanes[at + 1] = static_cast<char>(toy || 2 * r + 1 >= size ? 0 : records[i][2 * r + 1]);
    }
  }
  return dir.write("lanes.bin", lanes);
}

// A store of `records` with the client artifact of its backend
// (SimplePirClientArtifact: toy; SimplePirRsClientArtifact: simplepir-rs,
// by default the experimental profile; BalancedClientArtifact: balanced),
// whose public matrix comes from `matrix_seed`.
template <class Artifact>
struct ServedStore {
  static constexpr bool kToy = std::is_same_v<Artifact, SimplePirClientArtifact>;
  static constexpr bool kBalanced = std::is_same_v<Artifact, BalancedClientArtifact>;
  TempDir dir;
  Records records;
  LaneStore store;
  Artifact artifact;

  ServedStore(Records database, std::uint64_t matrix_seed,
              std::string_view profile = kToy       ? "toy-development-only-v0"
                                         : kBalanced ? "simplepir-balanced-128-v1"
                                                     : "simplepir-rs-experimental-v0")
      : records(std::move(database)),
        store(LaneStore::open(write_lanes(dir, profile, records), profile, records.size(), records[0].size()).value()),
        artifact(make_artifact(matrix_seed)) {}

  BatchedPirResponse answer(const BatchedPirQuery& query) const {
    const std::vector<std::uint8_t> document = query.to_json_vec().value();
    const DocumentBytes documents[] = {document};
    return BatchedPirResponse::from_json_slice(answer_query_documents(store, documents, 64, 1)[0].value()).value();
  }

  // The answer to one query (sent four times to a balanced store, whose batches hold four).
  PirResponse answer(const PirQuery& query) const {
    const std::vector<PirQuery> queries(kBalanced ? 4 : 1, query);
    return answer(BatchedPirQuery{.scheme = query.scheme, .retrieval_count = queries.size(), .queries = queries})
        .responses[0];
  }

 private:
  Artifact make_artifact(std::uint64_t matrix_seed) const {
    const std::uint64_t m = records.size(), size = records[0].size();
    if constexpr (kBalanced) {
      std::array<std::uint8_t, 32> key{};
      for (std::size_t i = 0; i < 8; ++i) key[i] = static_cast<std::uint8_t>(matrix_seed >> (8 * i));
      const BalancedLayout layout = BalancedLayout::for_store(m, size).value();
      const std::vector<std::uint32_t> hint = balanced_client_hint(store, key, 2);
      return {{layout, kBalancedProfileValues.matrix_width, key}, {hint.begin(), hint.end()}};
    } else if constexpr (kToy) {
      ClientHintRows hint = client_hint_rows(store, matrix_seed, 1);
      return {{m, size, hint.width, 4294967296u, 256, 16777216, matrix_seed}, std::move(hint.rows)};
    } else {
      ClientHintRows hint = client_hint_rows(store, matrix_seed, 1);
      const std::uint64_t side = store.shape.query_length;
      for (std::uint64_t row = store.shape.lane_rows; row < side; ++row) {
        hint.rows.insert(hint.rows.end(), hint.repeated.begin(), hint.repeated.end());
      }
      return {{m, size, store.shape.lane_rows, side, hint.width, 17, 131072, 11, matrix_seed},
              Matrix::from_row_major(side, hint.width, std::move(hint.rows))};
    }
  }
};

using ToyStore = ServedStore<SimplePirClientArtifact>;
using SimplePirRsStore = ServedStore<SimplePirRsClientArtifact>;
using BalancedStore = ServedStore<BalancedClientArtifact>;

// A padded chunk record: u32 length, the JSON text, zero filler to `size`.
inline std::vector<std::uint8_t> padded_record(std::string_view json, std::size_t size) {
  std::vector<std::uint8_t> record(size, 0);
  const auto length = static_cast<std::uint32_t>(json.size());
  for (int i = 0; i < 4; ++i) record[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
  std::copy(json.begin(), json.end(), record.begin() + 4);
  return record;
}

// Records holding chunk "c{i}" of document "d{i / 2}" with text "text {i}".
inline Records chunk_records(std::size_t count, std::size_t size) {
  Records records;
  for (std::size_t i = 0; i < count; ++i) {
    records.push_back(padded_record(concat(R"({"record_id":)", i, R"(,"chunk_id":"c)", i, R"(","document_id":"d)",
                                           i / 2, R"(","text":"text )", i, R"("})"),
                                    size));
  }
  return records;
}

}  // namespace quorvex::testing
