// _quillet_probe: a test-only module that puts the boundary toolkit within reach of pytest. It
// links the same toolkit as _quillet and raises _quillet's own exception classes.
#include "src/h2/verdicts.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/handle.h"
#include "src/py/lock.h"
#include "src/py/repr.h"
#include "src/py/types.h"
#include "wire/common/text.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace quillet::py {
namespace {

ObjectLock g_lock;

PyObject* probe_u16(PyObject*, PyObject* arg) {
  uint16_t v;
  return arg_u16(arg, "value", &v) ? PyLong_FromUnsignedLong(v) : nullptr;
}
PyObject* probe_u32(PyObject*, PyObject* arg) {
  uint32_t v;
  return arg_u32(arg, "value", &v) ? PyLong_FromUnsignedLong(v) : nullptr;
}
PyObject* probe_u31(PyObject*, PyObject* arg) {
  uint32_t v;
  return arg_u31(arg, "value", &v) ? PyLong_FromUnsignedLong(v) : nullptr;
}
PyObject* probe_u64(PyObject*, PyObject* arg) {
  uint64_t v;
  return arg_u64(arg, "value", &v) ? PyLong_FromUnsignedLongLong(v) : nullptr;
}
PyObject* probe_opt_u32(PyObject*, PyObject* arg) {
  std::optional<uint32_t> v;
  if (!arg_optional(arg_u32, arg, "value", &v)) return nullptr;
  return v ? PyLong_FromUnsignedLong(*v) : new_none();
}
PyObject* probe_strict_bool(PyObject*, PyObject* arg) {
  bool v;
  return arg_bool(arg, "flag", &v) ? new_bool(v) : nullptr;
}
PyObject* probe_wire_bytes(PyObject*, PyObject* arg) {
  std::string_view v;
  return arg_bytes(arg, "data", &v) ? PyLong_FromSize_t(v.size()) : nullptr;
}
PyObject* probe_text(PyObject*, PyObject* arg) {
  Text v;
  return arg_str(arg, "text", &v)
             ? PyBytes_FromStringAndSize(v.bytes.data(), Py_ssize_t(v.bytes.size()))
             : nullptr;
}
PyObject* probe_quoted(PyObject*, PyObject* arg) {
  std::string_view v;
  if (!arg_bytes(arg, "data", &v)) return nullptr;
  const std::string out = quoted(v);
  return PyUnicode_DecodeUTF8(out.data(), Py_ssize_t(out.size()), "strict");
}

// sample_repr(flag, count, maybe): a repr of every field shape.
PyObject* probe_sample_repr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr std::array<const char*, 3> kNames{"flag", "count", "maybe"};
  static constexpr ArgParser kParser("sample_repr", kNames, 3, 3);
  PyObject* a[3];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  bool flag;
  uint64_t count;
  std::optional<uint64_t> maybe;
  if (!arg_bool(a[0], "flag", &flag) || !arg_u64(a[1], "count", &count) ||
      !arg_optional(arg_u64, a[2], "maybe", &maybe)) {
    return nullptr;
  }
  ReprWriter w("Sample");
  w.field("flag", flag).field("count", count).field("maybe", maybe).quoted_field("name", "a\"b");
  return w.finish();
}

// parse_args(a, b=..., *, c=...): the parser's view of its arguments; absent ones are Ellipsis.
PyObject* probe_parse_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr std::array<const char*, 3> kNames{"a", "b", "c"};
  static constexpr ArgParser kParser("parse_args", kNames, 2, 1);
  PyObject* a[3];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  for (PyObject*& p : a) {
    if (p == nullptr) p = Py_Ellipsis;
  }
  return PyTuple_Pack(3, a[0], a[1], a[2]);
}

