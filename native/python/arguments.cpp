#include "python/arguments.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>

#include "core/text.hpp"

namespace quorvex::python {

namespace {

// Sequences report their length as a hint only; never reserve more than this
// up front, so a lying __len__ cannot make us allocate.
constexpr Py_ssize_t kMaxReservedItems = 1 << 16;

std::string type_name(PyObject* value) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "object";
}

bool raise_argument_error(const char* name, const std::string& reason) {
  PyErr_SetString(PyExc_TypeError, concat("argument '", name, "': ", reason).c_str());
  return false;
}

bool cannot_convert(PyObject* value, const char* name, const char* target) {
  return raise_argument_error(name, concat("'", type_name(value), "' object cannot be converted to '", target, "'"));
}

// Replaces a pending TypeError by "argument '{name}': {reason}", keeping its
// cause; any other pending exception stays as it is.
bool rename_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  PyRef text(value != nullptr ? PyObject_Str(value) : nullptr);
  const char* reason = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (reason == nullptr) return false;  // an exception from str() is now pending
  const std::string message = concat("argument '", name, "': ", reason);
  PyRef replacement(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!replacement) return false;
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return false;
}

// Rounds to the nearest 32-bit float; out-of-range values become infinities
// (a plain cast of an out-of-range double is undefined).
float to_float32(double value) {
  constexpr double kOverflow = 3.4028235677973366e38;  // FLT_MAX plus half its unit in the last place
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    const float largest = std::fabs(value) >= kOverflow ? INFINITY : FLT_MAX;
    return value < 0 ? -largest : largest;
  }
  return static_cast<float>(value);
}

std::string join_missing(const std::vector<const char*>& missing) {
  std::string out;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) out += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    out += concat("'", missing[i], "'");
  }
  return out;
}

}  // namespace

bool bind_arguments(const char* method, std::initializer_list<const char*> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound) {
  const auto count = static_cast<Py_ssize_t>(names.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given", method, count,
                 count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) bound[static_cast<std::size_t>(i)] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    Py_ssize_t match = -1;
    for (Py_ssize_t i = 0; i < count && match < 0; ++i) {
      if (PyUnicode_CompareWithASCIIString(keyword, names.begin()[i]) == 0) match = i;
    }
    if (match < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", method, keyword);
      return false;
    }
    if (bound[static_cast<std::size_t>(match)] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", method, names.begin()[match]);
      return false;
    }
    bound[static_cast<std::size_t>(match)] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (bound[static_cast<std::size_t>(i)] == nullptr) missing.push_back(names.begin()[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", method,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
                 join_missing(missing).c_str());
    return false;
  }
  return true;
}

bool convert_text(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value)) return cannot_convert(value, name, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return rename_type_error(name);
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool convert_path(PyObject* value, const char* name, std::filesystem::path& out) {
  std::string text;
  if (!convert_text(value, name, text)) return false;
  out = std::filesystem::path(std::move(text));
  return true;
}

bool convert_embedding(PyObject* value, const char* name, std::vector<float>& out) {
  if (PyUnicode_Check(value)) return raise_argument_error(name, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) return cannot_convert(value, name, "Sequence");
  const Py_ssize_t hint = PySequence_Size(value);
  if (hint < 0) PyErr_Clear();
  out.clear();
  out.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(hint, 0, kMaxReservedItems)));
  PyRef iterator(PyObject_GetIter(value));
  if (!iterator) return rename_type_error(name);
  while (PyRef item{PyIter_Next(iterator.get())}) {
    const double number = PyFloat_AsDouble(item.get());
    if (number == -1.0 && PyErr_Occurred()) return rename_type_error(name);
    out.push_back(to_float32(number));
  }
  if (PyErr_Occurred()) return rename_type_error(name);
  return true;
}

bool convert_u64(PyObject* value, const char* name, std::uint64_t& out) {
  PyRef index(PyNumber_Index(value));
  if (!index) return rename_type_error(name);
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return rename_type_error(name);
  out = converted;
  return true;
}

bool convert_texts(PyObject* value, const char* name, PyRef& held, std::vector<std::string_view>& out) {
  held = PyRef(PySequence_Check(value) && !PyUnicode_Check(value) ? PySequence_List(value) : nullptr);
  if (!held) return PyErr_Occurred() == nullptr && raise_argument_error(name, "expected a sequence of str");
  const Py_ssize_t count = PyList_Size(held.get());
  out.assign(static_cast<std::size_t>(count), std::string_view());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(held.get(), i);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (text == nullptr) return PyErr_Occurred() == nullptr && raise_argument_error(name, "expected a sequence of str");
    out[static_cast<std::size_t>(i)] = std::string_view(text, static_cast<std::size_t>(size));
  }
  return true;
}

bool convert_bytes(PyObject* value, const char* name, std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(value)) return cannot_convert(value, name, "PyBytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &data, &size) < 0) return rename_type_error(name);
  out = std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return true;
}

bool convert_float_buffer(PyObject* value, const char* name, std::span<float>& out) {
  if (!PyByteArray_Check(value)) return cannot_convert(value, name, "PyByteArray");
  const Py_ssize_t size = PyByteArray_Size(value);
  if (size % static_cast<Py_ssize_t>(sizeof(float)) != 0) {
    return raise_argument_error(name, "expected a whole number of float32 values");
  }
  out = std::span(reinterpret_cast<float*>(PyByteArray_AsString(value)), static_cast<std::size_t>(size) / sizeof(float));
  return true;
}

bool check_instance(PyObject* value, PyTypeObject* type, const char* name, const char* target) {
  if (PyObject_TypeCheck(value, type)) return true;
  return cannot_convert(value, name, target);
}

}  // namespace quorvex::python
