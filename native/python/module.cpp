// quorvex._native: the extension module, built against the stable ABI.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#include <Python.h>

namespace {

constexpr const char kVersion[] = "0.1.0";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    nullptr,    // m_doc
    0,          // m_size
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// Appends `name` to the module's __all__ list (created when absent), then sets
// the attribute; steals nothing.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const bool appended = text != nullptr && PyList_Append(all, text) == 0;
  Py_XDECREF(text);
  Py_DECREF(all);
  return appended && PyModule_AddObjectRef(module, name, value) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  PyObject* version = PyUnicode_FromString(kVersion);
  const bool added = version != nullptr && add_exported(module, "__version__", version);
  Py_XDECREF(version);
  if (!added) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
