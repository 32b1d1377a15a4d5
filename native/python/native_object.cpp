#include "python/native_object.hpp"

#include "core/text.hpp"

namespace quorvex::python {

std::string class_name(PyTypeObject* type) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return text;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, concat("No constructor defined for ", class_name(type)).c_str());
  return nullptr;
}

void free_object(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

}  // namespace quorvex::python
