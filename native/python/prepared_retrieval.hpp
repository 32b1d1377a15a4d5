// The value behind PreparedRetrieval: a prepared private retrieval with its
// query document and its hits. Its secret contexts never leave it.
#pragma once

#include <cstdint>
#include <vector>

#include "client/quorvex_client.hpp"
#include "python/python_api.hpp"
#include "python/result_values.hpp"

namespace quorvex::python {

struct PreparedRetrievalValue {
  PreparedBatchedPirRetrieval prepared;
  std::vector<std::uint8_t> query_json;
  std::vector<SearchResultValue> search_results;
};

inline constexpr const char kPreparedRetrievalLabel[] = "_native::PyPreparedRetrieval";

PyTypeObject* prepared_retrieval_type();
PyObject* new_prepared_retrieval(PreparedRetrievalValue value);

}  // namespace quorvex::python
