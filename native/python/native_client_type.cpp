// NativeClient: the four methods every cache serves, the checked decode of
// whole records, the hybrid search of a cache with a lexical index, and the
// facts the client verified when it opened the cache.
// Each method converts its arguments, runs the client's work with the
// interpreter lock released, then builds its result.
#include <array>
#include <span>
#include <string>
#include <vector>

#include "client/quorvex_client.hpp"
#include "python/arguments.hpp"
#include "python/native_client.hpp"
#include "python/native_object.hpp"
#include "python/prepared_retrieval.hpp"
#include "python/result_values.hpp"
#include "python/without_gil.hpp"

namespace quorvex::python {

namespace {

using Object = NativeObject<QuorvexClient>;
constexpr const char kLabel[] = "_native::PyNativeClient";

void leave_allocated(QuorvexClient&) noexcept {}

void dealloc(PyObject* self) noexcept { dealloc_bound<QuorvexClient, leave_allocated>(self, kLabel); }

// A new list holding the converted items, or nullptr with the exception set.
template <class Items, class Convert>
PyObject* new_list(Items&& items, Convert&& convert) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (auto&& item : items) {
    PyRef object(convert(std::move(item)));
    if (!object || PyList_Append(list.get(), object.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* open_public_cache(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> bound{};
    if (!bind_arguments("NativeClient.open_public_cache()", {"cache_dir"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::filesystem::path cache_dir;
    if (!convert_path(bound[0], "cache_dir", cache_dir)) return nullptr;
    Result<QuorvexClient> client = without_gil([&] { return QuorvexClient::open_public_cache(cache_dir); });
    if (!client) return map_error(client.error());
    return new_native_object(native_client_type(), std::move(client).value());
  });
}

PyObject* search_results_list(Result<std::vector<SearchResult>> hits) {
  if (!hits) return map_error(hits.error());
  return new_list(*hits, [](const SearchResult& hit) { return new_search_result(from_search_result(hit)); });
}

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const QuorvexClient* client = bound_value<QuorvexClient>(self, kLabel);
    if (client == nullptr) return nullptr;
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("NativeClient.search()", {"query_embedding", "top_k"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::vector<float> embedding;
    std::uint64_t top_k = 0;
    if (!convert_embedding(bound[0], "query_embedding", embedding) || !convert_u64(bound[1], "top_k", top_k)) {
      return nullptr;
    }
    return search_results_list(without_gil([&] { return client->search(embedding, top_k); }));
  });
}

PyObject* hybrid_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const QuorvexClient* client = bound_value<QuorvexClient>(self, kLabel);
    if (client == nullptr) return nullptr;
    std::array<PyObject*, 3> bound{};
    if (!bind_arguments("NativeClient.hybrid_search()", {"query_embedding", "question", "top_k"}, args, nargs,
                        kwnames, bound)) {
      return nullptr;
    }
    std::vector<float> embedding;
    std::string question;
    std::uint64_t top_k = 0;
    if (!convert_embedding(bound[0], "query_embedding", embedding) || !convert_text(bound[1], "question", question) ||
        !convert_u64(bound[2], "top_k", top_k)) {
      return nullptr;
    }
    return search_results_list(without_gil([&] { return client->search_hybrid(embedding, question, top_k); }));
  });
}

PyObject* lexical_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const QuorvexClient* client = bound_value<QuorvexClient>(self, kLabel);
    if (client == nullptr) return nullptr;
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("NativeClient.lexical_search()", {"question", "top_k"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string question;
    std::uint64_t top_k = 0;
    if (!convert_text(bound[0], "question", question) || !convert_u64(bound[1], "top_k", top_k)) return nullptr;
    return search_results_list(without_gil([&] { return client->search_lexical(question, top_k); }));
  });
}

// A new PreparedRetrieval holding what a preparation gave.
PyObject* prepared_retrieval_object(Result<PreparedRetrievalJson> prepared) {
  if (!prepared) return map_error(prepared.error());
  PreparedRetrievalValue value;
  value.search_results.reserve(prepared->prepared.search_results.size());
  for (const SearchResult& hit : prepared->prepared.search_results) {
    value.search_results.push_back(from_search_result(hit));
  }
  value.prepared = std::move(prepared->prepared);
  value.query_json = std::move(prepared->query_json);
  return new_prepared_retrieval(std::move(value));
}

PyObject* prepare_retrieval_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const QuorvexClient* client = bound_value<QuorvexClient>(self, kLabel);
    if (client == nullptr) return nullptr;
    std::array<PyObject*, 3> bound{};
    if (!bind_arguments("NativeClient.prepare_retrieval_query()", {"query_embedding", "top_k", "retrieval_count"},
                        args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::vector<float> embedding;
    std::uint64_t top_k = 0, retrieval_count = 0;
    if (!convert_embedding(bound[0], "query_embedding", embedding) || !convert_u64(bound[1], "top_k", top_k) ||
        !convert_u64(bound[2], "retrieval_count", retrieval_count)) {
      return nullptr;
    }
    const Result<RetrievalConfig> config = RetrievalConfig::create(top_k, retrieval_count);
    if (!config) return map_error(config.error());
    return prepared_retrieval_object(
        without_gil([&] { return client->prepare_retrieval_query_json(embedding, *config); }));
  });
}

