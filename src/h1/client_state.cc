// H1ClientState: the Python face of h1::ClientState. Each method converts its arguments, makes
// Handles of the objects handed in (a reference count, no Python code), takes the lock for one
// transition, unlocks, and only then builds results and lets go of what the transition dropped:
// the HandleBin is declared before the Guard, so it releases after the unlock.
#include "src/h1/client_state.h"

#include "src/py/args.h"
#include "src/py/handle.h"
#include "src/py/lock.h"
#include "src/py/repr.h"
#include "src/py/types.h"
#include "wire/h1/client_state.h"

#include <array>

namespace quillet::py {
namespace {

struct ClientBox {
  explicit ClientBox(Handle transport) : state(std::move(transport)) {}
  ObjectLock lock;
  h1::ClientState state;  // guarded by `lock`
};

ClientBox& box(PyObject* self) {
  return unbox<ClientBox>(self);
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames{"transport"};
  static constexpr ArgParser kParser("H1ClientState", kNames, 1, 1);
  PyObject* transport;
  if (!kParser.parse_call(args, kwargs, &transport)) return nullptr;
  return box_new<ClientBox>(type, handle_from(transport));
}

// The collector reads the held objects without the lock: no method holds it across anything
// that could start a collection (it is only held while no Python code runs).
int client_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (void* obj : box(self).state.held())
    Py_VISIT(static_cast<PyObject*>(obj));
  return 0;
}

int client_clear(PyObject* self) {
  ClientBox& b = box(self);
  HandleBin bin;
  Guard guard(b.lock);
  b.state.clear(bin);
  return 0;
}

// One value read under the lock.
template <class T>
T read_locked(PyObject* self, T (*read)(const h1::ClientState&)) {
  ClientBox& b = box(self);
  Guard guard(b.lock);
  return read(b.state);
}

template <bool (h1::ClientState::*kFlag)() const>
PyObject* client_flag(PyObject* self, void*) {
  return new_bool(read_locked<bool>(self, [](const h1::ClientState& s) { return (s.*kFlag)(); }));
}

PyObject* client_error(PyObject* self, void*) {
  Handle error = read_locked<Handle>(self, [](const h1::ClientState& s) { return s.error_ref(); });
  return handle_to_object(std::move(error));
}

PyObject* client_transport_ref(PyObject* self, PyObject*) {
  Handle transport =
      read_locked<Handle>(self, [](const h1::ClientState& s) { return s.transport_ref(); });
  return handle_to_object(std::move(transport));
}

PyObject* client_watcher_done(PyObject* self, PyObject*) {
  Handle done =
      read_locked<Handle>(self, [](const h1::ClientState& s) { return s.watcher_done(); });
  return handle_to_object(std::move(done));
}

PyObject* client_is_dead(PyObject* self, PyObject*) {
  return new_bool(read_locked<bool>(self, [](const h1::ClientState& s) { return s.is_dead(); }));
}

// A transition without arguments that answers with a bool.
template <bool (h1::ClientState::*kStep)()>
PyObject* client_bool_step(PyObject* self, PyObject*) {
  ClientBox& b = box(self);
  bool result;
  {
    Guard guard(b.lock);
    result = (b.state.*kStep)();
  }
  return new_bool(result);
}

// A transition without arguments and without a result.
template <void (h1::ClientState::*kStep)()>
PyObject* client_void_step(PyObject* self, PyObject*) {
  ClientBox& b = box(self);
  {
    Guard guard(b.lock);
    (b.state.*kStep)();
  }
  return new_none();
}

// A transition without arguments that hands one object out.
template <Handle (h1::ClientState::*kTake)()>
PyObject* client_take(PyObject* self, PyObject*) {
  ClientBox& b = box(self);
  Handle out;
  {
    Guard guard(b.lock);
    out = (b.state.*kTake)();
  }
  return handle_to_object(std::move(out));
}

// The one argument of a method, by position or by keyword.
template <size_t N>
bool one_arg(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
             Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const ArgParser parser(function, names, 1, 1);
  return parser.parse(args, nargs, kwnames, out);
}

PyObject* client_set_peer_http10(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"value"};
  PyObject* obj;
  bool value;
  if (!one_arg("set_peer_http10", kNames, args, nargs, kwnames, &obj) ||
      !arg_bool(obj, "value", &value)) {
    return nullptr;
  }
  ClientBox& b = box(self);
  {
    Guard guard(b.lock);
    b.state.set_peer_http10(value);
  }
  return new_none();
}

PyObject* client_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"exc"};
  static constexpr ArgParser kParser("fail", kNames, 1, 0);
  PyObject* exc = nullptr;
  if (!kParser.parse(args, nargs, kwnames, &exc)) return nullptr;
  Handle error = handle_from(exc);
  ClientBox& b = box(self);
  HandleBin bin;
  Handle transport;
  {
    Guard guard(b.lock);
    transport = b.state.fail(std::move(error), bin);
  }
  return handle_to_object(std::move(transport));
}

