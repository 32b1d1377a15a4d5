#include "python/result_values.hpp"

namespace quorvex::python {

std::optional<std::string> optional_json(const std::optional<Metadata>& value) {
  if (!value.has_value() || value->is_null()) return std::nullopt;
  // A value parsed from JSON always serialises; a writer failure would throw
  // and surface as an internal fault at the boundary.
  return value->dump();
}

SearchResultValue from_search_result(const SearchResult& hit) {
  return SearchResultValue{hit.chunk_id, optional_json(hit.metadata), hit.score};
}

DecodedChunkValue from_chunk_record(ChunkRecord record) {
  return DecodedChunkValue{std::move(record.chunk_id), std::move(record.document_id), std::move(record.text),
                           optional_json(std::optional<Metadata>(std::move(record.metadata)))};
}

PyObject* to_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_optional_str(const std::optional<std::string>& text) {
  if (!text.has_value()) Py_RETURN_NONE;
  return to_str(*text);
}

}  // namespace quorvex::python
