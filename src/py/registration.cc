#include "src/py/registration.h"

namespace quillet::py {
namespace {

// Appends `name` to the module's __all__, making the list on first use.
bool append_to_all(PyObject* module, const char* name) {
  PyObject* dict = PyModule_GetDict(module);              // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyDict_SetItemString(dict, "__all__", list.get()) < 0) return false;
    all = list.get();  // the dict keeps it alive
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

}  // namespace

int register_all(PyObject* module, const Registration* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    Ref obj = Ref::steal(rows[i].make(module));
    if (!obj) return -1;
    if (PyModule_AddObjectRef(module, rows[i].name, obj.get()) < 0) return -1;
    if (!append_to_all(module, rows[i].name)) return -1;
  }
  return 0;
}

}  // namespace quillet::py
