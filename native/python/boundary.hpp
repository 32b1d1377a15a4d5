// Where C++ meets the host: errors become host exceptions, C++ exceptions and
// broken invariants become the internal-fault exception, and thread-bound
// objects are checked against the thread that made them. Nothing here
// allocates C++ memory on the way out, so nothing here can throw.
#pragma once

#include <exception>
#include <new>

#include "core/error.hpp"
#include "python/python_api.hpp"

namespace quorvex::python {

// Raises RuntimeError(display text) for a QuorvexError; returns nullptr.
PyObject* map_error(const QuorvexError& error);

// The exception type for internal faults; derives directly from BaseException.
// Made on first use; when it cannot be made, nullptr with the host's error set
// (the next call tries again).
PyObject* internal_fault_type() noexcept;
// Raises an internal fault with `message`, or the error that kept its type
// from being made; returns nullptr.
PyObject* raise_internal_fault(const char* message) noexcept;

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
unsigned long current_thread() noexcept;
// Fails with an internal fault unless called on `owner`: "{label} is
// unsendable, but sent to another thread".
bool check_thread(unsigned long owner, const char* label) noexcept;
// Reports "{label} is unsendable, but is being dropped on another thread"
// through the unraisable hook.
void report_foreign_drop(const char* label) noexcept;

}  // namespace quorvex::python
