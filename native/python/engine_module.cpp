// quorvex._engine: the PIR server's arithmetic for the Python service and
// publisher, and the hashing embedder's vectors. One class, PirEngine, holds
// an opened lane store; its methods and the functions release the interpreter
// lock while they compute, so other threads run.
//
// Errors of the store or of a document are ValueError with the error's text
// (answer() returns a refused document's text in its place instead); a
// failed allocation is MemoryError; any other C++ exception is RuntimeError.
#include <array>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/arguments.hpp"
#include "python/python_api.hpp"
#include "core/text.hpp"
#include "embed/bert_activations.hpp"
#include "embed/hashing_vectors.hpp"
#include "index/lexical_index_builder.hpp"
#include "pir/record_digits.hpp"
#include "python/without_gil.hpp"
#include "server/client_hint_rows.hpp"
#include "server/lane_store.hpp"
#include "server/query_answers.hpp"

namespace quorvex::python {

namespace {

struct EngineObject {
  PyObject_HEAD
  LaneStore* store;  // owned
};

PyTypeObject* engine_type();

// Runs `body`; a C++ exception escaping it becomes a Python exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_SetString(PyExc_RuntimeError, fault.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal fault");
  }
  return nullptr;
}

PyObject* raise_error(const QuorvexError& error) {
  PyErr_SetString(PyExc_ValueError, error.display().c_str());
  return nullptr;
}

bool convert_threads(PyObject* value, unsigned& out) {
  std::uint64_t threads = 0;
  if (!convert_u64(value, "threads", threads)) return false;
  out = static_cast<unsigned>(std::clamp<std::uint64_t>(threads, 1, 256));
  return true;
}

PyObject* bytes_of(std::span<const std::uint8_t> bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* little_endian_bytes(const std::vector<std::uint64_t>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(std::uint64_t)));
}

LaneStore& store_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->store; }

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 4> bound{};
    if (!bind_arguments("PirEngine.open()", {"lane_file", "parameter_profile", "record_count", "record_size_bytes"},
                        args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::filesystem::path path;
    std::uint64_t record_count = 0, record_size = 0;
    Py_ssize_t profile_size = 0;
    const char* profile = PyUnicode_Check(bound[1]) ? PyUnicode_AsUTF8AndSize(bound[1], &profile_size) : nullptr;
    if (profile == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "argument 'parameter_profile': expected a str");
      return nullptr;
    }
    if (!convert_path(bound[0], "lane_file", path) || !convert_u64(bound[2], "record_count", record_count) ||
        !convert_u64(bound[3], "record_size_bytes", record_size)) {
      return nullptr;
    }
    const std::string profile_name(profile, static_cast<std::size_t>(profile_size));
    Result<LaneStore> store =
        without_gil([&] { return LaneStore::open(path, profile_name, record_count, record_size); });
    if (!store) return raise_error(store.error());
    auto owned = std::make_unique<LaneStore>(std::move(store).value());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(engine_type(), Py_tp_alloc));
    PyObject* object = alloc(engine_type(), 0);
    if (object == nullptr) return nullptr;
    reinterpret_cast<EngineObject*>(object)->store = owned.release();
    return object;
  });
}

