// The balanced backend against the server engine: its layout and its noise
// bound, records as digits, its error sampler, and queries that hide their
// column.
#include <gtest/gtest.h>

#include <cmath>

#include "pir/balanced_backend.hpp"
#include "pir/keyed_stream.hpp"
#include "pir/record_digits.hpp"
#include "pir/vector_payload.hpp"
#include "support/served_store.hpp"

namespace quorvex {
namespace {

using testing::outcome;

// (records, record size, records per column the layout must choose): one
// record; fewer records than the secret's 1408 values; 1024-byte records
// (911 digits) one to a column; tiny records many to a column; sizes whose
// bits are no multiple of 9 (the last column holding one record of three).
TEST(Balanced, RecoversEveryRecordInEveryLayout) {
  for (const auto& [count, size, per_column] : std::vector<std::tuple<std::size_t, std::size_t, std::uint64_t>>{
           {1, 4, 1}, {5, 13, 1}, {40, 1024, 1}, {3000, 4, 25}, {301, 37, 3}}) {
    testing::Records records = testing::random_records(count, size, static_cast<std::uint32_t>(count + size));
    std::fill(records[0].begin(), records[0].end(), 0xFF);  // digits of 511
    if (count > 1) std::fill(records[1].begin(), records[1].end(), 0x00);
    const testing::BalancedStore server(std::move(records), 0xC0FFEE);
    EXPECT_EQ(server.artifact.setup.layout.records_per_column, per_column) << count << "x" << size;
    const PirParams params = testing::params_for("simplepir-balanced-128-v1", count, size);
    for (std::uint64_t id = 0; id < count; id += 1 + count / 40) {
      const GeneratedQuery generated = BalancedBackend::generate_query(params, server.artifact, id).value();
      const PirResponse response = server.answer(generated.query);
      const auto record = BalancedBackend::decode_response_record(params, server.artifact, generated.context, response);
      EXPECT_TRUE(std::ranges::equal(record.value(), server.records[id])) << count << "x" << size << " record " << id;
      // The whole column: every record stacked in it, zero bytes in the slots past the last record.
      const DecodedColumns columns =
          BalancedBackend::decode_response_columns(params, server.artifact, std::span(&generated.context, 1),
                                                   std::span(&response, 1)).value();
      for (std::uint64_t slot = 0; slot < per_column; ++slot) {
        const std::uint64_t covered = columns.first_covered_record(id) + slot;
        const auto expected = covered < count ? server.records[covered] : std::vector<std::uint8_t>(size, 0);
        EXPECT_TRUE(std::ranges::equal(columns.record(0, slot), expected)) << count << "x" << size << " record " << covered;
      }
    }
  }
  // The cost model's choice at scale: upload (columns) plus download (rows) per query at its smallest.
  EXPECT_EQ(BalancedLayout::for_store(100'000, 1024).value().records_per_column, 10u);
  const BalancedLayout million = BalancedLayout::for_store(1'000'000, 1024).value();
  EXPECT_EQ(std::tuple(million.records_per_column, million.columns, million.rows), std::tuple(33u, 30304u, 30063u));
}

// The largest column count whose decoding bound holds, computed here from the
// bound's closed form: (delta/2)^2 / (2 * 41 * 2^16 * columns * ln 2) >=
// log2(2 * 4 retrievals * digits) + 40.
TEST(Balanced, TheNoiseBoundRefusesOneColumnAboveItsLimit) {
  const double digits = 911, margin = std::log2(2 * 4 * digits) + 40;
  const auto limit = static_cast<std::uint64_t>(std::ldexp(1.0, 44) / (2 * 41 * 65536 * std::log(2.0) * margin));
  EXPECT_EQ(outcome(BalancedLayout::with_records_per_column(limit, 1024, 1)), "ok");
  EXPECT_EQ(outcome(BalancedLayout::with_records_per_column(limit + 1, 1024, 1)),
            concat("format error: a balanced store whose queries have ", limit + 1,
                   " columns and whose records have 911 digits may fail to decode a retrieval with probability "
                   "2^-39, above the 2^-40 allowed: the noise of one digit grows with the columns; stack more "
                   "records in each column"));
  // Ten million such records would cost least at 105 to a column, but 95,239 columns break the bound.
  EXPECT_EQ(BalancedLayout::for_store(10'000'000, 1024).value().records_per_column, 10'000'000 / limit + 1);
  EXPECT_EQ(outcome(BalancedLayout::with_records_per_column(3, 4, 4)),
            "format error: a balanced store of 3 records cannot stack 4 records in a column");
}

TEST(Balanced, DigitsRoundTripEveryBit) {
  for (std::size_t size = 1; size <= 40; ++size) {
    const std::vector<std::uint8_t> record = testing::random_records(1, size, static_cast<std::uint32_t>(size))[0];
    std::vector<std::uint16_t> digits(record_digit_count(size).value());
    record_to_digits(record, digits);
    EXPECT_TRUE(std::ranges::all_of(digits, [](std::uint16_t d) { return d < 512; }));
    std::vector<std::uint8_t> back(size);
    digits_to_record(digits, back);
    EXPECT_EQ(back, record) << size;
  }
  std::vector<std::uint16_t> digits(2);  // bits 0-8 and 9-15 of 0x0201 (little-endian)
  record_to_digits(std::vector<std::uint8_t>{0x01, 0x02}, digits);
  EXPECT_EQ(digits, (std::vector<std::uint16_t>{0x001, 0x001}));
}

TEST(Balanced, ErrorsHaveMeanZeroVarianceFortyOneAndBoundedRange) {
  constexpr double kCount = 200'000;
  KeyedStream stream = KeyedStream::keyed_by().value();
  const auto errors = centred_binomial_vector(stream, 200'000);
  double sum = 0, squares = 0;
  for (const std::int64_t e : errors) {
    sum += static_cast<double>(e);
    squares += static_cast<double>(e * e);
  }
  const double mean = sum / kCount, variance = squares / kCount - mean * mean;
  EXPECT_NEAR(mean, 0, 0.08);     // five standard errors of the mean
  EXPECT_NEAR(variance, 41, 0.7);  // five standard errors of the variance
  EXPECT_TRUE(std::ranges::all_of(errors, [](std::int64_t e) { return e >= -82 && e <= 82; }));
  const std::uint64_t ones = ~std::uint64_t{0};
  EXPECT_EQ(centred_binomial_82(ones, 0, (1u << 18) - 1), 82);
  EXPECT_EQ(centred_binomial_82(0, ones, ones << 18), -82);
}

// Chi-square over 16 bins of the top and of the bottom four bits of 32-bit
// words; 15 degrees of freedom, so above 60 for uniform words once in about
// five million runs.
double worst_chi_square(std::span<const std::uint64_t> values) {
  double worst = 0;
  for (const int shift : {28, 0}) {
    std::array<double, 16> bins{};
    for (const std::uint64_t value : values) ++bins[(value >> shift) & 15];
    const double expected = static_cast<double>(values.size()) / 16;
    double chi = 0;
    for (const double count : bins) chi += (count - expected) * (count - expected) / expected;
    worst = std::max(worst, chi);
  }
  return worst;
}

// The secret is uniform modulo 2^32 and so is the query it makes: a secret of
// small values, or none, shows.
TEST(Balanced, SecretsAndQueriesLookUniform) {
  const testing::BalancedStore server(testing::random_records(4000, 4, 9), 7);
  const PirParams params = testing::params_for("simplepir-balanced-128-v1", 4000, 4);
  KeyedStream stream = KeyedStream::keyed_by().value();
  const auto query_of = [&](const SecretVector<std::uint64_t>& secret) {
    const auto generated = BalancedBackend::generate_query_from_material(
        params, server.artifact, 7, 1, secret, centred_binomial_vector(stream, server.artifact.setup.layout.columns));
    const auto words = decode_vector_payload<std::uint32_t>(kBalancedQueryMagic, generated.value().query.payload.bytes,
                                                            server.artifact.setup.layout.columns, "query").value();
    return std::vector<std::uint64_t>(words.begin(), words.end());
  };
  const SecretVector<std::uint64_t> secret = BalancedBackend::draw_material(server.artifact, 7).value().secret;
  SecretVector<std::uint64_t> small = secret;
  for (std::uint64_t& value : small) value >>= 16;
  EXPECT_LT(worst_chi_square(secret), 60);
  EXPECT_GT(worst_chi_square(small), 60);
  EXPECT_LT(worst_chi_square(query_of(secret)), 60);
  EXPECT_GT(worst_chi_square(query_of(SecretVector<std::uint64_t>(1408, 0))), 60);
  EXPECT_EQ(outcome(BalancedBackend::generate_query_from_material(params, server.artifact, 7, 1,
                                                                  SecretVector<std::uint64_t>(1408, 1ull << 32),
                                                                  SecretVector<std::int64_t>(server.artifact.setup.layout.columns))),
            "format error: balanced query secret values must be below 2^32");
}

}  // namespace
}  // namespace quorvex
