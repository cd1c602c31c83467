// H1Reader(fallback): the `data_received` of the server's stream, called by the event loop with
// no Python frame of ours in between.
//
// While an HTTP/1 connection's read for its next head is parked (`stream.parked`, nothing
// buffered), the bytes that arrive are that head: with the native driver they are served here
// (`h1_answer` below), in the serve task's name, as the connection's `_answer` serves them in
// Python. Otherwise the bytes go to `fallback(stream, data)`, the Python stream's own.
//
// h1_answer goes the common way natively: the head taken whole, the request run through the
// native exchange, the next-request step asked, parked again. Wherever the connection must do
// something else (a head in pieces, a malformed head, a full write buffer, an upgrade, an
// application that waits, pipelined bytes, a shutdown) it hands the rest to the connection's
// Python: `_advance` entered where this stopped, run by `take_step` as `_answer` runs it.
#include "src/native/asgi.h"
#include "src/native/support.h"
#include "src/py/args.h"
#include "src/py/types.h"

#include <structmember.h>

#include <array>
#include <cstddef>

namespace quillet::native {
namespace {

using namespace quillet::py;

struct Names {
  PyObject* parked;
  PyObject* chunks;  // "_chunks"
  PyObject* native;
  PyObject* answer;  // "_answer"
  PyObject* loop;
  PyObject* task;         // "_task"
  PyObject* parked_wait;  // "_parked"
  PyObject* done;
  PyObject* unpark_idle_read;
  PyObject* accept_head;
  PyObject* take_step;
  PyObject* advance;  // "_advance"
  PyObject* hand_over;
  PyObject* handoff;       // "_handoff"
  PyObject* write_paused;  // "_write_paused"
  PyObject* is_upgrade;
  PyObject* target;
  PyObject* method;
  PyObject* headers;
  PyObject* raw_items;
  PyObject* http10;
  PyObject* exchange;
  PyObject* scope_template;
  PyObject* server;
  PyObject* admit;
  PyObject* gone;
  PyObject* abandoned;
  PyObject* resolve;  // "_resolve"
  PyObject* begin_read;
  PyObject* read_deadline;  // "_read_deadline"
  PyObject* at;
  PyObject* keep_alive_timeout;
  PyObject* time;
  PyObject* refuse_head;
  PyObject* python_exchange;
  PyObject* v10;          // "1.0"
  PyObject* v11;          // "1.1"
  PyObject* fed_kw;       // ("fed",)
  PyObject* accepted_kw;  // ("accepted",)
  PyObject* running_kw;   // ("running",)
  PyObject* begun_kw;     // ("begun",)
  PyObject* empty_bytes;
  PyObject* done_outcome;    // _h1server._DONE
  PyObject* parked_outcome;  // _h1server._PARKED
  PyObject* enter_task;
  PyObject* leave_task;
  PyObject* parse_error;  // _quillet.H1ParseError
  long read_transport;    // _quillet.H1_READ_TRANSPORT
};

const Names* names() {
  static Names n;
  static bool made = false;
  if (made) return &n;
  const Interned table[] = {
      {&n.parked, "parked"},
      {&n.chunks, "_chunks"},
      {&n.native, "native"},
      {&n.answer, "_answer"},
      {&n.loop, "loop"},
      {&n.task, "_task"},
      {&n.parked_wait, "_parked"},
      {&n.done, "done"},
      {&n.unpark_idle_read, "unpark_idle_read"},
      {&n.accept_head, "accept_head"},
      {&n.take_step, "take_step"},
      {&n.advance, "_advance"},
      {&n.hand_over, "hand_over"},
      {&n.handoff, "_handoff"},
      {&n.write_paused, "_write_paused"},
      {&n.is_upgrade, "is_upgrade"},
      {&n.target, "target"},
      {&n.method, "method"},
      {&n.headers, "headers"},
      {&n.raw_items, "raw_items"},
      {&n.http10, "http10"},
      {&n.exchange, "exchange"},
      {&n.scope_template, "scope_template"},
      {&n.server, "server"},
      {&n.admit, "admit"},
      {&n.gone, "gone"},
      {&n.abandoned, "abandoned"},
      {&n.resolve, "_resolve"},
      {&n.begin_read, "begin_read"},
      {&n.read_deadline, "_read_deadline"},
      {&n.at, "at"},
      {&n.keep_alive_timeout, "keep_alive_timeout"},
      {&n.time, "time"},
      {&n.refuse_head, "refuse_head"},
      {&n.python_exchange, "python_exchange"},
      {&n.v10, "1.0"},
      {&n.v11, "1.1"},
  };
  if (!intern_all(table) || !keyword_names(&n.fed_kw, "fed") ||
      !keyword_names(&n.accepted_kw, "accepted") || !keyword_names(&n.running_kw, "running") ||
      !keyword_names(&n.begun_kw, "begun")) {
    return nullptr;
  }
  if (n.empty_bytes == nullptr) {
    n.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    if (n.empty_bytes == nullptr) return nullptr;
  }
  if (n.parse_error == nullptr) {
    Ref transport = Ref::steal(module_attr("_quillet", "H1_READ_TRANSPORT"));
    if (!transport) return nullptr;
    n.read_transport = PyLong_AsLong(transport.get());
    if (n.read_transport == -1 && PyErr_Occurred()) return nullptr;
    n.parse_error = module_attr("_quillet", "H1ParseError");
    if (n.parse_error == nullptr) return nullptr;
  }
  if (n.parked_outcome == nullptr) {
    // the task switch is asyncio's private pair: where it is missing, every request goes the
    // connection's Python way (`_answer`), which knows what to do without it
    PyObject* enter = module_attr("asyncio.tasks", "_enter_task");
    PyObject* leave = enter != nullptr ? module_attr("asyncio.tasks", "_leave_task") : nullptr;
    if (leave == nullptr) {
      PyErr_Clear();
      Py_XDECREF(enter);
    } else {
      n.enter_task = enter;
      n.leave_task = leave;
    }
    n.done_outcome = module_attr("quillet._h1server", "_DONE");
    if (n.done_outcome == nullptr) return nullptr;
    n.parked_outcome = module_attr("quillet._h1server", "_PARKED");
    if (n.parked_outcome == nullptr) return nullptr;
  }
  made = true;
  return &n;
}

bool call_ok(PyObject* result) {
  Py_XDECREF(result);
  return result != nullptr;
}

// conn.take_step(conn._advance(data, **{keyword: value})): the rest of the stretch in Python.
bool take_step(const Names* n, PyObject* conn, PyObject* data, PyObject* keyword, PyObject* value) {
  PyObject* args[] = {conn, data, value};
  Ref step = Ref::steal(
      PyObject_VectorcallMethod(n->advance, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword));
  if (!step) return false;
  return call_ok(PyObject_CallMethodOneArg(conn, n->take_step, step.get()));
}

// The stretch ended with `outcome` (or the error being raised): the serve task takes it from
// here, as `take_step` hands it over. KeyboardInterrupt and SystemExit stay raised.
bool hand_over(const Names* n, PyObject* conn, PyObject* outcome) {
  Ref error;
  if (outcome == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
        PyErr_ExceptionMatches(PyExc_SystemExit)) {
      return false;
    }
    error = Ref::steal(take_error());
    outcome = error.get();
  }
  if (PyObject_SetAttr(conn, n->handoff, outcome) < 0) return false;
  return call_ok(PyObject_CallMethodNoArgs(conn, n->hand_over));
}

// The stretch, with the serve task current. False with the error set only for what must go on
// up (KeyboardInterrupt, SystemExit, or a failure to hand over).
bool serve(const Names* n, PyObject* conn, PyObject* stream, PyObject* data, PyObject* waiter) {
  Ref unparked = Ref::steal(PyObject_CallMethodNoArgs(conn, n->unpark_idle_read));
  if (!unparked) return hand_over(n, conn, nullptr);
  if (unparked.get() == Py_True) return hand_over(n, conn, n->done_outcome);  // shut down

  Ref accepted = Ref::steal(PyObject_CallMethodOneArg(conn, n->accept_head, data));
  if (!accepted) {
    if (!PyErr_ExceptionMatches(n->parse_error)) return hand_over(n, conn, nullptr);
    Ref exc = Ref::steal(take_error());
    Ref outcome = Ref::steal(PyObject_CallMethodOneArg(conn, n->refuse_head, exc.get()));
    return hand_over(n, conn, outcome.get());
  }
  if (accepted.get() == Py_None) {  // the head came in part: the rest is read in Python
    return take_step(n, conn, n->empty_bytes, n->fed_kw, Py_True);
  }
  PyObject *head, *seq, *decoder;
  if (!PyTuple_CheckExact(accepted.get()) || PyTuple_GET_SIZE(accepted.get()) != 3) {
    PyErr_SetString(PyExc_TypeError, "accept_head gave no (head, seq, decoder)");
    return hand_over(n, conn, nullptr);
  }
  head = PyTuple_GET_ITEM(accepted.get(), 0);
  seq = PyTuple_GET_ITEM(accepted.get(), 1);
  decoder = PyTuple_GET_ITEM(accepted.get(), 2);
  Ref paused = Ref::steal(PyObject_GetAttr(stream, n->write_paused));
  Ref upgrade = paused ? Ref::steal(PyObject_GetAttr(head, n->is_upgrade)) : Ref();
  if (!upgrade) return hand_over(n, conn, nullptr);
  if (paused.get() != Py_False || upgrade.get() != Py_False) {
    return take_step(n, conn, Py_None, n->accepted_kw, accepted.get());
  }

  // the request
  Ref target = Ref::steal(PyObject_GetAttr(head, n->target));
  Ref method = target ? Ref::steal(PyObject_GetAttr(head, n->method)) : Ref();
  Ref fields = method ? Ref::steal(PyObject_GetAttr(head, n->headers)) : Ref();
  Ref raw = fields ? Ref::steal(PyObject_CallMethodNoArgs(fields.get(), n->raw_items)) : Ref();
  Ref http10 = raw ? Ref::steal(PyObject_GetAttr(head, n->http10)) : Ref();
  Ref python = http10 ? Ref::steal(PyObject_GetAttr(conn, n->python_exchange)) : Ref();
  Ref tmpl = python ? Ref::steal(PyObject_GetAttr(conn, n->scope_template)) : Ref();
  Ref server = tmpl ? Ref::steal(PyObject_GetAttr(conn, n->server)) : Ref();
  if (!server) return hand_over(n, conn, nullptr);
  PyObject* exchange_args[] = {conn, seq, head, decoder, python.get()};
  Ref exchange = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(h1_exchange_type()),
                                                exchange_args, 5, nullptr));
  if (!exchange || PyObject_SetAttr(conn, n->exchange, exchange.get()) < 0) {
    return hand_over(n, conn, nullptr);
  }
  PyObject* version = http10.get() == Py_True ? n->v10 : n->v11;
  Ref scope = Ref::steal(build_scope(tmpl.get(), version, method.get(), target.get(), raw.get()));
  Ref app =
      scope ? Ref::steal(PyObject_CallMethodOneArg(server.get(), n->admit, scope.get())) : Ref();
  if (!app) return hand_over(n, conn, nullptr);
  Ref wait =
      Ref::steal(start_run(server.get(), app.get(), scope.get(), exchange.get(), target.get()));
  if (!wait) return hand_over(n, conn, nullptr);
  if (wait.get() != Py_None) {  // the application waits: its task takes the request over
    Ref running = Ref::steal(PyTuple_Pack(3, exchange.get(), wait.get(), seq));
    if (!running) return hand_over(n, conn, nullptr);
    return take_step(n, conn, Py_None, n->running_kw, running.get());
  }

  // the request's end, and the next-request step
  if (PyObject_SetAttr(conn, n->exchange, Py_None) < 0 ||
      !call_ok(PyObject_CallMethodNoArgs(exchange.get(), n->resolve))) {
    return hand_over(n, conn, nullptr);
  }
  Ref gone = Ref::steal(PyObject_GetAttr(exchange.get(), n->gone));
  if (!gone) return hand_over(n, conn, nullptr);
  if (gone.get() != Py_False &&
      !call_ok(PyObject_CallMethodOneArg(conn, n->abandoned, exchange.get()))) {
    return hand_over(n, conn, nullptr);
  }
  Ref begun = Ref::steal(PyObject_CallMethodNoArgs(conn, n->begin_read));
  if (!begun) return hand_over(n, conn, nullptr);
  long code = -1;
  if (PyTuple_CheckExact(begun.get()) && PyTuple_GET_SIZE(begun.get()) == 2) {
    code = PyLong_AsLong(PyTuple_GET_ITEM(begun.get(), 0));
    if (code == -1 && PyErr_Occurred()) return hand_over(n, conn, nullptr);
  }
  Ref chunks = Ref::steal(PyObject_GetAttr(stream, n->chunks));
  if (!chunks) return hand_over(n, conn, nullptr);
  bool buffered = !PyList_CheckExact(chunks.get()) || PyList_GET_SIZE(chunks.get()) != 0;
  if (code != n->read_transport || buffered) {
    return take_step(n, conn, Py_None, n->begun_kw, begun.get());
  }
  // parked again for the next head: its keep-alive time starts now
  Ref over = Ref::steal(PyObject_CallMethodNoArgs(waiter, n->done));
  if (!over) return hand_over(n, conn, nullptr);
  if (over.get() != Py_False) return hand_over(n, conn, n->parked_outcome);
  Ref loop = Ref::steal(PyObject_GetAttr(conn, n->loop));
  Ref now = loop ? Ref::steal(PyObject_CallMethodNoArgs(loop.get(), n->time)) : Ref();
  Ref keep = now ? Ref::steal(PyObject_GetAttr(server.get(), n->keep_alive_timeout)) : Ref();
  Ref at = keep ? Ref::steal(PyNumber_Add(now.get(), keep.get())) : Ref();
  Ref deadline = at ? Ref::steal(PyObject_GetAttr(conn, n->read_deadline)) : Ref();
  if (!deadline || PyObject_SetAttr(deadline.get(), n->at, at.get()) < 0) {
    return hand_over(n, conn, nullptr);
  }
  return true;
}

