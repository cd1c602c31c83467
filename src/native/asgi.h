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

// run_app(server, app, scope, exchange, target) and asgi_scope(template, http_version, method,
// target, headers) for native callers: the same results, the arguments borrowed.
PyObject* start_run(PyObject* server, PyObject* app, PyObject* scope, PyObject* exchange,
                    PyObject* target);
PyObject* build_scope(PyObject* tmpl, PyObject* version, PyObject* method, PyObject* target,
                      PyObject* headers);

// The H1Exchange class (borrowed), or nullptr with the Python error set.
PyTypeObject* h1_exchange_type();

// New builtin function objects bound to `module`, for the registration table.
PyObject* make_run_app_function(PyObject* module);
PyObject* make_asgi_scope_function(PyObject* module);
PyObject* make_ready_function(PyObject* module);

// The H1Reader class (borrowed), or nullptr with the Python error set.
PyTypeObject* h1_reader_type();

// What the native serve path takes from the Python layer, imported on first use (the modules
// import this one, so it cannot take them at its own import): borrowed, or nullptr with the
// Python error set.
PyObject* client_disconnected_class();  // quillet._asgi.ClientDisconnected
PyObject* cancelled_error_class();      // asyncio.CancelledError

}  // namespace quillet::native
