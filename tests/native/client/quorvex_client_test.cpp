#include "client/quorvex_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <set>

#include "core/sha256.hpp"
#include "pir/vector_payload.hpp"
#include "support/index_files.hpp"
#include "support/served_store.hpp"

namespace quorvex {
namespace {

using testing::CacheBuilder;
using testing::kUnchanged;
using testing::outcome;

// A complete cache of `profile` whose PIR store holds chunk records, with the
// server engine that answers for it.
struct Published {
  CacheBuilder cache;
  testing::Rows rows;
  std::optional<testing::ToyStore> toy;
  std::optional<testing::SimplePirRsStore> rs;
  std::optional<testing::BalancedStore> balanced;

  // `altered_record`, when given, is stored by the server with one byte changed.
  Published(std::string_view profile, std::size_t count, std::size_t record_size, std::size_t dimensions,
            std::optional<std::size_t> altered_record = std::nullopt)
      : rows(count, std::vector<float>(dimensions)) {
    std::mt19937 engine(7);
    std::normal_distribution<float> normal;
    for (auto& row : rows) std::ranges::generate(row, [&] { return normal(engine); });
    cache.manifest = testing::manifest_json(profile, count, record_size, dimensions);
    testing::add_index(cache, rows);
    cache.files["pir/scheme.json"] = testing::scheme_json(profile, count, record_size).dump();
    testing::Records records = testing::chunk_records(count, record_size);
    // The index names the records' chunks and gives each whole record's digest.
    std::string metadata;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view bytes(reinterpret_cast<const char*>(records[i].data()), records[i].size());
      metadata += nlohmann::json{{"record_id", i}, {"chunk_id", concat("c", i)}, {"document_id", concat("d", i / 2)},
                                 {"record_sha256", sha256_hex(bytes)}}.dump() + "\n";
    }
    cache.files["index/metadata.jsonl"] = metadata;
    if (profile == "toy-development-only-v0") {
      cache.files["pir/client_hint.bin"] = testing::toy_hint_file(toy.emplace(records, 99).artifact).text();
    } else if (profile == "simplepir-balanced-128-v1") {
      cache.files["pir/client_hint.bin"] = testing::balanced_hint_file(balanced.emplace(records, 1234).artifact).text();
    } else {
      cache.files["pir/client_hint.bin"] = testing::simplepir_rs_hint_file(rs.emplace(records, 1234, profile).artifact).text();
    }
    if (altered_record) {
      // The server's own store, from which it answers; the cache keeps the publisher's hint and digests.
      records[*altered_record][7] ^= 0x10;
      if (toy) toy.emplace(std::move(records), 99);
      if (rs) rs.emplace(std::move(records), 1234, profile);
      if (balanced) balanced.emplace(std::move(records), 1234);
    }
  }

  // The server's response to a query document.
  BatchedPirResponse answer(const std::vector<std::uint8_t>& query_json) const {
    const BatchedPirQuery query = BatchedPirQuery::from_json_slice(query_json).value();
    return toy ? toy->answer(query) : balanced ? balanced->answer(query) : rs->answer(query);
  }
  const StoreShape& shape() const {
    return toy ? toy->store.shape : balanced ? balanced->store.shape : rs->store.shape;
  }
};

// Adds `shift` to answer element `element` of response `position`, as a
// server can without knowing which record the query fetches.
std::vector<std::uint8_t> altered(BatchedPirResponse response, const StoreShape& shape, std::size_t position,
                                  std::size_t element, std::uint64_t shift) {
  PirPayload& payload = response.responses.at(position).payload;
  const auto alter = [&]<class Word>(Word) {
    std::vector<Word> answer =
        decode_vector_payload<Word>(shape.response_magic, payload.bytes, shape.answer_length, "answer").value();
    answer.at(element) = static_cast<Word>((answer[element] + shift) & shape.answer_mask);
    payload.bytes = encode_vector_payload(shape.response_magic, std::span<const Word>(answer));
  };
  shape.word_bytes == 4 ? alter(std::uint32_t{}) : alter(std::uint64_t{});
  return response.to_json_vec().value();
}

// An opened client reads nothing from the disk again, a refused call leaves it
// usable, and a prepared retrieval decodes any number of responses.
TEST(QuorvexClient, RetrievesFromMemoryAfterARefusal) {
  const Published published("toy-development-only-v0", 6, 128, 5);
  const testing::TempDir dir;
  published.cache.write(dir.path());
  const QuorvexClient client = QuorvexClient::open_public_cache(dir.path()).value();
  std::filesystem::remove_all(dir.path() / "index");
  EXPECT_EQ(client.search(published.rows[3], 1).value()[0].record_id, 3u);
  EXPECT_EQ(outcome(client.prepare_retrieval(published.rows[0], RetrievalConfig{1, std::uint64_t{1} << 40})),
            "format error: retrieval_count 1099511627776 is larger than this client can prepare for this cache (at most 6547206)");
  const auto prepared = client.prepare_retrieval_query_json(published.rows[4], RetrievalConfig{2, 3}).value();
  const auto response = published.answer(prepared.query_json).to_json_vec().value();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto chunks = client.decode_retrieval_response_json(prepared.prepared, response).value();
    EXPECT_EQ(chunks.at(0).text, "text 4");
    EXPECT_EQ(chunks.at(1).record_id, prepared.prepared.search_results.at(1).record_id);
  }
}