template <class Enum>
bool enum_by_name(PyObject* name, int count, const char* (*name_of)(Enum), Enum* out) {
  Text text;
  if (!arg_str(name, "kind", &text)) return false;
  for (int i = 0; i < count; ++i) {
    if (text.bytes == name_of(Enum(i))) {
      *out = Enum(i);
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown kind %R", name);
  return false;
}

constexpr const char* kCategoryNames[h1::kErrorCategoryCount] = {
    "parse",
    "user",
    "incomplete_message",
    "unexpected_message",
    "canceled",
    "channel_closed",
    "io",
    "head_read_timeout",
    "body",
    "body_write",
    "shutdown",
};
const char* category_name(h1::ErrorCategory c) {
  return kCategoryNames[int(c)];
}

// h1_error(category, kind=None, cause=None, io=None): the exception an HTTP/1 error becomes.
PyObject* probe_h1_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr std::array<const char*, 4> kNames{"category", "kind", "cause", "io"};
  static constexpr ArgParser kParser("h1_error", kNames, 4, 1);
  PyObject* a[4];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  h1::Error error = h1::Error::of(h1::ErrorCategory::kCanceled);
  if (!enum_by_name(a[0], h1::kErrorCategoryCount, category_name, &error.category)) {
    return nullptr;
  }
  if (a[1] != nullptr && a[1] != Py_None) {
    if (error.category == h1::ErrorCategory::kParse) {
      if (!enum_by_name(a[1], h1::kParseKindCount, parse_kind_name, &error.parse)) return nullptr;
    } else if (!enum_by_name(a[1], h1::kUserKindCount, user_kind_name, &error.user)) {
      return nullptr;
    }
  }
  if (a[2] != nullptr && a[2] != Py_None) {
    Text text;
    if (!arg_str(a[2], "cause", &text)) return nullptr;
    error.cause = h1::Cause{std::nullopt, std::string(text.bytes)};
    if (a[3] != nullptr && a[3] != Py_None) {
      h1::IoKind io;
      if (!enum_by_name(a[3], h1::kIoKindCount, io_kind_name, &io)) return nullptr;
      error.cause->io = io;
    }
  }
  return h1_exception(error);
}

// Whether g_lock is taken, asked from another thread (a thread may not try_lock a mutex it
// holds itself).
PyObject* probe_lock_held(PyObject*, PyObject*) {
  bool held = false;
  std::thread([&held] {
    if (g_lock.try_lock()) {
      g_lock.unlock();
    } else {
      held = true;
    }
  }).join();
  return new_bool(held);
}

Ref g_stash;  // one object held the way a state object holds a transport

PyObject* probe_stash(PyObject*, PyObject* arg) {
  g_stash = Ref::borrow(arg);
  Py_RETURN_NONE;
}

// Takes the stashed object out under the lock the way a transition does and lets the bin drop
// it; a finaliser of the object can call lock_held() to see whether the lock is still taken.
PyObject* probe_drop_stashed(PyObject*, PyObject*) {
  ReleaseBin bin;
  Guard guard(g_lock);
  bin.add(std::move(g_stash));
  // leaving the scope unlocks first, then the bin drops the reference
  Py_RETURN_NONE;
}

// The mistake the bin prevents: dropping the reference while the lock is held.
PyObject* probe_drop_stashed_locked(PyObject*, PyObject*) {
  Guard guard(g_lock);
  g_stash = Ref();
  Py_RETURN_NONE;
}

// Two classes made with the toolkit, one of each kind a class of the module can be.

struct FinalState {
  uint32_t value = 0;
};

PyObject* final_new(PyTypeObject* type, PyObject* args, PyObject*) {
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "O", &value)) return nullptr;
  uint32_t v;
  if (!arg_u32(value, "value", &v)) return nullptr;
  PyObject* self = box_new<FinalState>(type);
  if (self != nullptr) unbox<FinalState>(self).value = v;
  return self;
}

PyObject* final_value(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<FinalState>(self).value);
}