PyObject* client_mark_closed(PyObject* self, PyObject*) {
  ClientBox& b = box(self);
  h1::ClientState::Closing closing;
  {
    Guard guard(b.lock);
    closing = b.state.mark_closed();
  }
  Ref transport = handle_to_ref(std::move(closing.transport));
  Ref done = handle_to_ref(std::move(closing.watcher_done));
  Ref writer = handle_to_ref(std::move(closing.writer));
  Ref idle = Ref::steal(new_bool(closing.idle));
  return PyTuple_Pack(4, transport.get(), done.get(), writer.get(), idle.get());
}

// store_writer(scope) and store_watcher_handle(handle): None when stored, the object itself
// when refused.
PyObject* client_store_writer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"scope"};
  PyObject* scope;
  if (!one_arg("store_writer", kNames, args, nargs, kwnames, &scope)) return nullptr;
  Handle offered = handle_from(scope);
  ClientBox& b = box(self);
  HandleBin bin;
  Handle refused;
  {
    Guard guard(b.lock);
    refused = b.state.store_writer(std::move(offered), bin);
  }
  return handle_to_object(std::move(refused));
}

PyObject* client_store_watcher_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"handle"};
  PyObject* handle;
  if (!one_arg("store_watcher_handle", kNames, args, nargs, kwnames, &handle)) return nullptr;
  Handle offered = handle_from(handle);
  ClientBox& b = box(self);
  Handle refused;
  {
    Guard guard(b.lock);
    refused = b.state.store_watcher_handle(std::move(offered));
  }
  return handle_to_object(std::move(refused));
}

PyObject* client_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"done"};
  PyObject* done;
  if (!one_arg("arm_watcher", kNames, args, nargs, kwnames, &done)) return nullptr;
  Handle event = handle_from(done);
  ClientBox& b = box(self);
  HandleBin bin;
  bool armed;
  {
    Guard guard(b.lock);
    armed = b.state.arm_watcher(std::move(event), bin);
  }
  return new_bool(armed);
}

PyObject* client_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"data", "error"};
  static constexpr ArgParser kParser("watcher_completed", kNames, 2, 0);
  PyObject* a[2];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  std::string_view bytes;
  const bool has_data = a[0] != nullptr && a[0] != Py_None;
  if (has_data && !arg_bytes(a[0], "data", &bytes)) return nullptr;
  Handle data = has_data ? Handle::retain(a[0]) : Handle();
  Handle error = handle_from(a[1]);
  ClientBox& b = box(self);
  HandleBin bin;
  h1::ClientState::WatchOutcome outcome;
  {
    Guard guard(b.lock);
    outcome = b.state.watcher_completed(std::move(data), bytes.size(), std::move(error), bin);
  }
  Ref verdict = Ref::steal(PyLong_FromLong(long(outcome.verdict)));
  Ref transport = handle_to_ref(std::move(outcome.transport));
  if (!verdict) return nullptr;
  return PyTuple_Pack(2, verdict.get(), transport.get());
}

PyObject* client_take_watcher_result(PyObject* self, PyObject*) {
  ClientBox& b = box(self);
  HandleBin bin;
  h1::ClientState::WatcherResult result;
  {
    Guard guard(b.lock);
    result = b.state.take_watcher_result(bin);
  }
  Ref data = handle_to_ref(std::move(result.data));
  Ref error = handle_to_ref(std::move(result.error));
  return PyTuple_Pack(2, data.get(), error.get());
}

