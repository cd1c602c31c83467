// The ASGI side of the native serve path: awaitables that are complete when made, the request's
// scope from a connection's template, the application run to its end without a task or future
// when it never waits, and the HTTP/1 exchange whose `receive` and `send` complete at once.
#pragma once

#include "src/py/ref.h"

namespace quillet::native {

// An awaitable that is done when made: awaiting it gives `value` (a new reference), or nullptr
// with the Python error set.
PyObject* ready(PyObject* value);
// The one done awaitable that gives None (borrowed), or nullptr with the Python error set.
PyObject* ready_none();

// The H1Exchange class (borrowed), or nullptr with the Python error set.
PyTypeObject* h1_exchange_type();

// New builtin function objects bound to `module`, for the registration table.
PyObject* make_run_app_function(PyObject* module);
PyObject* make_asgi_scope_function(PyObject* module);

// What the native serve path takes from the Python layer, imported on first use (the modules
// import this one, so it cannot take them at its own import): borrowed, or nullptr with the
// Python error set.
PyObject* client_disconnected_class();  // quillet._asgi.ClientDisconnected
PyObject* cancelled_error_class();      // asyncio.CancelledError

}  // namespace quillet::native