PyGetSetDef kFinalProperties[] = {
    {"value", as_getter<final_value>(), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kFinalSlots[] = {
    {Py_tp_new, as_slot<final_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<FinalState>>()},
    {Py_tp_getset, kFinalProperties},
    {0, nullptr},
};
PyType_Spec kFinalSpec = {QUILLET_CLASS_NAME("FinalBox"), sizeof(Boxed<FinalState>), 0, 0,
                          kFinalSlots};
TypeHolder g_final_type(&kFinalSpec, Subclassing::kFinal, Construction::kFromPython);

// Holds one Python object handed in, the way a connection state holds its transport.
struct OpenState {
  Ref payload;
};

PyObject* open_new(PyTypeObject* type, PyObject* args, PyObject*) {
  PyObject* payload = nullptr;
  if (!PyArg_ParseTuple(args, "O", &payload)) return nullptr;
  PyObject* self = box_new<OpenState>(type);
  if (self != nullptr) unbox<OpenState>(self).payload = Ref::borrow(payload);
  return self;
}

int open_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(unbox<OpenState>(self).payload.get());
  return 0;
}

int open_clear(PyObject* self) {
  Ref dropped = std::move(unbox<OpenState>(self).payload);
  return 0;
}

PyObject* open_payload(PyObject* self, void*) {
  PyObject* p = unbox<OpenState>(self).payload.get();
  return p != nullptr ? Py_NewRef(p) : new_none();
}

PyGetSetDef kOpenProperties[] = {
    {"payload", as_getter<open_payload>(), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kOpenSlots[] = {
    {Py_tp_new, as_slot<open_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<OpenState>>()},
    {Py_tp_traverse, as_slot<open_traverse>()},
    {Py_tp_clear, as_slot<open_clear>()},
    {Py_tp_getset, kOpenProperties},
    {0, nullptr},
};
PyType_Spec kOpenSpec = {QUILLET_CLASS_NAME("OpenBox"), sizeof(Boxed<OpenState>), 0, 0, kOpenSlots};
TypeHolder g_open_type(&kOpenSpec, Subclassing::kSubclassable, Construction::kFromPython);

PyType_Slot kHiddenSlots[] = {
    {Py_tp_dealloc, as_slot<box_dealloc<FinalState>>()},
    {0, nullptr},
};
PyType_Spec kHiddenSpec = {QUILLET_CLASS_NAME("HiddenBox"), sizeof(Boxed<FinalState>), 0, 0,
                           kHiddenSlots};
TypeHolder g_hidden_type(&kHiddenSpec, Subclassing::kFinal, Construction::kInternalOnly);

PyType_Slot kBrokenSlots[] = {
    {Py_tp_dealloc, as_slot<box_dealloc<FinalState>>()},
    {0, nullptr},
};
PyType_Spec kBrokenSpec = {QUILLET_CLASS_NAME("BrokenBox"), sizeof(Boxed<FinalState>), 0, 0,
                           kBrokenSlots};
// Subclassable without traverse and clear: the toolkit refuses to make it.
TypeHolder g_broken_type(&kBrokenSpec, Subclassing::kSubclassable, Construction::kFromPython);

PyObject* probe_broken_type(PyObject*, PyObject*) {
  return Py_XNewRef(reinterpret_cast<PyObject*>(g_broken_type.get()));
}

// HTTP/2 verdicts built from plain values, the way H2Streams builds them after unlocking.

// A stop given as None or as (reason, conn), reason None or an int.
bool arg_stop(PyObject* obj, std::optional<h2::Stop>* out) {
  if (obj == Py_None) {
    out->reset();
    return true;
  }
  PyObject* reason = nullptr;
  PyObject* conn = nullptr;
  if (!PyArg_ParseTuple(obj, "OO", &reason, &conn)) return false;
  h2::Stop stop;
  if (!arg_optional(arg_u32, reason, "reason", &stop.reason) || !arg_bool(conn, "conn", &stop.conn))
    return false;
  *out = stop;
  return true;
}

// stopped(stop): H2Stopped for (reason, conn), or None.
PyObject* probe_stopped(PyObject*, PyObject* arg) {
  std::optional<h2::Stop> stop;
  if (!arg_stop(arg, &stop)) return nullptr;
  return optional_stopped_object(stop);
}

// send_verdict(sent, done, stopped, handle, reader_stop, flags)
PyObject* probe_send_verdict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr std::array<const char*, 6> kNames{"sent",   "done",        "stopped",
                                                     "handle", "reader_stop", "flags"};
  static constexpr ArgParser kParser("send_verdict", kNames, 6, 6);
  PyObject* a[6];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  h2::SendVerdict v;
  if (!arg_u32(a[0], "sent", &v.sent) || !arg_bool(a[1], "done", &v.done) ||
      !arg_stop(a[2], &v.stopped) || !arg_stop(a[4], &v.reader_stop) ||
      !arg_u32(a[5], "flags", &v.flags)) {
    return nullptr;
  }
  v.handle = handle_from(a[3]);
  return send_verdict_object(std::move(v));
}

// recv_headers_verdict(kind, handle, stream_id, eof, flags)
PyObject* probe_recv_headers_verdict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
  static constexpr std::array<const char*, 5> kNames{"kind", "handle", "stream_id", "eof", "flags"};
  static constexpr ArgParser kParser("recv_headers_verdict", kNames, 5, 5);
  PyObject* a[5];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  h2::RecvHeadersVerdict v;
  uint32_t kind;
  if (!arg_u32(a[0], "kind", &kind) || !arg_u31(a[2], "stream_id", &v.stream_id) ||
      !arg_bool(a[3], "eof", &v.eof) || !arg_u32(a[4], "flags", &v.flags)) {
    return nullptr;
  }
  if (kind >= h2::kHeadersKindCount) {
    PyErr_SetString(PyExc_ValueError, "kind out of range");
    return nullptr;
  }
  v.kind = h2::HeadersKind(kind);
  v.handle = handle_from(a[1]);
  return recv_headers_verdict_object(std::move(v));
}

// recv_data_verdict(handle, deliver, budgeted, eof, flags, payload)
PyObject* probe_recv_data_verdict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kw) {
  static constexpr std::array<const char*, 6> kNames{"handle", "deliver", "budgeted",
                                                     "eof",    "flags",   "payload"};
  static constexpr ArgParser kParser("recv_data_verdict", kNames, 6, 6);
  PyObject* a[6];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  h2::RecvDataVerdict v;
  std::string_view payload;
  if (!arg_bool(a[1], "deliver", &v.deliver) || !arg_bool(a[2], "budgeted", &v.budgeted) ||
      !arg_bool(a[3], "eof", &v.eof) || !arg_u32(a[4], "flags", &v.flags) ||
      !arg_bytes(a[5], "payload", &payload)) {
    return nullptr;
  }
  v.handle = handle_from(a[0]);
  return recv_data_verdict_object(std::move(v), a[5]);
}

