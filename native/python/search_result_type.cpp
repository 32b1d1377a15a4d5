// SearchResult: one hit of a search; a plain value usable on any thread.
#include "python/native_object.hpp"
#include "python/result_values.hpp"

namespace quorvex::python {

namespace {

using Object = NativeObject<SearchResultValue>;

SearchResultValue& value_of(PyObject* self) { return unbound_value<SearchResultValue>(self); }

PyObject* get_chunk_id(PyObject* self, void*) {
  return guarded([&] { return to_str(value_of(self).chunk_id); });
}
PyObject* get_score(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(static_cast<double>(value_of(self).score)); });
}
PyObject* get_metadata_json(PyObject* self, void*) {
  return guarded([&] { return to_optional_str(value_of(self).metadata_json); });
}

PyGetSetDef getters[] = {
    {"chunk_id", get_chunk_id, nullptr, "", nullptr},
    {"score", get_score, nullptr, "", nullptr},
    {"metadata_json", get_metadata_json, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_unbound<SearchResultValue>)},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.SearchResult", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* search_result_type() {
  static PyObject* type = nullptr;  // created once per process, on first use
  if (type == nullptr) type = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_search_result(SearchResultValue value) { return new_native_object(search_result_type(), std::move(value)); }

}  // namespace quorvex::python
