// A small server for tests, written the plain way as the yardstick of the
// real one: builds the client hint for a database of records and answers
// query vectors, for both backends.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/text.hpp"
#include "pir/batched_documents.hpp"
#include "pir/vector_payload.hpp"
#include "simplepir/matrix.hpp"
#include "simplepir/toy_public_matrix.hpp"
#include "support/pir_fixtures.hpp"

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

// Toy: D is record_size x record_count (entry (r, i) = byte r of record i),
// the hint is D·A and the answer D·c, modulo 2^32.
struct ToyServer {
  static constexpr std::uint64_t kQueryMagic = kToyQueryMagic, kResponseMagic = kToyResponseMagic;
  Records records;
  SimplePirClientArtifact artifact;

  ToyServer(Records database, std::uint64_t matrix_seed) : records(std::move(database)) {
    const std::uint64_t m = records.size(), size = records[0].size(), width = 16;
    artifact.setup = {m, size, width, 4294967296u, 256, 16777216, matrix_seed};
    artifact.hint.assign(size * width, 0);
    for (std::uint64_t r = 0; r < size; ++r) {
      for (std::uint64_t j = 0; j < width; ++j) {
        std::uint64_t sum = 0;
        for (std::uint64_t i = 0; i < m; ++i) sum += records[i][r] * public_matrix_entry(matrix_seed, i, j);
        artifact.hint[r * width + j] = sum & 0xFFFFFFFFu;
      }
    }
  }

  std::uint64_t query_length() const { return records.size(); }
  std::vector<std::uint64_t> answer(const std::vector<std::uint64_t>& query) const {
    std::vector<std::uint64_t> out(records[0].size());
    for (std::size_t r = 0; r < out.size(); ++r) {
      std::uint64_t sum = 0;
      for (std::size_t i = 0; i < records.size(); ++i) sum += records[i][r] * query[i];
      out[r] = sum & 0xFFFFFFFFu;
    }
    return out;
  }
};

// simplepir-rs: a square database of 16-bit lanes, D[lane][record]; the hint
// is (D - half_p)·A and the answer D·c, wrapping.
struct SimplePirRsServer {
  static constexpr std::uint64_t kQueryMagic = kSimplePirRsQueryMagic, kResponseMagic = kSimplePirRsResponseMagic;
  Records records;
  SimplePirRsClientArtifact artifact;
  std::vector<std::uint64_t> lanes;  // side x side, row-major

  SimplePirRsServer(Records database, std::uint64_t server_hint)
      : records(std::move(database)), artifact{{}, Matrix::from_row_major(1, 1, {0})} {
    const std::uint64_t m = records.size(), size = records[0].size();
    const std::uint64_t lane_count = (size + 1) / 2;
    const std::uint64_t side = std::max({m, lane_count, std::uint64_t{1}});
    artifact.setup = {m, size, lane_count, side, 64, 17, 131072, 11, server_hint};
    lanes.assign(side * side, 0);
    for (std::uint64_t i = 0; i < m; ++i) {
      for (std::uint64_t lane = 0; lane < lane_count; ++lane) {
        const std::uint64_t low = records[i][2 * lane];
        const std::uint64_t high = 2 * lane + 1 < size ? records[i][2 * lane + 1] : 0;
        lanes[lane * side + i] = low | high << 8;
      }
    }
    const Matrix a = Matrix::new_random(side, 64, 0, UINT64_MAX, server_hint);
    std::vector<std::uint64_t> hint(side * 64, 0);
    for (std::uint64_t row = 0; row < side; ++row) {
      for (std::uint64_t k = 0; k < side; ++k) {
        const std::uint64_t d = lanes[row * side + k] - 65536;
        for (std::uint64_t j = 0; j < 64; ++j) hint[row * 64 + j] += d * a.at(k, j);
      }
    }
    artifact.hint = Matrix::from_row_major(side, 64, std::move(hint));
  }

  std::uint64_t query_length() const { return artifact.setup.square_side_len; }
  std::vector<std::uint64_t> answer(const std::vector<std::uint64_t>& query) const {
    const std::size_t side = query_length();
    std::vector<std::uint64_t> out(side, 0);
    for (std::size_t row = 0; row < side; ++row) {
      for (std::size_t k = 0; k < side; ++k) out[row] += lanes[row * side + k] * query[k];
    }
    return out;
  }
};

// One framed answer per query of the batch, in order.
template <class Server>
BatchedPirResponse answer_batch(const Server& server, const BatchedPirQuery& query) {
  BatchedPirResponse response;
  response.retrieval_count = query.queries.size();
  for (const PirQuery& item : query.queries) {
    const auto vector = decode_vector_payload(Server::kQueryMagic, item.payload.bytes, server.query_length(), "query");
    response.responses.push_back({});
    response.responses.back().payload.bytes = encode_vector_payload(Server::kResponseMagic, server.answer(vector.value()));
  }
  return response;
}

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