// reset_verdict(handle, stop, flags)
PyObject* probe_reset_verdict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr std::array<const char*, 3> kNames{"handle", "stop", "flags"};
  static constexpr ArgParser kParser("reset_verdict", kNames, 3, 3);
  PyObject* a[3];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  h2::ResetVerdict v;
  if (!arg_stop(a[1], &v.stop) || !arg_u32(a[2], "flags", &v.flags)) return nullptr;
  v.handle = handle_from(a[0]);
  return reset_verdict_object(std::move(v));
}

// What write batches gave back since given_back() was last asked.
struct GivenBack {
  size_t calls = 0;
  uintptr_t owner = 0;  // id() of the last owner
  size_t size = 0;
  size_t capacity = 0;
};
GivenBack g_given_back;

void record_give_back(PyObject* owner, std::string&& buffer) noexcept {
  g_given_back.calls += 1;
  g_given_back.owner = reinterpret_cast<uintptr_t>(owner);
  g_given_back.size = buffer.size();
  g_given_back.capacity = buffer.capacity();
}

// write_batch(owner, data): a memoryview over a batch holding a copy of data.
PyObject* probe_write_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr std::array<const char*, 2> kNames{"owner", "data"};
  static constexpr ArgParser kParser("write_batch", kNames, 2, 2);
  PyObject* a[2];
  if (!kParser.parse(args, nargs, kw, a)) return nullptr;
  std::string_view data;
  if (!arg_bytes(a[1], "data", &data)) return nullptr;
  return write_batch_view(a[0], std::string(data), record_give_back);
}