PyObject* answer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 5> bound{};
    if (!bind_arguments("PirEngine.answer()", {"documents", "max_retrieval_count", "threads", "altered_lane", "lane_shift"},
                        args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::uint64_t max_retrieval_count = 0;
    unsigned threads = 1;
    AnswerAlteration alteration;
    if (!convert_u64(bound[1], "max_retrieval_count", max_retrieval_count) || !convert_threads(bound[2], threads) ||
        !convert_u64(bound[3], "altered_lane", alteration.lane) || !convert_u64(bound[4], "lane_shift", alteration.shift)) {
      return nullptr;
    }
    // Strong references keep every document alive while the lock is released.
    const Py_ssize_t count = PySequence_Size(bound[0]);
    if (count < 0) return nullptr;
    std::vector<PyRef> held;
    std::vector<DocumentBytes> documents;
    held.reserve(static_cast<std::size_t>(count));
    documents.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
      held.emplace_back(PySequence_GetItem(bound[0], k));
      if (!held.back()) return nullptr;
      DocumentBytes document;
      if (!convert_bytes(held.back().get(), "documents", document)) return nullptr;
      documents.push_back(document);
    }
    const LaneStore& store = store_of(self);
    auto answers = without_gil(
        [&] { return answer_query_documents(store, documents, max_retrieval_count, threads, alteration); });
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& outcome : answers) {
      PyRef item(outcome ? bytes_of(*outcome) : PyUnicode_FromString(outcome.error().display().c_str()));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* client_hint_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("PirEngine.client_hint_rows()", {"matrix_seed", "threads"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::uint64_t seed = 0;
    unsigned threads = 1;
    if (!convert_u64(bound[0], "matrix_seed", seed) || !convert_threads(bound[1], threads)) return nullptr;
    const LaneStore& store = store_of(self);
    if (store.shape.backend == PirBackendKind::Balanced) {
      PyErr_SetString(PyExc_ValueError, "a balanced store's hint comes from balanced_client_hint");
      return nullptr;
    }
    const ClientHintRows hint = without_gil([&] { return client_hint_rows(store, seed, threads); });
    PyRef rows(little_endian_bytes(hint.rows));
    PyRef repeated(little_endian_bytes(hint.repeated));
    if (!rows || !repeated) return nullptr;
    return PyTuple_Pack(2, rows.get(), repeated.get());
  });
}

PyObject* balanced_client_hint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("PirEngine.balanced_client_hint()", {"matrix_key", "threads"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::span<const std::uint8_t> key_bytes;
    unsigned threads = 1;
    if (!convert_bytes(bound[0], "matrix_key", key_bytes) || !convert_threads(bound[1], threads)) return nullptr;
    const LaneStore& store = store_of(self);
    if (key_bytes.size() != 32 || store.shape.backend != PirBackendKind::Balanced) {
      PyErr_SetString(PyExc_ValueError, "a balanced store's hint takes a 32-byte matrix key");
      return nullptr;
    }
    std::array<std::uint8_t, 32> key{};
    std::copy(key_bytes.begin(), key_bytes.end(), key.begin());
    const std::vector<std::uint32_t> hint = without_gil([&] { return balanced_client_hint(store, key, threads); });
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(hint.data()),
                                     static_cast<Py_ssize_t>(hint.size() * sizeof(std::uint32_t)));
  });
}

PyObject* get_lanes_sha256(PyObject* self, void*) {
  return guarded([&] { return PyUnicode_FromString(store_of(self).lanes.sha256_hex().c_str()); });
}
PyObject* get_lane_rows(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(store_of(self).shape.lane_rows); }
PyObject* get_query_length(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(store_of(self).shape.query_length);
}
PyObject* get_answer_length(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(store_of(self).shape.answer_length);
}

