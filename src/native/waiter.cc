// Waiter(loop): a future-like object that one task awaits for a protocol's input.
//
// A task that waits on an asyncio.Future is woken through the loop: `set_result` schedules the
// task's step, which runs at the loop's next turn, after every other callback of this one (and,
// under load, after the loop has read every other ready socket, so that the bytes have left the
// processor's caches). asyncio's tasks wait on any object that has `_asyncio_future_blocking`,
// `get_loop`, `add_done_callback`, `result` and `cancel`; a Waiter is one whose `set_result`,
// called outside any task (from a protocol's callback), runs the waiting task's step within the
// call. Called from a task, cancelled, or ended with an exception, it schedules the callbacks as
// a Future does. Its result is always None.
#include "src/native/waiter.h"

#include "src/native/support.h"

#include "src/py/args.h"
#include "src/py/types.h"

#include <array>
#include <cstdint>
#include <vector>

namespace quillet::native {
namespace {

using namespace quillet::py;

enum class State : uint8_t { kPending, kDone, kFailed, kCancelled };

struct Callback {
  PyObject* fn;       // strong
  PyObject* context;  // strong
};

struct WaiterBox {
  explicit WaiterBox(PyObject* l) : loop(Py_NewRef(l)) {}
  ~WaiterBox() { clear(); }
  WaiterBox(const WaiterBox&) = delete;
  WaiterBox& operator=(const WaiterBox&) = delete;

  void clear() {
    Py_CLEAR(loop);
    Py_CLEAR(exception);
    Py_CLEAR(message);
    std::vector<Callback> gone;
    gone.swap(callbacks);
    for (Callback& c : gone) {
      Py_DECREF(c.fn);
      Py_DECREF(c.context);
    }
  }

  PyObject* loop;
  PyObject* exception = nullptr;  // set_exception's
  PyObject* message = nullptr;    // cancel's
  std::vector<Callback> callbacks;
  State state = State::kPending;
  bool blocking = false;  // _asyncio_future_blocking
};

WaiterBox& waiter_of(PyObject* self) {
  return unbox<WaiterBox>(self);
}

// What the Waiter takes from asyncio, once per process.
struct Asyncio {
  // The task running on a loop: _asyncio.current_task where the interpreter has it (3.12 on),
  // else asyncio's own table of them, looked up here rather than through the Python function
  // that reads it (set_result asks once per wake-up).
  PyObject* current_task = nullptr;
  PyObject* current_tasks = nullptr;  // that table (a dict by loop), or null
  PyObject* cancelled_error = nullptr;
  PyObject* invalid_state_error = nullptr;
  PyObject* call_soon = nullptr;  // the method name, interned
  PyObject* call_exception_handler = nullptr;
  PyObject* context_name = nullptr;  // ("context",)
};

const Asyncio* asyncio_names() {
  static Asyncio names;
  if (names.current_task != nullptr) return &names;
  Ref module = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!module) return nullptr;
  // Each of these may be missing: asyncio's own current_task still answers then.
  Ref native = Ref::steal(PyImport_ImportModule("_asyncio"));
  Ref current = native ? Ref::steal(PyObject_GetAttrString(native.get(), "current_task")) : Ref();
  Ref table;
  if (!current) {
    PyErr_Clear();
    Ref tasks = Ref::steal(PyImport_ImportModule("asyncio.tasks"));
    table = tasks ? Ref::steal(PyObject_GetAttrString(tasks.get(), "_current_tasks")) : Ref();
    if (!table || !PyDict_CheckExact(table.get())) {
      PyErr_Clear();
      table = Ref();
    }
    current = Ref::steal(PyObject_GetAttrString(module.get(), "current_task"));
  }
  Ref cancelled = Ref::steal(PyObject_GetAttrString(module.get(), "CancelledError"));
  Ref invalid = Ref::steal(PyObject_GetAttrString(module.get(), "InvalidStateError"));
  Ref call_soon = Ref::steal(PyUnicode_InternFromString("call_soon"));
  Ref handler = Ref::steal(PyUnicode_InternFromString("call_exception_handler"));
  Ref context = Ref::steal(Py_BuildValue("(s)", "context"));
  if (!current || !cancelled || !invalid || !call_soon || !handler || !context) return nullptr;
  names.cancelled_error = cancelled.release();
  names.invalid_state_error = invalid.release();
  names.call_soon = call_soon.release();
  names.call_exception_handler = handler.release();
  names.context_name = context.release();
  names.current_tasks = table.release();
  names.current_task = current.release();  // last: it marks the set as complete
  return &names;
}

PyObject* raise_invalid_state(const char* message) {
  const Asyncio* names = asyncio_names();
  if (names != nullptr) PyErr_SetString(names->invalid_state_error, message);
  return nullptr;
}

PyObject* raise_cancelled(const WaiterBox& w) {
  const Asyncio* names = asyncio_names();
  if (names == nullptr) return nullptr;
  if (w.message != nullptr && w.message != Py_None) {
    PyErr_SetObject(names->cancelled_error, w.message);
  } else {
    PyErr_SetNone(names->cancelled_error);
  }
  return nullptr;
}

// loop.call_soon(fn, self, context=context); false with the Python error set.
bool schedule_one(PyObject* self, const Asyncio* names, PyObject* loop, const Callback& c) {
  PyObject* args[4] = {loop, c.fn, self, c.context};
  PyObject* done = PyObject_VectorcallMethod(names->call_soon, args, 3, names->context_name);
  if (done == nullptr) return false;
  Py_DECREF(done);
  return true;
}

// Schedules every callback at the loop's next turn, as a Future does.
bool schedule_all(PyObject* self, WaiterBox& w) {
  const Asyncio* names = asyncio_names();
  if (names == nullptr) return false;
  std::vector<Callback> callbacks;
  callbacks.swap(w.callbacks);
  Ref loop = Ref::borrow(w.loop);
  bool ok = true;
  for (Callback& c : callbacks) {
    if (ok && !schedule_one(self, names, loop.get(), c)) ok = false;
    Py_DECREF(c.fn);
    Py_DECREF(c.context);
  }
  return ok;
}

// Hands a callback's Exception to the loop's exception handler, as the loop does for a callback
// it runs; anything else (KeyboardInterrupt, SystemExit) is left set for the caller.
bool report_failure(PyObject* self, const Asyncio* names, PyObject* loop) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Ref exc = Ref::steal(take_error());
  Ref context =
      Ref::steal(Py_BuildValue("{s:s,s:O,s:O}", "message", "Exception in a Waiter's callback",
                               "exception", exc ? exc.get() : Py_None, "future", self));
  if (!context) return false;
  PyObject* args[2] = {loop, context.get()};
  PyObject* done = PyObject_VectorcallMethod(names->call_exception_handler, args, 2, nullptr);
  if (done == nullptr) return false;
  Py_DECREF(done);
  return true;
}

