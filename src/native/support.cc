#include "src/native/support.h"

namespace quillet::native {

using py::Ref;

bool intern_all(const Interned* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (*rows[i].slot != nullptr) continue;
    *rows[i].slot = PyUnicode_InternFromString(rows[i].text);
    if (*rows[i].slot == nullptr) return false;
  }
  return true;
}

bool keyword_names(PyObject** slot, const char* name) {
  if (*slot == nullptr) *slot = Py_BuildValue("(s)", name);
  return *slot != nullptr;
}

PyObject* module_attr(const char* module, const char* name) {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

PyObject* take_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

void restore_error(PyObject* exc) {
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
}

PyObject* make_module_function(PyMethodDef* def, PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(def, module, name.get());
}

}  // namespace quillet::native
