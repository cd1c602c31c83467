// The module-level functions of quillet._native: frame and Close payload writers, and the
// opening handshake's helpers.
#pragma once

#include "src/py/ref.h"

namespace quillet::native {

// New builtin function objects bound to `module`, for the registration table.
PyObject* make_frame_function(PyObject* module);
PyObject* make_frame_head_function(PyObject* module);
PyObject* make_close_payload_function(PyObject* module);
PyObject* make_accept_function(PyObject* module);
PyObject* make_check_request_function(PyObject* module);
PyObject* make_check_connect_function(PyObject* module);
PyObject* make_subprotocols_function(PyObject* module);
PyObject* make_extensions_function(PyObject* module);
PyObject* make_deflate_offers_function(PyObject* module);

}  // namespace quillet::native
