// Python objects as wire/ Handles.
//
// wire/ keeps the objects the driver hands in (transports, events, task handles, stored
// exceptions) as opaque Handles. Here the handle hooks become the interpreter's reference
// counting, and a Handle turns into a Python reference and back.
#pragma once

#include "src/py/ref.h"
#include "wire/common/handle.h"

namespace quillet::py {

// Installs Py_IncRef/Py_DecRef as the process-wide handle hooks. Every class whose state keeps
// Handles calls it before making its type. False with SystemError set when other hooks were
// installed first.
bool install_handle_hooks();

// A new reference to `obj` as a Handle; None (or nullptr) is the empty Handle.
inline Handle handle_from(PyObject* obj) {
  return obj == nullptr || obj == Py_None ? Handle() : Handle::retain(obj);
}

// An argument kept as it is (nullptr and None give an empty handle), in the converter shape of
// args.h.
inline bool arg_handle(PyObject* obj, const char*, Handle* out) {
  *out = handle_from(obj);
  return true;
}

// The Handle's reference as a Python object for a return value: None for the empty Handle.
// Makes no object, so it may run under a lock; the caller owns the result.
inline PyObject* handle_to_object(Handle handle) {
  if (!handle) return new_none();
  return static_cast<PyObject*>(handle.give_up());
}

inline Ref handle_to_ref(Handle handle) {
  return Ref::steal(handle_to_object(std::move(handle)));
}

}  // namespace quillet::py
