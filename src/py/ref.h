// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillet::py {

// A move-only owner of one strong reference. A null Ref owns nothing; functions that create
// objects return a null Ref with the Python error set when creation failed.
class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = other.obj_;
      other.obj_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes over a new reference (the result of most C API calls); null stays null.
  static Ref steal(PyObject* obj) { return Ref(obj); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  // The same for an object the module keeps for the driver: None is no object, so it is kept
  // as nothing (a transport of None is no transport, an event of None no event).
  static Ref held(PyObject* obj) { return obj == Py_None ? Ref() : borrow(obj); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

  // Gives the reference up to the caller (for return values and stealing C API calls).
  [[nodiscard]] PyObject* release() {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// A new reference to None, True or False.
inline PyObject* new_none() {
  Py_RETURN_NONE;
}
inline PyObject* new_bool(bool value) {
  if (value) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

}  // namespace quillet::py
