// Where C++ meets the host: errors become host exceptions, C++ exceptions and
// broken invariants become the internal-fault exception, and thread-bound
// objects are checked against the thread that made them.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "core/error.hpp"
#include "python/python_api.hpp"

namespace quorvex::python {

// Raises RuntimeError(display text) for a QuorvexError; returns nullptr.
PyObject* map_error(const QuorvexError& error);

// The exception type for internal faults; derives directly from BaseException.
PyObject* internal_fault_type();
// Raises an internal fault with `message`; returns nullptr.
PyObject* raise_internal_fault(const std::string& message);

// Runs `body` (which returns a new reference or nullptr with an exception
// set); a C++ exception escaping it becomes an internal fault.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return raise_internal_fault("memory allocation failed");
  } catch (const std::exception& fault) {
    return raise_internal_fault(fault.what());
  } catch (...) {
    return raise_internal_fault("unknown internal fault");
  }
}

// The identifier of the calling host thread.
unsigned long current_thread();
// Fails with an internal fault unless called on `owner`: "{label} is
// unsendable, but sent to another thread".
bool check_thread(unsigned long owner, const char* label);
// Reports "{label} is unsendable, but is being dropped on another thread"
// through the unraisable hook.
void report_foreign_drop(const char* label);

}  // namespace quorvex::python