// The native driver's `_answer`: false with the error set.
bool answer(const Names* n, PyObject* conn, PyObject* stream, PyObject* data, PyObject* fallback) {
  Ref waiter = Ref::steal(PyObject_GetAttr(conn, n->parked_wait));
  if (!waiter) return false;
  if (n->enter_task == nullptr || waiter.get() == Py_None) {
    return call_ok(PyObject_CallMethodOneArg(conn, n->answer, data));
  }
  Ref loop = Ref::steal(PyObject_GetAttr(conn, n->loop));
  Ref task = loop ? Ref::steal(PyObject_GetAttr(conn, n->task)) : Ref();
  if (!task) return false;
  PyObject* switch_args[] = {loop.get(), task.get()};
  // The application sees the serve task as its task (`asyncio.current_task()`), as it does
  // when the serve task runs it.
  Ref entered = Ref::steal(PyObject_Vectorcall(n->enter_task, switch_args, 2, nullptr));
  if (!entered) {
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return false;
    PyErr_Clear();  // another task is running: the serve task reads it as usual
    PyObject* args[] = {stream, data};
    return call_ok(PyObject_Vectorcall(fallback, args, 2, nullptr));
  }
  bool ok = serve(n, conn, stream, data, waiter.get());
  PyObject* exc = take_error();
  Ref left = Ref::steal(PyObject_Vectorcall(n->leave_task, switch_args, 2, nullptr));
  if (!left) {
    Py_XDECREF(exc);
    return false;
  }
  if (exc != nullptr) restore_error(exc);
  return ok;
}

