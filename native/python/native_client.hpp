// NativeClient: an opened public cache, bound to the thread that opened it.
#pragma once

#include "python/python_api.hpp"

namespace quorvex::python {

PyTypeObject* native_client_type();

}  // namespace quorvex::python
