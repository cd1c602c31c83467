#include "src/py/handle.h"

namespace quillet::py {
namespace {

void retain_object(void* obj) {
  Py_INCREF(static_cast<PyObject*>(obj));
}

void release_object(void* obj) {
  Py_DECREF(static_cast<PyObject*>(obj));
}

}  // namespace

bool install_handle_hooks() {
  if (Handle::install_hooks(retain_object, release_object)) return true;
  PyErr_SetString(PyExc_SystemError, "handle hooks were installed by another component");
  return false;
}

}  // namespace quillet::py