void dealloc(PyObject* self) {
  delete reinterpret_cast<EngineObject*>(self)->store;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

template <auto Function>
PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef methods[] = {
    {"open", method<open>(), kFastcallKeywords | METH_STATIC,
     "open(lane_file, parameter_profile, record_count, record_size_bytes)\n--\n\n"
     "Maps a lane file and checks its size against the store's shape."},
    {"answer", method<answer>(), kFastcallKeywords,
     "answer($self, documents, max_retrieval_count, threads, altered_lane, lane_shift)\n--\n\n"
     "Answers batched query documents with one pass over the lanes: a list holding each document's response "
     "document (bytes) or the text of the error that refuses it (str). A lane_shift other than 0 alters every "
     "answer as a malicious server could: answer element altered_lane decodes lane_shift higher."},
    {"client_hint_rows", method<client_hint_rows>(), kFastcallKeywords,
     "client_hint_rows($self, matrix_seed, threads)\n--\n\n"
     "The client hint's rows (little-endian u64, one row per lane row) and the row repeated after them "
     "(toy and simplepir-rs stores)."},
    {"balanced_client_hint", method<balanced_client_hint>(), kFastcallKeywords,
     "balanced_client_hint($self, matrix_key, threads)\n--\n\n"
     "A balanced store's client hint values: rows x 1408 little-endian u32, row by row."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"lanes_sha256", get_lanes_sha256, nullptr, "SHA-256 of the lane file, as hexadecimal", nullptr},
    {"lane_rows", get_lane_rows, nullptr, "rows of the lane data", nullptr},
    {"query_length", get_query_length, nullptr, "elements of a query vector", nullptr},
    {"answer_length", get_answer_length, nullptr, "elements of an answer vector", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {"quorvex._engine.PirEngine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* engine_type() {
  static PyObject* type = nullptr;  // created once per process, on first use
  if (type == nullptr) type = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* check_store(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 3> bound{};
    if (!bind_arguments("check_store()", {"parameter_profile", "record_count", "record_size_bytes"}, args, nargs,
                        kwnames, bound)) {
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* profile = PyUnicode_Check(bound[0]) ? PyUnicode_AsUTF8AndSize(bound[0], &size) : nullptr;
    std::uint64_t record_count = 0, record_size = 0;
    if (profile == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "argument 'parameter_profile': expected a str");
      return nullptr;
    }
    if (!convert_u64(bound[1], "record_count", record_count) ||
        !convert_u64(bound[2], "record_size_bytes", record_size)) {
      return nullptr;
    }
    const auto shape = StoreShape::for_store(std::string_view(profile, static_cast<std::size_t>(size)), record_count,
                                             record_size);
    if (!shape) return raise_error(shape.error());
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K}", "lane_rows", shape->lane_rows, "columns", shape->columns,
                         "records_per_column", shape->records_per_column, "query_length", shape->query_length,
                         "answer_length", shape->answer_length);
  });
}

PyObject* record_digits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("record_digits()", {"records", "record_size_bytes"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::span<const std::uint8_t> records;
    std::uint64_t size = 0;
    if (!convert_bytes(bound[0], "records", records) || !convert_u64(bound[1], "record_size_bytes", size)) {
      return nullptr;
    }
    const Result<std::uint64_t> digits = record_digit_count(size);
    if (!digits) return raise_error(digits.error());
    if (size == 0 || records.size() % size != 0) {
      PyErr_SetString(PyExc_ValueError, "records must be whole records of record_size_bytes");
      return nullptr;
    }
    const std::size_t count = records.size() / size;
    std::vector<std::uint16_t> out(count * *digits);
    without_gil([&] {
      for (std::size_t i = 0; i < count; ++i) {
        record_to_digits(records.subspan(i * size, size), std::span(out).subspan(i * *digits, *digits));
      }
    });
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                     static_cast<Py_ssize_t>(out.size() * sizeof(std::uint16_t)));
  });
}

PyObject* write_lexical_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("write_lexical_index()", {"texts", "path"}, args, nargs, kwnames, bound)) return nullptr;
    std::filesystem::path path;
    if (!convert_path(bound[1], "path", path)) return nullptr;
    PyRef held;
    std::vector<std::string_view> texts;
    if (!convert_texts(bound[0], "texts", held, texts)) return nullptr;
    const Status written = without_gil([&] {
      LexicalIndexBuilder builder;
      for (const std::string_view text : texts) builder.add_row(text);
      return builder.write(path);
    });
    if (!written) return raise_error(written.error());
    Py_RETURN_NONE;
  });
}

PyObject* hashing_vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> bound{};
    if (!bind_arguments("hashing_vectors()", {"texts"}, args, nargs, kwnames, bound)) return nullptr;
    PyRef held;
    std::vector<std::string_view> texts;
    if (!convert_texts(bound[0], "texts", held, texts)) return nullptr;
    PyRef rows(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(texts.size() * sizeof(HashingRow))));
    if (!rows) return nullptr;
    // Written in place: nothing else holds the new bytearray yet.
    const std::span out(reinterpret_cast<HashingRow*>(PyByteArray_AsString(rows.get())), texts.size());
    without_gil([&] { write_hashing_vectors(texts, out); });
    return rows.release();
  });
}

