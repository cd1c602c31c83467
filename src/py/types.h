// Heap types: created once per process from a PyType_Spec, immutable, final unless they are one
// of the connection states that the Python drivers extend.
#pragma once

#include "src/py/ref.h"

#include <new>
#include <type_traits>
#include <utility>

namespace quillet::py {

// The dotted name that every class of the module carries.
#define QUILLET_CLASS_NAME(name) "quillet._quillet." name

enum class Subclassing {
  kFinal,
  // Final, yet its instances take part in cyclic garbage collection: an instance keeps an object
  // that the driver can lead back to it through objects of its own (H2WriteBatch keeps its
  // H2Streams, and a driver may keep the batch's memoryview as an attribute of that H2Streams
  // subclass), and such a cycle is only found if every object in it is traversed. The
  // PyType_Spec must provide Py_tp_traverse; Py_tp_clear is optional, since the collector can
  // break the cycle at any other member that has one.
  kFinalCollected,
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

// Sets the Python error for the C++ exception being handled: MemoryError for an allocation that
// failed (or a size past what a container can hold), RuntimeError naming anything else.
void raise_from_cpp_exception() noexcept;

// Every function the interpreter calls (a method, a getter, a slot, the module's exec step)
// goes through `Entry<F>::call`, so that no C++ exception crosses the C API: it becomes a Python
// error and the function's failure value. A lock taken inside is a scoped guard and a release
// bin empties on the way out, so the object is unlocked; every transition validates before it
// mutates, so what threw has changed nothing.
template <auto F>
struct Entry;

template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
  static R call(A... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      raise_from_cpp_exception();
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else if constexpr (!std::is_void_v<R>) {
        return R(-1);
      }
    }
  }
};

// The entry of a method table: `F` behind the guard, cast to the PyCFunction type a PyMethodDef
// stores; the flags of the entry tell the interpreter the real signature.
template <auto F>
PyCFunction as_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry<F>::call));
}

// The entry of a type slot (PyType_Slot::pfunc).
template <auto F>
void* as_slot() {
  return reinterpret_cast<void*>(&Entry<F>::call);
}

// The getter of a read-only property.
template <auto F>
getter as_getter() {
  return &Entry<F>::call;
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
