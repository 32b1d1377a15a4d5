// Native work run with the host's global interpreter lock released, so that
// the host's other threads run meanwhile.
#pragma once

#include "python/python_api.hpp"

namespace quorvex::python {

// Runs `work()` without the lock and returns its result once the lock is held
// again (also when the work throws). The work must touch no host object and
// call no host function: only C++ values converted before and read-only
// native values that the call's own references keep alive.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return work();
}

}  // namespace quorvex::python
