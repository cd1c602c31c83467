// The module-level functions of the HTTP primitives: http_date() and uri_parts(url).
#pragma once

#include "src/py/ref.h"

namespace quillet::py {

// New builtin function objects bound to `module` (new references, or nullptr with the Python
// error set), for the registration table.
PyObject* make_http_date_function(PyObject* module);
PyObject* make_uri_parts_function(PyObject* module);

}  // namespace quillet::py