// given_back(): (calls, owner id, size, capacity) of the give-backs since the last call, which
// starts a new count.
PyObject* probe_given_back(PyObject*, PyObject*) {
  const GivenBack g = std::exchange(g_given_back, GivenBack{});
  return Py_BuildValue("(nKnn)", Py_ssize_t(g.calls), static_cast<unsigned long long>(g.owner),
                       Py_ssize_t(g.size), Py_ssize_t(g.capacity));
}

PyMethodDef g_methods[] = {
    {"u16", as_method<probe_u16>(), METH_O, nullptr},
    {"u32", as_method<probe_u32>(), METH_O, nullptr},
    {"u31", as_method<probe_u31>(), METH_O, nullptr},
    {"u64", as_method<probe_u64>(), METH_O, nullptr},
    {"opt_u32", as_method<probe_opt_u32>(), METH_O, nullptr},
    {"strict_bool", as_method<probe_strict_bool>(), METH_O, nullptr},
    {"wire_bytes", as_method<probe_wire_bytes>(), METH_O, nullptr},
    {"text", as_method<probe_text>(), METH_O, nullptr},
    {"quoted", as_method<probe_quoted>(), METH_O, nullptr},
    {"sample_repr", as_method<probe_sample_repr>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"parse_args", as_method<probe_parse_args>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"h1_error", as_method<probe_h1_error>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"lock_held", as_method<probe_lock_held>(), METH_NOARGS, nullptr},
    {"stash", as_method<probe_stash>(), METH_O, nullptr},
    {"drop_stashed", as_method<probe_drop_stashed>(), METH_NOARGS, nullptr},
    {"drop_stashed_locked", as_method<probe_drop_stashed_locked>(), METH_NOARGS, nullptr},
    {"broken_type", as_method<probe_broken_type>(), METH_NOARGS, nullptr},
    {"stopped", as_method<probe_stopped>(), METH_O, nullptr},
    {"send_verdict", as_method<probe_send_verdict>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"recv_headers_verdict", as_method<probe_recv_headers_verdict>(), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"recv_data_verdict", as_method<probe_recv_data_verdict>(), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"reset_verdict", as_method<probe_reset_verdict>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"write_batch", as_method<probe_write_batch>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"given_back", as_method<probe_given_back>(), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_quillet_probe", "", -1, g_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quillet::py

PyMODINIT_FUNC PyInit__quillet_probe() {
  using namespace quillet::py;
  Ref quillet = Ref::steal(PyImport_ImportModule("_quillet"));
  if (!quillet || !adopt_exception_classes(quillet.get())) return nullptr;
  if (!install_handle_hooks()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&g_module));
  if (!module) return nullptr;
  const std::pair<const char*, TypeHolder*> classes[] = {
      {"FinalBox", &g_final_type}, {"OpenBox", &g_open_type}, {"HiddenBox", &g_hidden_type}};
  for (const auto& [name, holder] : classes) {
    PyTypeObject* type = holder->get();
    if (type == nullptr ||
        PyModule_AddObjectRef(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) {
      return nullptr;
    }
  }
  const std::pair<const char*, PyTypeObject* (*)()> verdict_classes[] = {
      {"H2Stopped", stopped_type},
      {"H2SendVerdict", send_verdict_type},
      {"H2RecvHeadersVerdict", recv_headers_verdict_type},
      {"H2RecvDataVerdict", recv_data_verdict_type},
      {"H2ResetVerdict", reset_verdict_type},
      {"H2WriteBatch", write_batch_type},
  };
  for (const auto& [name, type_of] : verdict_classes) {
    PyTypeObject* type = type_of();
    if (type == nullptr ||
        PyModule_AddObjectRef(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) {
      return nullptr;
    }
  }
  return module.release();
}