// The first `count` values of the buffer, once count (a multiple of `multiple`) is known to fit.
bool leading_values(std::span<float> buffer, std::uint64_t count, std::uint64_t multiple, std::span<float>& out) {
  if (count > buffer.size() || multiple == 0 || count % multiple != 0) {
    PyErr_SetString(PyExc_ValueError,
                    concat("count must be a multiple of ", multiple, " of at most the buffer's ", buffer.size(),
                           " values, got ", count).c_str());
    return false;
  }
  out = buffer.first(count);
  return true;
}

PyObject* gelu_in_place(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments("gelu_in_place()", {"buffer", "count"}, args, nargs, kwnames, bound)) return nullptr;
    std::span<float> buffer, values;
    std::uint64_t count = 0;
    if (!convert_float_buffer(bound[0], "buffer", buffer) || !convert_u64(bound[1], "count", count) ||
        !leading_values(buffer, count, 1, values)) {
      return nullptr;
    }
    without_gil([&] { quorvex::gelu_in_place(values); });
    Py_RETURN_NONE;
  });
}

PyObject* softmax_rows_in_place(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 3> bound{};
    if (!bind_arguments("softmax_rows_in_place()", {"buffer", "count", "row_length"}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::span<float> buffer, values;
    std::uint64_t count = 0, row_length = 0;
    if (!convert_float_buffer(bound[0], "buffer", buffer) || !convert_u64(bound[1], "count", count) ||
        !convert_u64(bound[2], "row_length", row_length) || !leading_values(buffer, count, row_length, values)) {
      return nullptr;
    }
    without_gil([&] { quorvex::softmax_rows_in_place(values, row_length); });
    Py_RETURN_NONE;
  });
}

PyMethodDef module_functions[] = {
    {"check_store", method<check_store>(), kFastcallKeywords,
     "check_store(parameter_profile, record_count, record_size_bytes)\n--\n\n"
     "The shape of such a store (lane_rows, columns, records_per_column, query_length, answer_length), or "
     "ValueError naming why it cannot be served."},
    {"record_digits", method<record_digits>(), kFastcallKeywords,
     "record_digits(records, record_size_bytes)\n--\n\n"
     "The 9-bit digits of consecutive records of the balanced scheme, little-endian u16, record by record."},
    {"write_lexical_index", method<write_lexical_index>(), kFastcallKeywords,
     "write_lexical_index(texts, path)\n--\n\n"
     "Writes the lexical index of the rows whose texts are given, in row order, to path (the file "
     "index/lexical.bin), with the analyzer the client scores questions with."},
    {"hashing_vectors", method<hashing_vectors>(), kFastcallKeywords,
     "hashing_vectors(texts)\n--\n\n"
     "The hashing embedder's vectors before normalisation: 384 native-endian float64 per text, text by text. "
     "Each text comes case-folded, and with its non-word characters replaced by spaces if it has any non-ASCII "
     "character (every non-ASCII character counts as part of a word)."},
    {"gelu_in_place", method<gelu_in_place>(), kFastcallKeywords,
     "gelu_in_place(buffer, count)\n--\n\n"
     "GELU (the erf form) of the first count native-endian float32 values of a bytearray, in place."},
    {"softmax_rows_in_place", method<softmax_rows_in_place>(), kFastcallKeywords,
     "softmax_rows_in_place(buffer, count, row_length)\n--\n\n"
     "The softmax of each row of row_length values among the first count native-endian float32 values of a "
     "bytearray, in place."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_engine", nullptr, 0, module_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quorvex::python

PyMODINIT_FUNC PyInit__engine() {
  return quorvex::python::guarded([]() -> PyObject* {
    using namespace quorvex::python;
    PyRef module(PyModule_Create2(&module_definition, 3));
    PyObject* type = reinterpret_cast<PyObject*>(engine_type());
    if (!module || type == nullptr || PyModule_AddObjectRef(module.get(), "PirEngine", type) < 0) return nullptr;
    return module.release();
  });
}
