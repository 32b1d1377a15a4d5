#include "python/boundary.hpp"

#include <string>

namespace quorvex::python {

PyObject* map_error(const QuorvexError& error) {
  const std::string text = error.display();
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return nullptr;
}

PyObject* internal_fault_type() noexcept {
  // Made once per process and never released; a failed attempt leaves its
  // error set and is tried again on the next fault.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewException("quorvex._native.InternalFault", PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_internal_fault(const char* message) noexcept {
  if (PyObject* type = internal_fault_type()) PyErr_SetString(type, message);
  return nullptr;
}

unsigned long current_thread() noexcept { return PyThread_get_thread_ident(); }

bool check_thread(unsigned long owner, const char* label) noexcept {
  if (current_thread() == owner) return true;
  if (PyObject* type = internal_fault_type()) PyErr_Format(type, "%s is unsendable, but sent to another thread", label);
  return false;
}

void report_foreign_drop(const char* label) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);  // keep any exception already in flight
  PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread", label);
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

}  // namespace quorvex::python