// ---------------------------------------------------------------------------------------------
// The class.

// Plain fields, so that the vectorcall slot's offset is well defined.
struct ReaderBox {
  explicit ReaderBox(PyObject* f) : fallback(Py_NewRef(f)) {}
  ~ReaderBox() { Py_CLEAR(fallback); }
  ReaderBox(const ReaderBox&) = delete;
  ReaderBox& operator=(const ReaderBox&) = delete;
  vectorcallfunc vectorcall = nullptr;
  PyObject* fallback;  // strong
};

PyObject* reader_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 2 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "data_received takes the stream and the bytes");
    return nullptr;
  }
  const Names* n = names();
  if (n == nullptr) return nullptr;
  PyObject* stream = args[0];
  PyObject* data = args[1];
  PyObject* fallback = unbox<ReaderBox>(self).fallback;
  Ref conn = Ref::steal(PyObject_GetAttr(stream, n->parked));
  if (!conn) return nullptr;
  if (conn.get() != Py_None) {
    Ref chunks = Ref::steal(PyObject_GetAttr(stream, n->chunks));
    if (!chunks) return nullptr;
    if (PyList_CheckExact(chunks.get()) && PyList_GET_SIZE(chunks.get()) == 0) {
      // (another reader than an HTTP/1 connection, a WebSocket's, has no `native`)
      Ref native = Ref::steal(PyObject_GetAttr(conn.get(), n->native));
      if (!native) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
      }
      bool ok = native.get() == Py_True
                    ? answer(n, conn.get(), stream, data, fallback)
                    : call_ok(PyObject_CallMethodOneArg(conn.get(), n->answer, data));
      if (!ok) return nullptr;
      Py_RETURN_NONE;
    }
  }
  return PyObject_Vectorcall(fallback, args, 2, nullptr);
}

