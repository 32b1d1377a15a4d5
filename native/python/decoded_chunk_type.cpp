// DecodedChunk: one privately fetched chunk; a plain value usable on any thread.
#include "python/native_object.hpp"
#include "python/result_values.hpp"

namespace quorvex::python {

namespace {

using Object = NativeObject<DecodedChunkValue>;

DecodedChunkValue& value_of(PyObject* self) { return unbound_value<DecodedChunkValue>(self); }

PyObject* get_chunk_id(PyObject* self, void*) {
  return guarded([&] { return to_str(value_of(self).chunk_id); });
}
PyObject* get_document_id(PyObject* self, void*) {
  return guarded([&] { return to_str(value_of(self).document_id); });
}
PyObject* get_text(PyObject* self, void*) {
  return guarded([&] { return to_str(value_of(self).text); });
}
PyObject* get_metadata_json(PyObject* self, void*) {
  return guarded([&] { return to_optional_str(value_of(self).metadata_json); });
}

PyGetSetDef getters[] = {
    {"chunk_id", get_chunk_id, nullptr, "", nullptr},
    {"document_id", get_document_id, nullptr, "", nullptr},
    {"text", get_text, nullptr, "", nullptr},
    {"metadata_json", get_metadata_json, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_unbound<DecodedChunkValue>)},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.DecodedChunk", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* decoded_chunk_type() {
  static PyObject* type = nullptr;  // created once per process, on first use
  if (type == nullptr) type = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_decoded_chunk(DecodedChunkValue value) { return new_native_object(decoded_chunk_type(), std::move(value)); }

}  // namespace quorvex::python
