// OnceLatch: the first try_acquire() wins, every later one loses, whichever thread, task or
// finaliser gets there first. One atomic word and no mutex, so it never blocks.
#include "src/http/once_latch.h"

#include "src/py/args.h"
#include "src/py/types.h"

#include <atomic>
#include <cstdint>

namespace quillet::py {
namespace {

struct Latch {
  std::atomic<uint32_t> flag{0};  // 0 free, 1 taken
};

PyObject* latch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "OnceLatch() takes no arguments");
    return nullptr;
  }
  return box_new<Latch>(type);
}

PyObject* latch_try_acquire(PyObject* self, PyObject*) {
  uint32_t expected = 0;
  const bool won =
      unbox<Latch>(self).flag.compare_exchange_strong(expected, 1, std::memory_order_seq_cst);
  return new_bool(won);
}

PyObject* latch_is_set(PyObject* self, void*) {
  return new_bool(unbox<Latch>(self).flag.load(std::memory_order_relaxed) != 0);
}

PyMethodDef kMethods[] = {
    {"try_acquire", as_method<latch_try_acquire>(), METH_NOARGS,
     "try_acquire($self, /)\n--\n\n"
     "True for the one call that takes the latch, False for every other."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"is_set", as_getter<latch_is_set>(), nullptr, "True once the latch has been acquired.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("OnceLatch()\n--\n\nA one-shot latch: the first try_acquire() wins.")},
    {Py_tp_new, as_slot<latch_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<Latch>>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("OnceLatch"), sizeof(Boxed<Latch>), 0, 0, kSlots};

TypeHolder g_type(&kSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* once_latch_type() {
  return g_type.get();
}

}  // namespace quillet::py