PyObject* prepare_hybrid_retrieval_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const QuorvexClient* client = bound_value<QuorvexClient>(self, kLabel);
    if (client == nullptr) return nullptr;
    std::array<PyObject*, 4> bound{};
    if (!bind_arguments("NativeClient.prepare_hybrid_retrieval_query()",
                        {"query_embedding", "question", "top_k", "retrieval_count"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::vector<float> embedding;
    std::string question;
    std::uint64_t top_k = 0, retrieval_count = 0;
    if (!convert_embedding(bound[0], "query_embedding", embedding) || !convert_text(bound[1], "question", question) ||
        !convert_u64(bound[2], "top_k", top_k) || !convert_u64(bound[3], "retrieval_count", retrieval_count)) {
      return nullptr;
    }
    const Result<RetrievalConfig> config = RetrievalConfig::create(top_k, retrieval_count);
    if (!config) return map_error(config.error());
    return prepared_retrieval_object(without_gil(
        [&] { return client->prepare_hybrid_retrieval_query_json(embedding, question, *config); }));
  });
}

// Binds (prepared, response_json) for `method` and decodes with `decode`, a
// QuorvexClient member returning the hits' chunk records.
template <class Decode>
PyObject* decode_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          const char* method, Decode decode) {
  return guarded([&]() -> PyObject* {
    const QuorvexClient* client = bound_value<QuorvexClient>(self, kLabel);
    if (client == nullptr) return nullptr;
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments(method, {"prepared", "response_json"}, args, nargs, kwnames, bound)) return nullptr;
    if (!check_instance(bound[0], prepared_retrieval_type(), "prepared", "PreparedRetrieval")) return nullptr;
    const PreparedRetrievalValue* prepared = bound_value<PreparedRetrievalValue>(bound[0], kPreparedRetrievalLabel);
    if (prepared == nullptr) return nullptr;
    std::span<const std::uint8_t> response;
    if (!convert_bytes(bound[1], "response_json", response)) return nullptr;
    // The response is read in place: a bytes object never changes, and the
    // call's argument keeps it alive until this method returns.
    Result<std::vector<ChunkRecord>> chunks = without_gil([&] { return (client->*decode)(prepared->prepared, response); });
    if (!chunks) return map_error(chunks.error());
    return new_list(std::move(*chunks),
                    [](ChunkRecord chunk) { return new_decoded_chunk(from_chunk_record(std::move(chunk))); });
  });
}

PyObject* decode_retrieval_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return decode_response(self, args, nargs, kwnames, "NativeClient.decode_retrieval_response()",
                         &QuorvexClient::decode_retrieval_response_json);
}

PyObject* decode_checked_retrieval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return decode_response(self, args, nargs, kwnames, "NativeClient.decode_checked_retrieval()",
                         &QuorvexClient::decode_checked_retrieval_response_json);
}

// The getters of what the client verified when it opened the cache.
template <class Convert>
PyObject* client_fact(PyObject* self, Convert convert) {
  return guarded([&]() -> PyObject* {
    const QuorvexClient* client = bound_value<QuorvexClient>(self, kLabel);
    return client == nullptr ? nullptr : convert(*client);
  });
}

PyObject* get_publication(PyObject* self, void*) {
  return client_fact(self, [](const QuorvexClient& client) { return to_str(client.publication()); });
}

PyObject* get_manifest_json(PyObject* self, void*) {
  return client_fact(self, [](const QuorvexClient& client) {
    return PyBytes_FromStringAndSize(client.manifest_json().data(),
                                     static_cast<Py_ssize_t>(client.manifest_json().size()));
  });
}

PyObject* get_checks_whole_records(PyObject* self, void*) {
  return client_fact(self, [](const QuorvexClient& client) { return PyBool_FromLong(client.checks_whole_records()); });
}

PyObject* get_has_lexical_index(PyObject* self, void*) {
  return client_fact(self, [](const QuorvexClient& client) { return PyBool_FromLong(client.has_lexical_index()); });
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"open_public_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_public_cache)),
     kFastcallKeywords | METH_STATIC, "open_public_cache(cache_dir)\n--\n\n"},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search)), kFastcallKeywords,
     "search($self, query_embedding, top_k)\n--\n\n"},
    {"prepare_retrieval_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepare_retrieval_query)),
     kFastcallKeywords, "prepare_retrieval_query($self, query_embedding, top_k, retrieval_count)\n--\n\n"},
    {"hybrid_search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hybrid_search)), kFastcallKeywords,
     "hybrid_search($self, query_embedding, question, top_k)\n--\n\n"},
    {"lexical_search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lexical_search)), kFastcallKeywords,
     "lexical_search($self, question, top_k)\n--\n\n"},
    {"prepare_hybrid_retrieval_query",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepare_hybrid_retrieval_query)), kFastcallKeywords,
     "prepare_hybrid_retrieval_query($self, query_embedding, question, top_k, retrieval_count)\n--\n\n"},
    {"decode_retrieval_response",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_retrieval_response)), kFastcallKeywords,
     "decode_retrieval_response($self, prepared, response_json)\n--\n\n"},
    {"decode_checked_retrieval",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_checked_retrieval)), kFastcallKeywords,
     "decode_checked_retrieval($self, prepared, response_json)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"publication", get_publication, nullptr, "", nullptr},
    {"manifest_json", get_manifest_json, nullptr, "", nullptr},
    {"checks_whole_records", get_checks_whole_records, nullptr, "", nullptr},
    {"has_lexical_index", get_has_lexical_index, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.NativeClient", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* native_client_type() {
  static PyObject* type = nullptr;  // created once per process, on first use
  if (type == nullptr) type = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace quorvex::python
