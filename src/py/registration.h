// A module's names as one table: each row names an object and says how to make it. The module's
// execution step adds them in order and lists each in __all__ as it goes, so the table is the
// whole of what the module registers.
#pragma once

#include "src/py/ref.h"

#include <cstddef>

namespace quillet::py {

// Makes the object registered under one name: a new reference, or nullptr with the Python
// error set.
using Maker = PyObject* (*)(PyObject* module);

struct Registration {
  const char* name;
  Maker make;
};

// Adds every row's object to `module`: 0, or -1 with the Python error set.
int register_all(PyObject* module, const Registration* rows, size_t count);

template <size_t N>
int register_all(PyObject* module, const Registration (&rows)[N]) {
  return register_all(module, rows, N);
}

}  // namespace quillet::py