PyObject* client_repr(PyObject* self) {
  ClientBox& b = box(self);
  ReprWriter w("H1ClientState");
  {
    Guard guard(b.lock);
    const h1::ClientState& s = b.state;
    w.field("closed", s.closed())
        .field("failed", s.failed())
        .field("busy", s.busy())
        .field("exchange_active", s.exchange_active())
        .field("watcher", s.has_watcher());
  }
  return w.finish();
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"transport_ref", as_method<client_transport_ref>(), METH_NOARGS,
     "transport_ref($self, /)\n--\n\nThe transport, left in place, or None."},
    {"set_peer_http10", as_method<client_set_peer_http10>(), kFast,
     "set_peer_http10($self, /, value)\n--\n\nRecord whether the server speaks HTTP/1.0."},
    {"is_dead", as_method<client_is_dead>(), METH_NOARGS,
     "is_dead($self, /)\n--\n\nTrue once the connection is closed or an error is stored."},
    {"try_begin_exchange", as_method<client_bool_step<&h1::ClientState::try_begin_exchange>>(),
     METH_NOARGS,
     "try_begin_exchange($self, /)\n--\n\nClaim the connection for one exchange; False when "
     "it cannot be had."},
    {"end_exchange", as_method<client_bool_step<&h1::ClientState::end_exchange>>(), METH_NOARGS,
     "end_exchange($self, /)\n--\n\nRelease the claim; True when it was held."},
    {"exchange_started", as_method<client_void_step<&h1::ClientState::exchange_started>>(),
     METH_NOARGS,
     "exchange_started($self, /)\n--\n\nThe request is about to be written; a watcher read "
     "now belongs to it."},
    {"fail", as_method<client_fail>(), kFast,
     "fail($self, /, exc=None)\n--\n\nClose, storing exc unless an error is stored; returns "
     "the transport to close, or None."},
    {"close_now", as_method<client_take<&h1::ClientState::close_now>>(), METH_NOARGS,
     "close_now($self, /)\n--\n\nClose; returns the transport to close, or None."},
    {"mark_closed", as_method<client_mark_closed>(), METH_NOARGS,
     "mark_closed($self, /)\n--\n\nClose and hand out what closing needs: (transport, done, "
     "writer, idle)."},
    {"upgrade", as_method<client_take<&h1::ClientState::upgrade>>(), METH_NOARGS,
     "upgrade($self, /)\n--\n\nClose and hand the transport over for keeps, or None."},
    {"store_writer", as_method<client_store_writer>(), kFast,
     "store_writer($self, /, scope)\n--\n\nKeep the body writer: None when stored, scope "
     "when refused."},
    {"take_writer", as_method<client_take<&h1::ClientState::take_writer>>(), METH_NOARGS,
     "take_writer($self, /)\n--\n\nThe body writer, handed out once; else None."},
    {"writer_done", as_method<client_void_step<&h1::ClientState::writer_done>>(), METH_NOARGS,
     "writer_done($self, /)\n--\n\nThe body writer sent the whole body."},
    {"arm_watcher", as_method<client_arm_watcher>(), kFast,
     "arm_watcher($self, /, done)\n--\n\nOpen the idle watcher's slot with done as its "
     "event; False when it cannot be opened."},
    {"store_watcher_handle", as_method<client_store_watcher_handle>(), kFast,
     "store_watcher_handle($self, /, handle)\n--\n\nKeep the watcher's task: None when "
     "stored, handle when refused."},
    {"watcher_completed", as_method<client_watcher_completed>(), kFast,
     "watcher_completed($self, /, data=None, error=None)\n--\n\nWhat the watcher's read was: "
     "(an H1_WATCH_* code, the transport to close or None)."},
    {"watcher_aborted", as_method<client_void_step<&h1::ClientState::watcher_aborted>>(),
     METH_NOARGS, "watcher_aborted($self, /)\n--\n\nThe watcher ended without a read."},
    {"watcher_done", as_method<client_watcher_done>(), METH_NOARGS,
     "watcher_done($self, /)\n--\n\nThe watcher's done event, or None."},
    {"take_watcher_handle", as_method<client_take<&h1::ClientState::take_watcher_handle>>(),
     METH_NOARGS,
     "take_watcher_handle($self, /)\n--\n\nThe watcher's task handle, handed out once; else "
     "None."},
    {"take_watcher_result", as_method<client_take_watcher_result>(), METH_NOARGS,
     "take_watcher_result($self, /)\n--\n\nThe handed-off read as (data or None, error or "
     "None); frees the slot once the task handle was taken."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"closed", as_getter<client_flag<&h1::ClientState::closed>>(), nullptr,
     "The connection serves no more requests.", nullptr},
    {"busy", as_getter<client_flag<&h1::ClientState::busy>>(), nullptr,
     "An exchange holds the connection.", nullptr},
    {"upgraded", as_getter<client_flag<&h1::ClientState::upgraded>>(), nullptr,
     "The transport was handed over by upgrade().", nullptr},
    {"peer_http10", as_getter<client_flag<&h1::ClientState::peer_http10>>(), nullptr,
     "The server is known to speak HTTP/1.0.", nullptr},
    {"writer_finished", as_getter<client_flag<&h1::ClientState::writer_finished>>(), nullptr,
     "The body writer sent the body in full.", nullptr},
    {"has_watcher", as_getter<client_flag<&h1::ClientState::has_watcher>>(), nullptr,
     "A watcher slot exists (armed, or completed and not yet freed).", nullptr},
    {"error", as_getter<client_error>(), nullptr, "The stored error (the first one), or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("H1ClientState(transport)\n--\n\nThe state of one HTTP/1 "
                                  "client connection, consulted at every transition.")},
    {Py_tp_new, as_slot<client_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<ClientBox>>()},
    {Py_tp_traverse, as_slot<client_traverse>()},
    {Py_tp_clear, as_slot<client_clear>()},
    {Py_tp_repr, as_slot<client_repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H1ClientState"), sizeof(Boxed<ClientBox>), 0, 0, kSlots};

TypeHolder g_type(&kSpec, Subclassing::kSubclassable, Construction::kFromPython);

}  // namespace

PyTypeObject* client_state_type() {
  if (!install_handle_hooks()) return nullptr;
  return g_type.get();
}

}  // namespace quillet::py
