// The layout and lifecycle shared by the module's four classes: a host object
// that owns one native value, optionally bound to the thread that made it.
#pragma once

#include <memory>
#include <type_traits>

#include "python/boundary.hpp"
#include "python/python_api.hpp"

namespace quorvex::python {

template <class Value>
struct NativeObject {
  PyObject_HEAD
  Value* value;         // owned; released with the object
  unsigned long owner;  // creating thread, for thread-bound classes
};

// tp_new of every class: "No constructor defined for {name}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// A new instance of `type` owning `value`, bound to the calling thread. May
// throw (std::bad_alloc): call it inside guarded().
template <class Value>
PyObject* new_native_object(PyTypeObject* type, Value&& value) {
  if (type == nullptr) return nullptr;
  auto owned = std::make_unique<std::decay_t<Value>>(std::forward<Value>(value));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;
  auto* native = reinterpret_cast<NativeObject<std::decay_t<Value>>*>(object);
  native->owner = current_thread();
  native->value = owned.release();
  return object;
}

// Frees the object memory and drops the instance's reference to its type.
void free_object(PyObject* object) noexcept;

// tp_dealloc of an unbound class.
template <class Value>
void dealloc_unbound(PyObject* object) noexcept {
  delete reinterpret_cast<NativeObject<Value>*>(object)->value;
  free_object(object);
}

// tp_dealloc of a thread-bound class: on a foreign thread the native value is
// reported and left allocated (after `on_foreign_drop`), the object freed.
template <class Value, void (*on_foreign_drop)(Value&) noexcept>
void dealloc_bound(PyObject* object, const char* label) noexcept {
  auto* native = reinterpret_cast<NativeObject<Value>*>(object);
  if (native->value != nullptr && native->owner != current_thread()) {
    on_foreign_drop(*native->value);
    report_foreign_drop(label);
  } else {
    delete native->value;
  }
  free_object(object);
}

// The native value of `object`, or nullptr with an internal fault set when
// the object is bound to another thread.
template <class Value>
Value* bound_value(PyObject* object, const char* label) {
  auto* native = reinterpret_cast<NativeObject<Value>*>(object);
  return check_thread(native->owner, label) ? native->value : nullptr;
}

template <class Value>
Value& unbound_value(PyObject* object) {
  return *reinterpret_cast<NativeObject<Value>*>(object)->value;
}

}  // namespace quorvex::python
