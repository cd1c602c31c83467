// The application's run and the request's scope, for both protocols' drivers.
//
// run_app(server, app, scope, exchange, target) runs `app(scope, exchange.receive,
// exchange.send)` as far as it goes without waiting. An application that answers at once (its
// `receive` and `send` done when called) has then ended, and the call returns None: no task, no
// future and no coroutine of the server's own were made for it. One that waits returns an
// awaitable (an AppRun) that the connection's task awaits: it passes every wait of the
// application on, and ends the request as the synchronous path would have.
//
// Ending a request: an exception of `exchange.Disconnected` is the client's leaving, not the
// application's fault; CancelledError is the task's (the exchange hears of it, and it goes on
// up); any other Exception is logged and answered by `exchange.settle(True)`. `settle` runs after
// every end but a cancellation, and `server.request_done(scope, target, status, sent, began)`
// after every end whatever happened.
#include "src/native/asgi.h"

#include "src/native/support.h"

#include "src/py/args.h"
#include "src/py/types.h"

#include <array>
#include <string_view>

namespace quillet::native {
namespace {

using namespace quillet::py;

// ---------------------------------------------------------------------------------------------
// Names, taken once.

struct Names {
  PyObject* receive;
  PyObject* send;
  PyObject* settle;
  PyObject* request_done;
  PyObject* status;
  PyObject* sent;
  PyObject* disconnected;  // "Disconnected"
  PyObject* cancelled;
  PyObject* loop;
  PyObject* time;
  PyObject* log_access;  // "_log_access"
  PyObject* error;
  PyObject* throw_;
  PyObject* close;
  PyObject* state;
  PyObject* http_version;
  PyObject* method;
  PyObject* path;
  PyObject* raw_path;
  PyObject* query_string;
  PyObject* headers;
  PyObject* extensions;
  PyObject* exc_info_kw;  // ("exc_info",)
  PyObject* failed_text;  // "the application raised an exception"
  PyObject* logger;       // logging.getLogger("quillet.server")
  PyObject* unquote;      // urllib.parse.unquote
  PyObject* empty_str;
  PyObject* empty_bytes;
};

const Names* names() {
  static Names n;
  static bool made = false;
  if (made) return &n;
  const Interned table[] = {
      {&n.receive, "receive"},
      {&n.send, "send"},
      {&n.settle, "settle"},
      {&n.request_done, "request_done"},
      {&n.status, "status"},
      {&n.sent, "sent"},
      {&n.disconnected, "Disconnected"},
      {&n.cancelled, "cancelled"},
      {&n.loop, "loop"},
      {&n.time, "time"},
      {&n.log_access, "_log_access"},
      {&n.error, "error"},
      {&n.throw_, "throw"},
      {&n.close, "close"},
      {&n.state, "state"},
      {&n.http_version, "http_version"},
      {&n.method, "method"},
      {&n.path, "path"},
      {&n.raw_path, "raw_path"},
      {&n.query_string, "query_string"},
      {&n.headers, "headers"},
      {&n.extensions, "extensions"},
      {&n.failed_text, "the application raised an exception"},
      {&n.empty_str, ""},
  };
  if (!intern_all(table) || !keyword_names(&n.exc_info_kw, "exc_info")) return nullptr;
  if (n.empty_bytes == nullptr) {
    n.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    if (n.empty_bytes == nullptr) return nullptr;
  }
  if (n.logger == nullptr) {
    Ref get_logger = Ref::steal(module_attr("logging", "getLogger"));
    if (!get_logger) return nullptr;
    n.logger = PyObject_CallFunction(get_logger.get(), "s", "quillet.server");
    if (n.logger == nullptr) return nullptr;
  }
  if (n.unquote == nullptr && (n.unquote = module_attr("urllib.parse", "unquote")) == nullptr) {
    return nullptr;
  }
  made = true;
  return &n;
}

// getattr(obj, name, None) as a new reference in `out` (null when absent): -1 on another error.
int optional_attr(PyObject* obj, PyObject* name, Ref* out) {
  *out = Ref::steal(PyObject_GetAttr(obj, name));
  if (*out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

PyObject* import_attr(PyObject** slot, const char* module, const char* name) {
  if (*slot == nullptr) *slot = module_attr(module, name);
  return *slot;
}

// ---------------------------------------------------------------------------------------------
// Ready: an awaitable done when made.

struct ReadyBox {
  explicit ReadyBox(PyObject* v) : value(Py_NewRef(v)) {}
  ~ReadyBox() { Py_CLEAR(value); }
  ReadyBox(const ReadyBox&) = delete;
  ReadyBox& operator=(const ReadyBox&) = delete;
  PyObject* value;
};

// Ends an iteration with `value` as the StopIteration's value (None ends it bare).
PyObject* stop_with(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  // Wrapped in an instance, so that a tuple value is not taken for the exception's args.
  Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
  if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
  return nullptr;
}

PyObject* ready_self(PyObject* self) {
  return Py_NewRef(self);
}

PyObject* ready_next(PyObject* self) {
  return stop_with(unbox<ReadyBox>(self).value);
}

PyObject* ready_send_method(PyObject* self, PyObject*) {
  return stop_with(unbox<ReadyBox>(self).value);
}

PySendResult ready_am_send(PyObject* self, PyObject*, PyObject** result) {
  *result = Py_NewRef(unbox<ReadyBox>(self).value);
  return PYGEN_RETURN;
}

PyMethodDef kReadyMethods[] = {
    {"send", as_method<ready_send_method>(), METH_O,
     "send($self, value, /)\n--\n\nEnds the await with the value."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReadySlots[] = {
    {Py_tp_doc, const_cast<char*>("An awaitable that is done when made.")},
    {Py_tp_dealloc, as_slot<box_dealloc<ReadyBox>>()},
    {Py_tp_methods, kReadyMethods},
    {Py_am_await, as_slot<ready_self>()},
    {Py_am_send, reinterpret_cast<void*>(&ready_am_send)},
    {Py_tp_iter, as_slot<ready_self>()},
    {Py_tp_iternext, as_slot<ready_next>()},
    {0, nullptr},
};

PyType_Spec kReadySpec = {"quillet._native.Ready", sizeof(Boxed<ReadyBox>), 0, 0, kReadySlots};
TypeHolder g_ready_type(&kReadySpec, Subclassing::kFinal, Construction::kInternalOnly);

// ---------------------------------------------------------------------------------------------
// Running the application.

// One request's run: what its end needs.
struct Run {
  Ref server, scope, exchange, target, began;
};

// The end of a request whatever happened: server.request_done(...). Keeps an error that is
// already set (the request's own) unless request_done fails too.
bool request_done(const Names* n, const Run& run) {
  PyObject* pending = take_error();
  Ref status = Ref::steal(PyObject_GetAttr(run.exchange.get(), n->status));
  Ref sent = status ? Ref::steal(PyObject_GetAttr(run.exchange.get(), n->sent)) : Ref();
  bool ok = false;
  if (sent) {
    PyObject* args[] = {run.server.get(), run.scope.get(), run.target.get(),
                        status.get(),     sent.get(),      run.began.get()};
    Ref done = Ref::steal(PyObject_VectorcallMethod(n->request_done, args,
                                                    6 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    ok = bool(done);
  }
  if (pending != nullptr) {
    if (ok) {
      restore_error(pending);
    } else {
      Py_DECREF(pending);
    }
    return false;
  }
  return ok;
}

// The iterator of an awaitable, as `await` takes it.
Ref await_iter(PyObject* awaitable) {
  if (PyCoro_CheckExact(awaitable)) return Ref::borrow(awaitable);
  PyAsyncMethods* am = Py_TYPE(awaitable)->tp_as_async;
  if (am == nullptr || am->am_await == nullptr) {
    PyErr_Format(PyExc_TypeError, "object %s can't be used in 'await' expression",
                 Py_TYPE(awaitable)->tp_name);
    return Ref();
  }
  return Ref::steal(am->am_await(awaitable));
}

// What one step of the iterator being driven gave.
struct Step {
  PySendResult status;
  Ref value;  // the value yielded or returned; null with an error set for PYGEN_ERROR
};

Step send_into(PyObject* iter, PyObject* value) {
  PyObject* out = nullptr;
  PySendResult status = PyIter_Send(iter, value, &out);
  return {status, Ref::steal(out)};
}

// A `throw` into the iterator, with the arguments the awaiting side gave.
Step throw_into(const Names* n, PyObject* iter, PyObject* const* args, Py_ssize_t nargs) {
  Ref method;
  if (optional_attr(iter, n->throw_, &method) < 0) return {PYGEN_ERROR, Ref()};
  if (!method) {
    // no throw: the exception is raised where the iterator waits, as `yield from` does
    if (nargs == 1) {
      PyObject* exc = args[0];
      if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(PyExceptionInstance_Class(exc), exc);
      } else {
        PyErr_SetObject(exc, nullptr);
      }
    } else {
      PyErr_SetString(PyExc_TypeError, "throw() takes the exception");
    }
    return {PYGEN_ERROR, Ref()};
  }
  Ref out = Ref::steal(PyObject_Vectorcall(method.get(), args, size_t(nargs), nullptr));
  if (out) return {PYGEN_NEXT, std::move(out)};
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return {PYGEN_ERROR, Ref()};
  PyObject* stop = take_error();
  Ref value = Ref::steal(PyObject_GetAttrString(stop, "value"));
  Py_DECREF(stop);
  if (!value) return {PYGEN_ERROR, Ref()};
  return {PYGEN_RETURN, std::move(value)};
}

// Where a run stands: driving the application, then what `settle` returned.
enum class Phase : uint8_t { kApp, kSettle, kOver };

// Takes a step's outcome on: returns the value to pass on to the awaiting side (the run waits),
// or null when the request has ended, with an error set if it ended in one. `inner` is what is
// being driven, replaced by settle's awaitable when that must be awaited.
PyObject* go_on(const Names* n, const Run& run, Ref& inner, Phase& phase, Step step) {
  while (true) {
    if (step.status == PYGEN_NEXT) return step.value.release();
    if (phase == Phase::kSettle) {
      phase = Phase::kOver;
      inner = Ref();
      request_done(n, run);  // an error of settle's stays set
      return nullptr;
    }
    // the application ended
    phase = Phase::kOver;
    inner = Ref();
    bool raised = false;
    if (step.status == PYGEN_ERROR) {
      PyObject* exc = take_error();  // looked at with no error set: the lookups may import
      Ref gone_class = Ref::steal(PyObject_GetAttr(run.exchange.get(), n->disconnected));
      PyObject* cancelled = gone_class ? cancelled_error_class() : nullptr;
      if (cancelled == nullptr) {
        Py_XDECREF(exc);
        request_done(n, run);
        return nullptr;
      }
      if (PyErr_GivenExceptionMatches(exc, gone_class.get())) {
        Py_DECREF(exc);  // the client left: not the application's fault
      } else if (PyErr_GivenExceptionMatches(exc, cancelled)) {
        Ref heard = Ref::steal(PyObject_CallMethodNoArgs(run.exchange.get(), n->cancelled));
        if (heard) {
          restore_error(exc);
        } else {
          Py_DECREF(exc);
        }
        request_done(n, run);
        return nullptr;
      } else if (PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
        PyObject* args[] = {n->logger, n->failed_text, exc};
        Ref logged = Ref::steal(PyObject_VectorcallMethod(
            n->error, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, n->exc_info_kw));
        Py_DECREF(exc);
        if (!logged) {
          request_done(n, run);
          return nullptr;
        }
        raised = true;
      } else {
        restore_error(exc);
        request_done(n, run);  // KeyboardInterrupt, SystemExit, GeneratorExit: on up
        return nullptr;
      }
    }
    Ref wait = Ref::steal(
        PyObject_CallMethodOneArg(run.exchange.get(), n->settle, raised ? Py_True : Py_False));
    if (!wait) {
      request_done(n, run);
      return nullptr;
    }
    if (wait.get() == Py_None) {
      request_done(n, run);
      return nullptr;
    }
    inner = await_iter(wait.get());
    if (!inner) {
      request_done(n, run);
      return nullptr;
    }
    phase = Phase::kSettle;
    step = send_into(inner.get(), Py_None);
  }
}

// AppRun: the rest of a run whose application waited, awaited by the connection's task.
struct RunBox {
  RunBox(Run&& r, Ref&& in, Ref&& first_value, Phase p)
      : run(std::move(r)), inner(std::move(in)), first(std::move(first_value)), phase(p) {}
  Run run;
  Ref inner;  // the application's coroutine (or settle's awaitable's iterator)
  Ref first;  // what it yielded before the AppRun was made, passed on at the first step
  Phase phase;
};

RunBox& run_of(PyObject* self) {
  return unbox<RunBox>(self);
}

// One step of the awaiting side: the value to pass on, or null (the end: StopIteration set when
// the request ended well, its error otherwise).
PyObject* run_step(PyObject* self, Step step) {
  RunBox& r = run_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  PyObject* out = go_on(n, r.run, r.inner, r.phase, std::move(step));
  if (out == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return out;
}

PyObject* run_send_value(PyObject* self, PyObject* value) {
  RunBox& r = run_of(self);
  if (r.first) return r.first.release();
  if (r.phase == Phase::kOver) {
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  return run_step(self, send_into(r.inner.get(), value));
}

PyObject* run_next(PyObject* self) {
  return run_send_value(self, Py_None);
}

PyObject* run_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  RunBox& r = run_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (nargs < 1 || nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "throw() takes one to three arguments");
    return nullptr;
  }
  r.first = Ref();
  if (r.phase == Phase::kOver) {
    PyObject* exc = args[0];
    PyErr_SetObject(PyExceptionInstance_Check(exc) ? PyExceptionInstance_Class(exc) : exc,
                    PyExceptionInstance_Check(exc) ? exc : nullptr);
    return nullptr;
  }
  Ref inner = Ref::borrow(r.inner.get());
  return run_step(self, throw_into(n, inner.get(), args, nargs));
}

PyObject* run_close(PyObject* self, PyObject*) {
  RunBox& r = run_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  r.first = Ref();
  if (r.phase == Phase::kOver) Py_RETURN_NONE;
  Ref inner = std::move(r.inner);
  r.phase = Phase::kOver;
  Ref method;
  if (optional_attr(inner.get(), n->close, &method) < 0) return nullptr;
  if (method) {
    Ref done = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!done) {
      request_done(n, r.run);
      return nullptr;
    }
  }
  if (!request_done(n, r.run)) return nullptr;
  Py_RETURN_NONE;
}

PySendResult run_am_send(PyObject* self, PyObject* value, PyObject** result) {
  PyObject* out = Entry<run_send_value>::call(self, value);
  if (out != nullptr) {
    *result = out;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    *result = Py_NewRef(Py_None);
    return PYGEN_RETURN;
  }
  *result = nullptr;
  return PYGEN_ERROR;
}

int run_traverse(PyObject* self, visitproc visit, void* arg) {
  RunBox& r = run_of(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(r.run.server.get());
  Py_VISIT(r.run.scope.get());
  Py_VISIT(r.run.exchange.get());
  Py_VISIT(r.run.target.get());
  Py_VISIT(r.run.began.get());
  Py_VISIT(r.inner.get());
  Py_VISIT(r.first.get());
  return 0;
}

int run_clear(PyObject* self) {
  RunBox& r = run_of(self);
  r.inner = Ref();
  r.first = Ref();
  r.run = Run{};
  r.phase = Phase::kOver;
  return 0;
}

PyMethodDef kRunMethods[] = {
    {"send", as_method<run_send_value>(), METH_O,
     "send($self, value, /)\n--\n\nGoes on with the application's run."},
    {"throw", as_method<run_throw>(), METH_FASTCALL,
     "throw($self, exc, /)\n--\n\nRaises `exc` where the application waits."},
    {"close", as_method<run_close>(), METH_NOARGS,
     "close($self, /)\n--\n\nCloses the application's coroutine; the request ends."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kRunSlots[] = {
    {Py_tp_doc, const_cast<char*>("The rest of an application's run that had to wait.")},
    {Py_tp_dealloc, as_slot<box_dealloc<RunBox>>()},
    {Py_tp_traverse, reinterpret_cast<void*>(&run_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&run_clear)},
    {Py_tp_methods, kRunMethods},
    {Py_am_await, as_slot<ready_self>()},
    {Py_am_send, reinterpret_cast<void*>(&run_am_send)},
    {Py_tp_iter, as_slot<ready_self>()},
    {Py_tp_iternext, as_slot<run_next>()},
    {0, nullptr},
};

PyType_Spec kRunSpec = {"quillet._native.AppRun", sizeof(Boxed<RunBox>), 0, 0, kRunSlots};
TypeHolder g_run_type(&kRunSpec, Subclassing::kFinalCollected, Construction::kInternalOnly);

PyObject* run_app(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> kNames{"server", "app", "scope", "exchange",
                                                     "target"};
  static constexpr ArgParser kParser("run_app", kNames, 5, 5);
  PyObject* a[5];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  return start_run(a[0], a[1], a[2], a[3], a[4]);
}

}  // namespace

PyObject* start_run(PyObject* server, PyObject* app, PyObject* scope, PyObject* exchange,
                    PyObject* target) {
  PyObject* a[5] = {server, app, scope, exchange, target};
  const Names* n = names();
  if (n == nullptr || cancelled_error_class() == nullptr) return nullptr;
  PyTypeObject* run_type = g_run_type.get();
  if (run_type == nullptr) return nullptr;
  Run run{Ref::borrow(a[0]), Ref::borrow(a[2]), Ref::borrow(a[3]), Ref::borrow(a[4]), Ref()};
  // the access log's clock starts here
  Ref logging = Ref::steal(PyObject_GetAttr(a[0], n->log_access));
  if (!logging) return nullptr;
  int on = PyObject_IsTrue(logging.get());
  if (on < 0) return nullptr;
  if (on) {
    Ref loop = Ref::steal(PyObject_GetAttr(a[0], n->loop));
    run.began = loop ? Ref::steal(PyObject_CallMethodNoArgs(loop.get(), n->time)) : Ref();
  } else {
    run.began = Ref::steal(PyFloat_FromDouble(0.0));
  }
  if (!run.began) return nullptr;

  Ref inner;
  Step step{PYGEN_ERROR, Ref()};
  Ref receive = Ref::steal(PyObject_GetAttr(a[3], n->receive));
  Ref send = receive ? Ref::steal(PyObject_GetAttr(a[3], n->send)) : Ref();
  if (send) {
    PyObject* call[] = {a[2], receive.get(), send.get()};
    Ref awaitable = Ref::steal(PyObject_Vectorcall(a[1], call, 3, nullptr));
    if (awaitable) inner = await_iter(awaitable.get());
    if (inner) step = send_into(inner.get(), Py_None);
  }
  Phase phase = Phase::kApp;
  PyObject* waiting = go_on(n, run, inner, phase, std::move(step));
  if (waiting == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  // (tp_alloc tracks the new object for the collector)
  return box_new<RunBox>(run_type, std::move(run), std::move(inner), Ref::steal(waiting), phase);
}

namespace {

// ---------------------------------------------------------------------------------------------
// The scope.

// The (path, query) of a request target of one octet per character, in origin or absolute form.
void split_target(std::string_view t, std::string_view* path, std::string_view* query,
                  bool* slash_only_query) {
  *slash_only_query = false;
  if (t.substr(0, 1) != "/") {
    size_t scheme_end = t.find("://");
    if (scheme_end != std::string_view::npos) {
      std::string_view rest = t.substr(scheme_end + 3);
      size_t slash = rest.find('/');
      size_t query_at = rest.find('?');
      if (slash == std::string_view::npos ||
          (query_at != std::string_view::npos && query_at < slash)) {
        // no path: "/" and the query, if any
        *slash_only_query = true;
        t = query_at == std::string_view::npos ? std::string_view() : rest.substr(query_at);
      } else {
        t = rest.substr(slash);
      }
    }
  }
  size_t q = t.find('?');
  if (q == std::string_view::npos) {
    *path = t;
    *query = std::string_view();
  } else {
    *path = t.substr(0, q);
    *query = t.substr(q + 1);
  }
}

PyObject* asgi_scope(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> kNames{"template", "http_version", "method", "target",
                                                     "headers"};
  static constexpr ArgParser kParser("asgi_scope", kNames, 5, 5);
  PyObject* a[5];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  return build_scope(a[0], a[1], a[2], a[3], a[4]);
}

}  // namespace

PyObject* build_scope(PyObject* tmpl, PyObject* version, PyObject* method, PyObject* target_,
                      PyObject* headers) {
  PyObject* a[5] = {tmpl, version, method, target_, headers};
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (!PyDict_Check(a[0])) {
    PyErr_SetString(PyExc_TypeError, "template must be a dict");
    return nullptr;
  }
  PyObject* target = a[3];
  if (!PyUnicode_Check(target)) {
    PyErr_SetString(PyExc_TypeError, "target must be str");
    return nullptr;
  }
  // path and query as text of one octet per character (what latin-1 encodes); a target with a
  // wider character cannot be encoded so, and raises as the encoding does
  Ref path_text, raw_path, query;
  if (PyUnicode_KIND(target) == PyUnicode_1BYTE_KIND) {
    std::string_view t(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(target)),
                       size_t(PyUnicode_GET_LENGTH(target)));
    std::string_view path, q;
    bool rebuilt = false;
    if (t.substr(0, 1) == "/" && t.find('?') == std::string_view::npos) {
      path = t;
    } else {
      split_target(t, &path, &q, &rebuilt);
    }
    if (rebuilt) path = "/";
    if (path.data() == t.data() && path.size() == t.size() && PyUnicode_CheckExact(target)) {
      path_text = Ref::borrow(target);
    } else if (rebuilt) {
      path_text = Ref::steal(PyUnicode_FromString("/"));
    } else {
      Py_ssize_t start = path.data() - t.data();
      path_text = Ref::steal(PyUnicode_Substring(target, start, start + Py_ssize_t(path.size())));
    }
    if (!path_text) return nullptr;
    raw_path = Ref::steal(PyBytes_FromStringAndSize(path.data(), Py_ssize_t(path.size())));
    query = q.empty() ? Ref::borrow(n->empty_bytes)
                      : Ref::steal(PyBytes_FromStringAndSize(q.data(), Py_ssize_t(q.size())));
    if (!raw_path || !query) return nullptr;
    if (path.find('%') != std::string_view::npos) {
      path_text = Ref::steal(PyObject_CallOneArg(n->unquote, path_text.get()));
      if (!path_text) return nullptr;
    }
  } else {
    // A wider character: the Python split, and the encoding raises where the Python scope's
    // does (a wide character in an absolute target's authority is dropped with it).
    static PyObject* split = nullptr;
    if (split == nullptr && (split = module_attr("quillet._asgi", "split_target")) == nullptr) {
      return nullptr;
    }
    Ref parts = Ref::steal(PyObject_CallOneArg(split, target));
    if (!parts) return nullptr;
    PyObject *path, *q;
    if (!PyArg_ParseTuple(parts.get(), "UU", &path, &q)) return nullptr;
    raw_path = Ref::steal(PyUnicode_AsLatin1String(path));
    query = raw_path ? Ref::steal(PyUnicode_AsLatin1String(q)) : Ref();
    if (!query) return nullptr;
    int percent = PyUnicode_FindChar(path, '%', 0, PyUnicode_GET_LENGTH(path), 1) >= 0;
    path_text = percent ? Ref::steal(PyObject_CallOneArg(n->unquote, path)) : Ref::borrow(path);
    if (!path_text) return nullptr;
  }
  Ref scope = Ref::steal(PyDict_Copy(a[0]));
  if (!scope) return nullptr;
  PyObject* state = PyDict_GetItemWithError(a[0], n->state);
  if (state == nullptr && PyErr_Occurred()) return nullptr;
  Ref state_copy = state != nullptr ? Ref::steal(PyDict_Copy(state)) : Ref::steal(PyDict_New());
  if (!state_copy) return nullptr;
  PyObject* d = scope.get();
  if (PyDict_SetItem(d, n->http_version, a[1]) < 0 || PyDict_SetItem(d, n->method, a[2]) < 0 ||
      PyDict_SetItem(d, n->path, path_text.get()) < 0 ||
      PyDict_SetItem(d, n->raw_path, raw_path.get()) < 0 ||
      PyDict_SetItem(d, n->query_string, query.get()) < 0 ||
      PyDict_SetItem(d, n->headers, a[4]) < 0 ||
      PyDict_SetItem(d, n->state, state_copy.get()) < 0) {
    return nullptr;
  }
  // the extensions too are the request's own to change
  PyObject* extensions = PyDict_GetItemWithError(a[0], n->extensions);
  if (extensions == nullptr && PyErr_Occurred()) return nullptr;
  if (extensions != nullptr && PyDict_Check(extensions)) {
    Ref own = Ref::steal(PyDict_Copy(extensions));
    if (!own || PyDict_SetItem(d, n->extensions, own.get()) < 0) return nullptr;
  }
  return scope.release();
}

namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_run_app_def = {
    "run_app", as_method<run_app>(), kFast,
    "run_app($module, /, server, app, scope, exchange, target)\n--\n\n"
    "Runs app(scope, exchange.receive, exchange.send) as far as it goes without waiting.\n"
    "None: the request has ended (settled, and counted with server.request_done). Else an\n"
    "awaitable that the connection's task awaits to the request's end."};

PyObject* ready_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"value"};
  static constexpr ArgParser kParser("ready", kNames, 1, 0);
  PyObject* a[1];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  if (a[0] == nullptr || a[0] == Py_None) {
    PyObject* done = ready_none();
    return done == nullptr ? nullptr : Py_NewRef(done);
  }
  return ready(a[0]);
}

PyMethodDef g_ready_def = {
    "ready", as_method<ready_function>(), kFast,
    "ready($module, /, value=None)\n--\n\n"
    "An awaitable that is done when made: awaiting it gives `value` at once, with no future,\n"
    "task or coroutine. For a method that usually has its answer at hand and only sometimes\n"
    "has to wait (it returns a coroutine then)."};

PyMethodDef g_asgi_scope_def = {
    "asgi_scope", as_method<asgi_scope>(), kFast,
    "asgi_scope($module, /, template, http_version, method, target, headers)\n--\n\n"
    "The scope of one request: a copy of the connection's template (its 'state' and\n"
    "'extensions' copied too) with the request's version, method, path (percent-decoded), "
    "raw_path,\n"
    "query_string and headers. A target in absolute form gives its path and query."};

}  // namespace

PyObject* ready(PyObject* value) {
  PyTypeObject* type = g_ready_type.get();
  if (type == nullptr) return nullptr;
  return box_new<ReadyBox>(type, value);
}

PyObject* ready_none() {
  static PyObject* done = nullptr;
  if (done == nullptr) done = ready(Py_None);
  return done;
}

PyObject* client_disconnected_class() {
  static PyObject* cls = nullptr;
  return import_attr(&cls, "quillet._asgi", "ClientDisconnected");
}

PyObject* cancelled_error_class() {
  static PyObject* cls = nullptr;
  return import_attr(&cls, "asyncio", "CancelledError");
}

PyObject* make_run_app_function(PyObject* module) {
  return make_module_function(&g_run_app_def, module);
}

PyObject* make_ready_function(PyObject* module) {
  return make_module_function(&g_ready_def, module);
}

PyObject* make_asgi_scope_function(PyObject* module) {
  return make_module_function(&g_asgi_scope_def, module);
}

}  // namespace quillet::native
