// The values behind the result classes SearchResult and DecodedChunk, and the
// conversions that make them from the client's results.
#pragma once

#include <optional>
#include <string>

#include "core/chunk.hpp"
#include "index/search_result.hpp"
#include "python/python_api.hpp"

namespace quorvex::python {

struct SearchResultValue {
  std::string chunk_id;
  std::optional<std::string> metadata_json;
  float score = 0;
};

struct DecodedChunkValue {
  std::string chunk_id;
  std::string document_id;
  std::string text;
  std::optional<std::string> metadata_json;
};

// Compact JSON text of a value, absent for null. Keys come out in ascending
// byte order (parsed objects are held ordered by key).
std::optional<std::string> optional_json(const std::optional<Metadata>& value);

SearchResultValue from_search_result(const SearchResult& hit);
DecodedChunkValue from_chunk_record(ChunkRecord record);

// New host objects of the result classes (nullptr with an exception set).
PyObject* new_search_result(SearchResultValue value);
PyObject* new_decoded_chunk(DecodedChunkValue value);

// Host conversions of stored fields.
PyObject* to_str(const std::string& text);
PyObject* to_optional_str(const std::optional<std::string>& text);

PyTypeObject* search_result_type();
PyTypeObject* decoded_chunk_type();

}  // namespace quorvex::python
