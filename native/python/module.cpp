// quorvex._native: single-phase initialisation of the extension module.
#include <atomic>
#include <cstdint>

#include "python/boundary.hpp"
#include "python/native_client.hpp"
#include "python/prepared_retrieval.hpp"
#include "python/python_api.hpp"
#include "python/result_values.hpp"

namespace quorvex::python {

namespace {

// The package version, from project() in CMakeLists.txt.
constexpr const char kVersion[] = QUORVEX_VERSION;

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

// The interpreter that first imported the module, and the module it got.
constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> first_interpreter{kNoInterpreter};
PyObject* created_module = nullptr;

// Appends `name` to __all__ (created when absent), then sets the attribute.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0 && PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = kNoInterpreter;
  if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvex._native supports one interpreter per process and was already imported by another");
    return nullptr;
  }
  if (created_module != nullptr) return Py_NewRef(created_module);

  // The fault type is made now, so that no later fault has to make it.
  if (internal_fault_type() == nullptr) return nullptr;
  PyRef module(PyModule_Create2(&module_definition, 3));
  if (!module) return nullptr;
  PyRef version(PyUnicode_FromString(kVersion));
  if (!add_exported(module.get(), "NativeClient", reinterpret_cast<PyObject*>(native_client_type())) ||
      !add_exported(module.get(), "PreparedRetrieval", reinterpret_cast<PyObject*>(prepared_retrieval_type())) ||
      !add_exported(module.get(), "SearchResult", reinterpret_cast<PyObject*>(search_result_type())) ||
      !add_exported(module.get(), "DecodedChunk", reinterpret_cast<PyObject*>(decoded_chunk_type())) ||
      !add_exported(module.get(), "__version__", version.get())) {
    return nullptr;
  }
  created_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace quorvex::python

PyMODINIT_FUNC PyInit__native() {
  return quorvex::python::guarded([] { return quorvex::python::create_module(); });
}
