// Answering batched query documents: every accepted document's queries are
// answered together, with one pass over the lane data.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "server/lane_store.hpp"

namespace quorvex {

using DocumentBytes = std::span<const std::uint8_t>;

// What a malicious server can do without knowing which record a query
// fetches: shift answer element `lane` of every response by `shift` times
// delta, so that the fetched record's lane decodes `shift` higher. For
// demonstrations and tests of the client's checks; a shift of 0 is none.
struct AnswerAlteration {
  std::uint64_t lane = 0;
  std::uint64_t shift = 0;
};

// For each document, in order, its batched response document or the error
// that refuses it; one refused document does not affect the others. A
// document is refused when it does not parse and validate as a batched
// query, holds more than max_retrieval_count queries, breaks the supported
// profile's retrieval count, or carries a query vector of another backend or
// length ("PIR query {k}" names it).
std::vector<Result<std::vector<std::uint8_t>>> answer_query_documents(const LaneStore& store,
                                                                      std::span<const DocumentBytes> documents,
                                                                      std::uint64_t max_retrieval_count,
                                                                      unsigned threads,
                                                                      AnswerAlteration alteration = {});

}  // namespace quorvex
