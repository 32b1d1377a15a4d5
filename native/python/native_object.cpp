#include "python/native_object.hpp"

namespace quorvex::python {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  // Formatted by the host: nothing here allocates C++ memory that could throw.
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %S", name.get());
  return nullptr;
}

void free_object(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

}  // namespace quorvex::python