// Runs every callback now, each in its context. A failure that is not an Exception stops the
// run: the callbacks not run yet are scheduled, and the failure is left set (false).
bool run_all(PyObject* self, WaiterBox& w, const Asyncio* names) {
  std::vector<Callback> callbacks;
  callbacks.swap(w.callbacks);
  Ref loop = Ref::borrow(w.loop);
  bool ok = true;
  for (Callback& c : callbacks) {
    if (!ok) {
      // a failure is set: the rest go to the loop, and keep that failure as it is
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      if (!schedule_one(self, names, loop.get(), c)) PyErr_Clear();
      PyErr_Restore(type, value, traceback);
    } else if (PyContext_Enter(c.context) < 0) {
      ok = false;
    } else {
      PyObject* done = PyObject_CallOneArg(c.fn, self);
      if (PyContext_Exit(c.context) < 0) {
        Py_XDECREF(done);
        done = nullptr;
      }
      if (done != nullptr) {
        Py_DECREF(done);
      } else if (!report_failure(self, names, loop.get())) {
        ok = false;
      }
    }
    Py_DECREF(c.fn);
    Py_DECREF(c.context);
  }
  return ok;
}

PyObject* waiter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames{"loop"};
  static constexpr ArgParser kParser("Waiter", kNames, 1, 1);
  PyObject* a[1];
  if (!kParser.parse_call(args, kwargs, a)) return nullptr;
  return box_new<WaiterBox>(type, a[0]);
}

PyObject* waiter_get_loop(PyObject* self, PyObject*) {
  return Py_NewRef(waiter_of(self).loop);
}

PyObject* waiter_done(PyObject* self, PyObject*) {
  return PyBool_FromLong(waiter_of(self).state != State::kPending);
}

PyObject* waiter_cancelled(PyObject* self, PyObject*) {
  return PyBool_FromLong(waiter_of(self).state == State::kCancelled);
}

// The outcome of a wait that is over: false with its exception raised (CancelledError, or what
// set_exception gave), true when it ended with None. `pending_message` is raised as
// InvalidStateError while it goes on, or the wait is taken as not over (false, nothing raised)
// when it is null.
bool ended_well(const WaiterBox& w, const char* pending_message) {
  switch (w.state) {
    case State::kPending:
      if (pending_message != nullptr) raise_invalid_state(pending_message);
      return false;
    case State::kCancelled:
      raise_cancelled(w);
      return false;
    case State::kFailed:
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(w.exception)), w.exception);
      return false;
    case State::kDone:
      break;
  }
  return true;
}

PyObject* waiter_result(PyObject* self, PyObject*) {
  if (!ended_well(waiter_of(self), "the wait is not over")) return nullptr;
  Py_RETURN_NONE;
}

