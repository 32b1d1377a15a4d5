#include "python/boundary.hpp"

#include <cstdio>
#include <cstdlib>

#include "core/text.hpp"

namespace quorvex::python {

PyObject* map_error(const QuorvexError& error) {
  const std::string text = error.display();
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return nullptr;
}

PyObject* internal_fault_type() {
  // Created once per process, on first use, and never released.
  static PyObject* type = PyErr_NewException("quorvex._native.InternalFault", PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_internal_fault(const std::string& message) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) {
    // The fault could not even be reported: nothing sound is left to do.
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(type, message.c_str());
  return nullptr;
}

unsigned long current_thread() { return PyThread_get_thread_ident(); }

bool check_thread(unsigned long owner, const char* label) {
  if (current_thread() == owner) return true;
  raise_internal_fault(concat(label, " is unsendable, but sent to another thread"));
  return false;
}

void report_foreign_drop(const char* label) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);  // keep any exception already in flight
  PyErr_SetString(PyExc_RuntimeError,
                  concat(label, " is unsendable, but is being dropped on another thread").c_str());
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

}  // namespace quorvex::python
