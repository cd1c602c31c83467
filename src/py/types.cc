#include "src/py/types.h"

#include <exception>
#include <stdexcept>

namespace quillet::py {
namespace {

bool has_slot(const PyType_Spec* spec, int slot) {
  for (const PyType_Slot* s = spec->slots; s->slot != 0; ++s) {
    if (s->slot == slot) return true;
  }
  return false;
}

}  // namespace

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown C++ exception");
  }
}

PyTypeObject* TypeHolder::get() {
  if (type_ != nullptr) return type_;
  // a spec's own flags (vectorcall, say) are kept
  unsigned int flags = spec_->flags | Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (subclassing_ == Subclassing::kSubclassable) {
    if (!has_slot(spec_, Py_tp_traverse) || !has_slot(spec_, Py_tp_clear)) {
      PyErr_Format(PyExc_SystemError, "%s: a subclassable class needs traverse and clear",
                   spec_->name);
      return nullptr;
    }
    flags |= Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  } else if (subclassing_ == Subclassing::kFinalCollected) {
    if (!has_slot(spec_, Py_tp_traverse)) {
      PyErr_Format(PyExc_SystemError, "%s: a collected class needs traverse", spec_->name);
      return nullptr;
    }
    flags |= Py_TPFLAGS_HAVE_GC;
  }
  if (construction_ == Construction::kInternalOnly) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  spec_->flags = flags;
  PyObject* type = PyType_FromSpec(spec_);
  if (type == nullptr) return nullptr;
  type_ = reinterpret_cast<PyTypeObject*>(type);
  return type_;
}

}  // namespace quillet::py
