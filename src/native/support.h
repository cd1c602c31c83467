// What the files of the second module share: names interned once, attributes of other modules,
// the error being raised taken and given back, and module functions made from their entries.
#pragma once

#include "src/py/ref.h"

#include <cstddef>

namespace quillet::native {

// One name to intern into a slot, once per process.
struct Interned {
  PyObject** slot;
  const char* text;
};

// Interns every row whose slot is still empty: false with the Python error set.
bool intern_all(const Interned* rows, size_t count);
template <size_t N>
bool intern_all(const Interned (&rows)[N]) {
  return intern_all(rows, N);
}

// A one-name tuple of keyword names (for a vectorcall) into `slot`, once: false on failure.
bool keyword_names(PyObject** slot, const char* name);

// getattr(import_module(module), name): a new reference, or nullptr with the error set.
PyObject* module_attr(const char* module, const char* name);

// The exception being raised, taken (normalised, with its traceback), or nullptr when none is.
PyObject* take_error();
// Raises `exc` again, as take_error found it; takes the reference.
void restore_error(PyObject* exc);

// A builtin function of `module` for its registration table.
PyObject* make_module_function(PyMethodDef* def, PyObject* module);

}  // namespace quillet::native