PyObject* waiter_exception(PyObject* self, PyObject*) {
  WaiterBox& w = waiter_of(self);
  if (w.state == State::kFailed) return Py_NewRef(w.exception);
  if (!ended_well(w, "the wait is not over")) return nullptr;
  Py_RETURN_NONE;
}

PyObject* waiter_add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"fn", "context"};
  static constexpr ArgParser kParser("add_done_callback", kNames, 1, 1);
  PyObject* a[2];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  Ref context =
      a[1] != nullptr && a[1] != Py_None ? Ref::borrow(a[1]) : Ref::steal(PyContext_CopyCurrent());
  if (!context) return nullptr;
  WaiterBox& w = waiter_of(self);
  Callback c{Py_NewRef(a[0]), context.release()};
  if (w.state == State::kPending) {
    try {
      w.callbacks.push_back(c);
    } catch (...) {
      Py_DECREF(c.fn);
      Py_DECREF(c.context);
      throw;
    }
    Py_RETURN_NONE;
  }
  const Asyncio* names = asyncio_names();
  const bool ok = names != nullptr && schedule_one(self, names, w.loop, c);
  Py_DECREF(c.fn);
  Py_DECREF(c.context);
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* waiter_remove_done_callback(PyObject* self, PyObject* fn) {
  WaiterBox& w = waiter_of(self);
  std::vector<Callback> kept;
  std::vector<Callback> removed;
  for (const Callback& c : w.callbacks) {
    const int same = PyObject_RichCompareBool(c.fn, fn, Py_EQ);
    if (same < 0) return nullptr;  // nothing was changed yet
    (same ? removed : kept).push_back(c);
  }
  w.callbacks.swap(kept);
  for (Callback& c : removed) {
    Py_DECREF(c.fn);
    Py_DECREF(c.context);
  }
  return PyLong_FromSize_t(removed.size());
}

PyObject* waiter_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"msg"};
  static constexpr ArgParser kParser("cancel", kNames, 1, 0);
  PyObject* a[1];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  WaiterBox& w = waiter_of(self);
  if (w.state != State::kPending) Py_RETURN_FALSE;
  w.state = State::kCancelled;
  if (a[0] != nullptr) w.message = Py_NewRef(a[0]);
  if (!schedule_all(self, w)) return nullptr;
  Py_RETURN_TRUE;
}

// The shared checks of set_result and set_result_soon: False with the error set.
bool take_result(WaiterBox& w, PyObject* result) {
  if (w.state != State::kPending) {
    raise_invalid_state("the wait is over already");
    return false;
  }
  if (result != Py_None) {
    PyErr_SetString(PyExc_ValueError, "a Waiter's result is None");
    return false;
  }
  w.state = State::kDone;
  return true;
}