PyObject* reader_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  return Entry<reader_call>::call(self, args, nargsf, kwnames);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames{"fallback"};
  static constexpr ArgParser kParser("H1Reader", kNames, 1, 1);
  PyObject* fallback;
  if (!kParser.parse_call(args, kwargs, &fallback)) return nullptr;
  if (!PyCallable_Check(fallback)) {
    PyErr_SetString(PyExc_TypeError, "fallback must be callable");
    return nullptr;
  }
  PyObject* self = box_new<ReaderBox>(type, fallback);
  if (self != nullptr) unbox<ReaderBox>(self).vectorcall = reader_vectorcall;
  return self;
}

// Bound to the stream it is read from, as a function is.
PyObject* reader_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(unbox<ReaderBox>(self).fallback);
  return 0;
}

int reader_clear(PyObject* self) {
  Py_CLEAR(unbox<ReaderBox>(self).fallback);
  return 0;
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, Py_ssize_t(offsetof(Boxed<ReaderBox>, state)),
     READONLY,  // vectorcall comes first
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H1Reader(fallback)\n--\n\n"
                       "The server stream's data_received: the next head of a parked HTTP/1\n"
                       "connection is served at once (natively with the native driver); any\n"
                       "other bytes go to fallback(stream, data).")},
    {Py_tp_new, as_slot<reader_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<ReaderBox>>()},
    {Py_tp_traverse, reinterpret_cast<void*>(&reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&reader_clear)},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&reader_get)},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillet._native.H1Reader", sizeof(Boxed<ReaderBox>), 0,
                     Py_TPFLAGS_HAVE_VECTORCALL, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kFinalCollected, Construction::kFromPython);

}  // namespace

PyTypeObject* h1_reader_type() {
  return g_type.get();
}

}  // namespace quillet::native
