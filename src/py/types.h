// Heap types: created once per process from a PyType_Spec, immutable, final unless they are one
// of the connection states that the Python drivers extend.
#pragma once

#include "src/py/ref.h"

#include <new>
#include <utility>

namespace quillet::py {

// The dotted name that every class of the module carries.
#define QUILLET_CLASS_NAME(name) "quillet._quillet." name

enum class Subclassing {
  kFinal,
  // The driver subclasses the class and may hang its own objects on it, so instances take part
  // in cyclic garbage collection: the PyType_Spec must provide Py_tp_traverse and Py_tp_clear.
  kSubclassable,
};

enum class Construction {
  kFromPython,    // the Py_tp_new slot makes instances
  kInternalOnly,  // calling the class raises TypeError; instances come from other methods
};

// Holds one class's type object. The type is made on first use and lives until the process
// ends; every importer of the module shares it.
class TypeHolder {
 public:
  constexpr TypeHolder(PyType_Spec* spec, Subclassing subclassing, Construction construction)
      : spec_(spec), subclassing_(subclassing), construction_(construction) {}

  // The type object (borrowed), or nullptr with the Python error set.
  PyTypeObject* get();

 private:
  PyType_Spec* spec_;
  Subclassing subclassing_;
  Construction construction_;
  PyTypeObject* type_ = nullptr;
};

// Casts any function to the PyCFunction type a PyMethodDef stores; the flags of the entry tell
// the interpreter the real signature.
template <typename F>
PyCFunction as_method(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A Python object carrying one C++ value. Classes are `Boxed<State>`: the state is constructed
// in place when the object is made and destroyed when it is deallocated.
template <class State>
struct Boxed {
  PyObject_HEAD State state;
};

template <class State>
State& unbox(PyObject* self) {
  return reinterpret_cast<Boxed<State>*>(self)->state;
}

// Allocates an instance of `type` (or of a subclass) and constructs its state from `args`.
// Returns a new reference, or nullptr with the Python error set.
template <class State, class... Args>
PyObject* box_new(PyTypeObject* type, Args&&... args) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  try {
    new (&reinterpret_cast<Boxed<State>*>(self)->state) State(std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    // The state was never constructed: free the bare object without running the destructor.
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    type->tp_free(self);
    Py_DECREF(type);
    PyErr_NoMemory();
    return nullptr;
  }
  return self;
}

// The tp_dealloc of every boxed class.
template <class State>
void box_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
  unbox<State>(self).~State();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace quillet::py