// Writes the published cache with the case's changes, opens it, and expects the case's outcome.
void expect_open_outcome(const testing::CacheCase& c, Published published) {
  const testing::TempDir dir;
  c.before_write(published.cache);
  published.cache.write(dir.path());
  c.after_write(dir.path());
  const std::string actual = outcome(QuorvexClient::open_public_cache(dir.path()));
  EXPECT_EQ(actual, c.expected(actual, dir.path())) << c.name;
}

const auto kAlterHint = [](const std::filesystem::path& root) { testing::write_bytes(root / "pir/client_hint.bin", "QVSRC001"); };
const std::string kHintMismatch = "checksum mismatch for pir/client_hint.bin: expected ";
const std::string kTooLarge = std::string(2621440, 'x');  // checksummed, but neither an index nor inside the envelope

// Each case breaks one thing; the error shows which step of opening met it first.
TEST(OpenPublicCache, FirstFailingStepIsReported) {
  for (const testing::CacheCase& c : std::vector<testing::CacheCase>{
        {"manifest_before_checksums", [](CacheBuilder& c) { c.manifest["bundle_id"] = " "; },
                           [](const auto& root) { std::filesystem::remove(root / "checksums.json"); },
                           "format error: manifest bundle_id cannot be empty"},
        {"missing_checksums_file", kUnchanged,
                           [](const auto& root) { std::filesystem::remove(root / "checksums.json"); },
                           "I/O error for {root}/checksums.json: No such file or directory (os error 2)"},
        {"scheme_without_checksum", [](CacheBuilder& c) { c.without_checksum.insert("pir/scheme.json"); },
                           kUnchanged, "missing checksum entry for pir/scheme.json"},
        {"manifest_edited", kUnchanged,
                           [](const auto& root) { std::ofstream(root / "manifest.json", std::ios::app) << " "; },
                           "checksum mismatch for manifest.json: expected "},
        {"client_hint_altered", kUnchanged, kAlterHint, kHintMismatch},
        // Each file is parsed as it is verified; its format errors still wait for every checksum.
        {"index_format_after_every_checksum", [](CacheBuilder& c) { c.files["index/vectors.bin"] = "QVVEC00X"; },
                           kAlterHint, kHintMismatch},
        {"index_format", [](CacheBuilder& c) { c.files["index/vectors.bin"] = "QVVEC00X"; }, kUnchanged,
                           "format error: {root}/index/vectors.bin has an unsupported vector file magic"},
        {"envelope_before_index", [](CacheBuilder& c) { c.files["index/vectors.bin"] = kTooLarge; }, kUnchanged,
                           "format error: PIR parameter_profile simplepir-rs-v0-1000-1k supports public cache size at "
                           "most 2621440 bytes, got "},
        // The envelope is measured before the big files are read, yet reported after every checksum.
        {"checksums_before_envelope", [](CacheBuilder& c) { c.files["index/vectors.bin"] = kTooLarge; },
                           kAlterHint, kHintMismatch},
        {"index_against_manifest", [](CacheBuilder& c) { c.manifest["embedding_model"] = "other-model"; },
                           kUnchanged, "format error: index embedding model hashing-384-v1 does not match manifest other-model"},
        {"scheme_not_json", [](CacheBuilder& c) { c.files["pir/scheme.json"] = "{"; }, kUnchanged,
                           "JSON error for {root}/pir/scheme.json: syntax error while parsing object key - unexpected "
                           "end of input; expected string literal at line 1 column 1"},
        {"client_hint_missing", kUnchanged,
                           [](const auto& root) { std::filesystem::remove(root / "pir/client_hint.bin"); },
                           "I/O error for {root}/pir/client_hint.bin: No such file or directory (os error 2)"}}) {
    expect_open_outcome(c, Published("simplepir-rs-v0-1000-1k", 20, 1024, 384));
  }
}

