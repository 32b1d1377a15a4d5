// Binding a method's arguments to its parameter names, and converting each
// argument from a host object, with the host's customary errors.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "python/python_api.hpp"

namespace quorvex::python {

// Binds positional and keyword arguments (fastcall layout) to `names`, all
// required. On failure raises TypeError naming `method` ("NativeClient.search()").
bool bind_arguments(const char* method, std::initializer_list<const char*> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound);

// Each conversion returns false with an exception set on failure; a TypeError
// is re-raised as "argument '{name}': {reason}".
bool convert_path(PyObject* value, const char* name, std::filesystem::path& out);
// A str (or subclass) as UTF-8 text; other objects fail as convert_path's do.
bool convert_text(PyObject* value, const char* name, std::string& out);
bool convert_embedding(PyObject* value, const char* name, std::vector<float>& out);
bool convert_u64(PyObject* value, const char* name, std::uint64_t& out);
// A sequence of str (not a str itself) as UTF-8 views into `held`, a list of
// its own that keeps every text alive while the lock is released.
bool convert_texts(PyObject* value, const char* name, PyRef& held, std::vector<std::string_view>& out);
// The float32 values of a bytearray, which the call may change in place (a
// bytearray that numpy views cannot be resized, so the memory stays put
// while the interpreter lock is released).
bool convert_float_buffer(PyObject* value, const char* name, std::span<float>& out);
// Borrows the bytes of a bytes object for the duration of the call.
bool convert_bytes(PyObject* value, const char* name, std::span<const std::uint8_t>& out);
// Checks that `value` is an instance of `type` ("'{type}' object cannot be converted to '{target}'").
bool check_instance(PyObject* value, PyTypeObject* type, const char* name, const char* target);

}  // namespace quorvex::python
