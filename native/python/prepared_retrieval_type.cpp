// PreparedRetrieval: bound to the thread that prepared it.
#include <string.h>

#include "python/native_object.hpp"
#include "python/prepared_retrieval.hpp"

namespace quorvex::python {

namespace {

using Object = NativeObject<PreparedRetrievalValue>;

// A retrieval released on a foreign thread stays allocated, but its secrets
// and everything that says which records it fetched are wiped.
void wipe_secrets(PreparedRetrievalValue& value) noexcept {
  for (PirQueryContext& context : value.prepared.contexts) {
    ::explicit_bzero(context.secret.data(), context.secret.size() * sizeof(std::uint64_t));
    context.record_id = 0;
  }
  for (SearchResult& hit : value.prepared.search_results) hit.record_id = 0;
  ::explicit_bzero(value.prepared.hit_positions.data(), value.prepared.hit_positions.size() * sizeof(std::uint64_t));
}

void dealloc(PyObject* self) noexcept { dealloc_bound<PreparedRetrievalValue, wipe_secrets>(self, kPreparedRetrievalLabel); }

PreparedRetrievalValue* value_of(PyObject* self) {
  return bound_value<PreparedRetrievalValue>(self, kPreparedRetrievalLabel);
}

PyObject* get_query_json(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const PreparedRetrievalValue* value = value_of(self);
    if (value == nullptr) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value->query_json.data()),
                                     static_cast<Py_ssize_t>(value->query_json.size()));
  });
}

PyObject* get_retrieval_count(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const PreparedRetrievalValue* value = value_of(self);
    if (value == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(value->prepared.query.queries.size());
  });
}

PyObject* get_visible_result_count(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const PreparedRetrievalValue* value = value_of(self);
    if (value == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(value->prepared.visible_result_count);
  });
}

PyObject* search_results(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const PreparedRetrievalValue* value = value_of(self);
    if (value == nullptr) return nullptr;
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const SearchResultValue& hit : value->search_results) {
      PyRef item(new_search_result(hit));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyMethodDef methods[] = {
    {"search_results", search_results, METH_NOARGS, "search_results($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"query_json", get_query_json, nullptr, "", nullptr},
    {"retrieval_count", get_retrieval_count, nullptr, "", nullptr},
    {"visible_result_count", get_visible_result_count, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PreparedRetrieval", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* prepared_retrieval_type() {
  static PyObject* type = nullptr;  // created once per process, on first use
  if (type == nullptr) type = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_prepared_retrieval(PreparedRetrievalValue value) {
  return new_native_object(prepared_retrieval_type(), std::move(value));
}

}  // namespace quorvex::python