// A balanced hint is parsed while it is read and hashed, straight into the
// values it is kept in: a checksum failure still comes before every format
// error, and its own format errors wait for the scheme's.
TEST(OpenPublicCache, BalancedHintErrorsKeepTheirTurn) {
  const auto hint = [](std::function<void(std::string&)> edit) {
    return [edit](CacheBuilder& c) { edit(c.files["pir/client_hint.bin"]); };
  };
  // Adds to the setup's row count (the u64 at byte 48).
  const auto add_rows = [](std::int64_t change) {
    return [change](std::string& h) {
      std::uint64_t rows = 0;
      std::memcpy(&rows, h.data() + 48, 8);
      rows += static_cast<std::uint64_t>(change);
      std::memcpy(h.data() + 48, &rows, 8);
    };
  };
  // Changes one byte of the written hint, which keeps its size (the envelope allows it).
  const auto overwrite_hint_byte = [](std::streamoff at) {
    return [at](const std::filesystem::path& root) {
      std::fstream file(root / "pir/client_hint.bin", std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(at);
      file.put('X');
    };
  };
  const std::string hint_error = "format error: client_hint.bin ";
  for (const testing::CacheCase& c : std::vector<testing::CacheCase>{
        {"intact", kUnchanged, kUnchanged, "ok"},
        {"magic", hint([](std::string& h) { h[7] = 'X'; }), kUnchanged,
                           hint_error + "has an unsupported SimplePIR magic header"},
        // The size envelope pins the file's size: a setup that promises one row more or less.
        {"row_more", hint(add_rows(1)), kUnchanged, hint_error + "ended while reading balanced hint value"},
        {"row_fewer", hint(add_rows(-1)), kUnchanged, hint_error + "has 5632 trailing bytes"},
        {"after_scheme", [](CacheBuilder& c) { c.files["pir/client_hint.bin"][7] = 'X'; c.files["pir/scheme.json"] = "{"; },
                           kUnchanged, "JSON error for {root}/pir/scheme.json: syntax error while parsing object key - "
                                       "unexpected end of input; expected string literal at line 1 column 1"},
        {"mismatch_before_formats", [](CacheBuilder& c) { c.files["index/vectors.bin"] = "QVVEC00X"; },
                           overwrite_hint_byte(1000), kHintMismatch},
        {"mismatch_before_its_own_format", kUnchanged, overwrite_hint_byte(7), kHintMismatch}}) {
    expect_open_outcome(c, Published("simplepir-balanced-128-v1", 20, 1024, 8));
  }
}

// An answer element of one response, altered by `steps` plaintext steps.
struct Alteration {
  std::size_t element;
  std::uint64_t steps;
  bool changes_a_byte;
};

// The alterations tried: for a balanced store, the first, middle and last digit of every slot of a column (the last
// digit's top bits lie past the record's end, so two steps change no byte); for the others, elements across the record
// by one step and by 256 (a toy lane is one byte, where 256 changes nothing; the last simplepir-rs lane keeps only its
// low byte).
std::vector<Alteration> alterations(std::string_view profile, const StoreShape& shape) {
  std::vector<Alteration> tried;
  if (profile == "simplepir-balanced-128-v1") {
    const std::size_t digits = shape.lane_rows / shape.records_per_column;
    for (std::size_t slot = 0; slot < shape.records_per_column; ++slot) {
      const std::size_t first = slot * digits;
      tried.insert(tried.end(), {{first, 1, true}, {first + digits / 2, 255, true}, {first + digits - 1, 1, true},
                                 {first + digits - 1, 2, false}});
    }
    return tried;
  }
  const bool toy = profile == "toy-development-only-v0";
  for (const std::size_t element : {std::size_t{0}, std::size_t{2}, std::size_t{9}, shape.lane_rows - 1}) {
    tried.push_back({element, 1, true});
    tried.push_back({element, 256, !toy && element != shape.lane_rows - 1});
  }
  return tried;
}

// The checked decode's outcome for each question, with every record fetched
// and answered by `published` (whose response `alter` may change).
template <class Alter>
std::set<std::string> outcomes(const Published& published, const QuorvexClient& client,
                               const std::vector<std::size_t>& questions, Alter alter) {
  std::set<std::string> seen;
  for (const std::size_t row : questions) {
    const auto prepared = client.prepare_retrieval_query_json(published.rows[row], RetrievalConfig{2, 4}).value();
    const auto response = alter(published.answer(prepared.query_json));
    seen.insert(outcome(client.decode_checked_retrieval_response_json(prepared.prepared, response)));
  }
  return seen;
}

// Whatever one answer element of one response a server alters, and by how
// much, or whatever stored record, the checked decode's outcome is the same
// for every choice of fetched records: every record of each queried column is
// checked against its digest, so a change of any decoded byte fails alike
// (hits and padding, any slot of a column, the empty slots after the last
// record included) and nothing changes where no decoded byte does.
TEST(CheckedDecode, AnAlteredAnswerOrStoreFailsAlikeWhicheverRecordsWereFetched) {
  const std::string failure = concat("format error: ", kIntegrityFailure);
  // 80-byte records have 72 digits, 8 bits of the last past the end; 652 of them stack 3 to a column, the last column
  // holding one record.
  for (const auto& [profile, count] : {std::pair<std::string_view, std::size_t>{"toy-development-only-v0", 7},
                                      {"simplepir-rs-experimental-v0", 7}, {"simplepir-balanced-128-v1", 652}}) {
    const bool balanced = profile == "simplepir-balanced-128-v1";
    const std::size_t size = balanced ? 80 : 81;  // 81: the last simplepir-rs lane holds one byte
    const Published published(profile, count, size, 5);
    ASSERT_EQ(published.shape().records_per_column, balanced ? 3u : 1u);
    const testing::TempDir dir;
    published.cache.write(dir.path());
    const QuorvexClient client = QuorvexClient::open_public_cache(dir.path()).value();
    std::vector<std::size_t> questions;  // every row of a small store; a spread of a larger one, its last rows included
    for (std::size_t row = 0; row < count; row += std::max<std::size_t>(1, count / 9)) questions.push_back(row);
    if (balanced) questions.insert(questions.end(), {count - 3, count - 2, count - 1});
    for (const Alteration& alteration : alterations(profile, published.shape())) {
      for (std::size_t position = 0; position < 4; ++position) {
        EXPECT_EQ(outcomes(published, client, questions,
                           [&](BatchedPirResponse response) {
                             return altered(std::move(response), published.shape(), position, alteration.element,
                                            alteration.steps * published.shape().delta);
                           }),
                  std::set<std::string>{alteration.changes_a_byte ? failure : "ok"})
            << profile << " element " << alteration.element << " steps " << alteration.steps << " position "
            << position;
      }
    }
    // A record the server stores altered fails every retrieval, not only those that fetch it: each answer row
    // holding one of its digits decodes to noise in every column.
    const Published altered_state(profile, count, size, 5, count / 2);
    EXPECT_EQ(outcomes(altered_state, client, questions,
                       [](const BatchedPirResponse& response) { return response.to_json_vec().value(); }),
              std::set<std::string>{failure})
        << profile;
  }
}

}  // namespace
}  // namespace quorvex