PyObject* waiter_set_result(PyObject* self, PyObject* result) {
  WaiterBox& w = waiter_of(self);
  const Asyncio* names = asyncio_names();
  if (names == nullptr || !take_result(w, result)) return nullptr;
  if (w.callbacks.empty()) Py_RETURN_NONE;
  bool in_task;
  if (names->current_tasks != nullptr) {
    PyObject* current = PyDict_GetItemWithError(names->current_tasks, w.loop);  // borrowed
    if (current == nullptr && PyErr_Occurred()) return nullptr;
    in_task = current != nullptr && current != Py_None;
  } else {
    PyObject* current = PyObject_CallOneArg(names->current_task, w.loop);
    if (current == nullptr) return nullptr;
    in_task = current != Py_None;
    Py_DECREF(current);
  }
  const bool ok = in_task ? schedule_all(self, w) : run_all(self, w, names);
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* waiter_set_result_soon(PyObject* self, PyObject* result) {
  WaiterBox& w = waiter_of(self);
  if (!take_result(w, result) || !schedule_all(self, w)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* waiter_set_exception(PyObject* self, PyObject* exception) {
  WaiterBox& w = waiter_of(self);
  if (w.state != State::kPending) return raise_invalid_state("the wait is over already");
  Ref exc;
  if (PyExceptionClass_Check(exception)) {
    exc = Ref::steal(PyObject_CallNoArgs(exception));
    if (!exc) return nullptr;
  } else {
    exc = Ref::borrow(exception);
  }
  if (!PyExceptionInstance_Check(exc.get())) {
    PyErr_SetString(PyExc_TypeError, "set_exception takes an exception");
    return nullptr;
  }
  w.state = State::kFailed;
  w.exception = exc.release();
  if (!schedule_all(self, w)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* waiter_get_blocking(PyObject* self, void*) {
  return PyBool_FromLong(waiter_of(self).blocking);
}

int waiter_set_blocking(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "_asyncio_future_blocking cannot be deleted");
    return -1;
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return -1;
  waiter_of(self).blocking = truth != 0;
  return 0;
}

PyObject* waiter_await(PyObject* self) {
  return Py_NewRef(self);
}

// The iterator of `await waiter`: yields the waiter itself while the wait goes on (the task
// then adds its wake-up), and ends with None, or raises, once it is over.
PyObject* waiter_next(PyObject* self) {
  WaiterBox& w = waiter_of(self);
  if (w.state == State::kPending) {
    w.blocking = true;
    return Py_NewRef(self);
  }
  ended_well(w, nullptr);
  return nullptr;  // the end (with None), or the exception just raised
}

int waiter_traverse(PyObject* self, visitproc visit, void* arg) {
  WaiterBox& w = waiter_of(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(w.loop);
  Py_VISIT(w.exception);
  Py_VISIT(w.message);
  for (const Callback& c : w.callbacks) {
    Py_VISIT(c.fn);
    Py_VISIT(c.context);
  }
  return 0;
}

int waiter_clear(PyObject* self) {
  waiter_of(self).clear();
  return 0;
}

PyObject* waiter_repr(PyObject* self) {
  static constexpr std::array<const char*, 4> kStates{"pending", "done", "failed", "cancelled"};
  return PyUnicode_FromFormat("<Waiter %s>", kStates[size_t(waiter_of(self).state)]);
}

PyMethodDef kMethods[] = {
    {"get_loop", as_method<waiter_get_loop>(), METH_NOARGS,
     "get_loop($self, /)\n--\n\nThe event loop the waiter belongs to."},
    {"done", as_method<waiter_done>(), METH_NOARGS,
     "done($self, /)\n--\n\nTrue once the wait is over (ended, failed or cancelled)."},
    {"cancelled", as_method<waiter_cancelled>(), METH_NOARGS,
     "cancelled($self, /)\n--\n\nTrue once the wait was cancelled."},
    {"result", as_method<waiter_result>(), METH_NOARGS,
     "result($self, /)\n--\n\nNone once the wait ended; raises what failed or cancelled it, or\n"
     "InvalidStateError while it goes on."},
    {"exception", as_method<waiter_exception>(), METH_NOARGS,
     "exception($self, /)\n--\n\nThe exception that failed the wait, or None."},
    {"add_done_callback", as_method<waiter_add_done_callback>(), METH_FASTCALL | METH_KEYWORDS,
     "add_done_callback($self, fn, *, context=None)\n--\n\n"
     "Calls fn(waiter) in `context` once the wait is over."},
    {"remove_done_callback", as_method<waiter_remove_done_callback>(), METH_O,
     "remove_done_callback($self, fn, /)\n--\n\nForgets every callback equal to fn; returns "
     "how many."},
    {"cancel", as_method<waiter_cancel>(), METH_FASTCALL | METH_KEYWORDS,
     "cancel($self, /, msg=None)\n--\n\nCancels the wait (its callbacks at the loop's next "
     "turn); False if it was over."},
    {"set_result", as_method<waiter_set_result>(), METH_O,
     "set_result($self, result, /)\n--\n\nEnds the wait (result must be None). Outside any "
     "task the callbacks\nrun within this call, the waiting task's step among them; from a "
     "task they are\nscheduled."},
    {"set_result_soon", as_method<waiter_set_result_soon>(), METH_O,
     "set_result_soon($self, result, /)\n--\n\nEnds the wait with the callbacks scheduled, "
     "wherever it is called from."},
    {"set_exception", as_method<waiter_set_exception>(), METH_O,
     "set_exception($self, exception, /)\n--\n\nFails the wait with `exception` (callbacks "
     "scheduled)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"_asyncio_future_blocking", as_getter<waiter_get_blocking>(), waiter_set_blocking,
     "Set while a task waits on it (asyncio's mark of a future-like object).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("Waiter(loop)\n--\n\n"
                       "One task's wait, ended by set_result(None): outside any task (from a "
                       "protocol's\ncallback) the waiting task's step runs within that call, "
                       "instead of at the\nloop's next turn.")},
    {Py_tp_new, as_slot<waiter_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<WaiterBox>>()},
    {Py_tp_traverse, reinterpret_cast<void*>(&waiter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&waiter_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {Py_tp_repr, as_slot<waiter_repr>()},
    {Py_am_await, as_slot<waiter_await>()},
    {Py_tp_iter, as_slot<waiter_await>()},
    {Py_tp_iternext, as_slot<waiter_next>()},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillet._native.Waiter", sizeof(Boxed<WaiterBox>), 0, 0, kSlots};

TypeHolder g_type(&kSpec, Subclassing::kFinalCollected, Construction::kFromPython);

}  // namespace

PyTypeObject* waiter_type() {
  return g_type.get();
}

}  // namespace quillet::native
