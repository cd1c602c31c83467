// The HTTP/2 stream primitives as Python classes: H2StreamState, H2FlowControl, H2ContentLength
// and H2DataFrameBudget. Each holds its wire/ value behind a mutex of its own; a method converts
// its arguments, takes the lock once for its whole check and transition, and raises or builds
// its result after unlocking. None of them holds a Python object.
#include "src/h2/streams.h"

#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/lock.h"
#include "src/py/types.h"
#include "wire/common/text.h"
#include "wire/h2/content_length.h"
#include "wire/h2/data_frame_budget.h"
#include "wire/h2/error.h"
#include "wire/h2/flow_control.h"
#include "wire/h2/stream_state.h"

#include <array>
#include <optional>
#include <string>
#include <utility>

namespace quillet::py {
namespace {

template <class State>
struct Locked {
  template <class... Args>
  explicit Locked(Args&&... args) : state(std::forward<Args>(args)...) {}
  ObjectLock lock;
  State state;  // guarded by `lock`
};

// Runs `fn` on the state under the object's lock and returns what it returns.
template <class State, class Fn>
auto with_lock(PyObject* self, Fn&& fn) {
  Locked<State>& box = unbox<Locked<State>>(self);
  Guard guard(box.lock);
  return fn(box.state);
}

bool no_call_args(const char* name, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", name);
    return false;
  }
  return true;
}

PyObject* new_text(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
}

PyObject* new_optional_u32(const std::optional<uint32_t>& value) {
  if (!value) return new_none();
  return PyLong_FromUnsignedLong(*value);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------------------------------------
// H2StreamState

using StreamBox = Locked<h2::StreamState>;

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!no_call_args("H2StreamState", args, kwargs)) return nullptr;
  return box_new<StreamBox>(type);
}

// A transition of the state under its lock.
template <class Fn>
auto stream_step(PyObject* self, Fn&& fn) {
  return with_lock<h2::StreamState>(self, std::forward<Fn>(fn));
}

PyObject* state_send_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"eos"};
  static constexpr ArgParser kParser("send_open", kNames, 1, 1);
  PyObject* obj;
  bool eos;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bool(obj, "eos", &eos)) return nullptr;
  if (!stream_step(self, [&](h2::StreamState& s) { return s.send_open(eos); })) {
    return raise_h2_user(h2::UserKind::kUnexpectedFrameType);
  }
  return new_none();
}

PyObject* state_recv_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"eos", "informational"};
  static constexpr ArgParser kParser("recv_open", kNames, 2, 2);
  PyObject* a[2];
  bool eos, informational;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_bool(a[0], "eos", &eos) ||
      !arg_bool(a[1], "informational", &informational)) {
    return nullptr;
  }
  const h2::RecvOpen result =
      stream_step(self, [&](h2::StreamState& s) { return s.recv_open(eos, informational); });
  switch (result) {
    case h2::RecvOpen::kOpened:
      return new_bool(true);
    case h2::RecvOpen::kAlreadyOpen:
      return new_bool(false);
    case h2::RecvOpen::kRefused:
      break;
  }
  return raise_h2_protocol(h2::kProtocolError);
}

PyObject* state_reserve_remote(PyObject* self, PyObject*) {
  if (!stream_step(self, [](h2::StreamState& s) { return s.reserve_remote(); })) {
    return raise_h2_protocol(h2::kProtocolError);
  }
  return new_none();
}

PyObject* state_reserve_local(PyObject* self, PyObject*) {
  if (!stream_step(self, [](h2::StreamState& s) { return s.reserve_local(); })) {
    return raise_h2_user(h2::UserKind::kUnexpectedFrameType);
  }
  return new_none();
}

PyObject* state_recv_close(PyObject* self, PyObject*) {
  if (!stream_step(self, [](h2::StreamState& s) { return s.recv_close(); })) {
    return raise_h2_protocol(h2::kProtocolError);
  }
  return new_none();
}

PyObject* state_recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames{"stream_id", "reason", "queued"};
  static constexpr ArgParser kParser("recv_reset", kNames, 3, 3);
  PyObject* a[3];
  uint32_t stream_id, reason;
  bool queued;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_u32(a[1], "reason", &reason) || !arg_bool(a[2], "queued", &queued)) {
    return nullptr;
  }
  stream_step(self, [&](h2::StreamState& s) { s.recv_reset(stream_id, reason, queued); });
  return new_none();
}

PyObject* state_recv_eof(PyObject* self, PyObject*) {
  stream_step(self, [](h2::StreamState& s) { s.recv_eof(); });
  return new_none();
}

PyObject* state_send_close(PyObject* self, PyObject*) {
  return new_bool(stream_step(self, [](h2::StreamState& s) { return s.send_close(); }));
}

PyObject* state_set_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames{"stream_id", "reason", "initiator"};
  static constexpr ArgParser kParser("set_reset", kNames, 3, 3);
  PyObject* a[3];
  uint32_t stream_id, reason;
  Text initiator_text;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_u32(a[1], "reason", &reason) || !arg_str(a[2], "initiator", &initiator_text)) {
    return nullptr;
  }
  const std::optional<h2::Initiator> initiator = h2::parse_initiator(initiator_text.bytes);
  if (!initiator) return raise_h2_bad_initiator(initiator_text.bytes);
  stream_step(self, [&](h2::StreamState& s) { s.set_reset(stream_id, reason, *initiator); });
  return new_none();
}

PyObject* state_set_scheduled_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"reason"};
  static constexpr ArgParser kParser("set_scheduled_reset", kNames, 1, 1);
  PyObject* obj;
  uint32_t reason;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, "reason", &reason)) {
    return nullptr;
  }
  return new_bool(
      stream_step(self, [&](h2::StreamState& s) { return s.set_scheduled_reset(reason); }));
}

PyObject* state_get_scheduled_reset(PyObject* self, PyObject*) {
  return new_optional_u32(
      stream_step(self, [](h2::StreamState& s) { return s.scheduled_reset(); }));
}

PyObject* state_ensure_recv_open(PyObject* self, PyObject*) {
  h2::RecvCheck check;
  h2::StreamError error;
  uint32_t scheduled = 0;
  stream_step(self, [&](h2::StreamState& s) {
    check = s.ensure_recv_open();
    if (check == h2::RecvCheck::kFailed) error = s.error();
    if (check == h2::RecvCheck::kScheduledReset)
      scheduled = s.scheduled_reset().value_or(h2::kNoError);
  });
  switch (check) {
    case h2::RecvCheck::kOpen:
      return new_bool(true);
    case h2::RecvCheck::kEnded:
      return new_bool(false);
    case h2::RecvCheck::kFailed:
      return raise_h2_stream_failure(error);
    case h2::RecvCheck::kScheduledReset:
      return raise_h2_protocol(scheduled);
  }
  return nullptr;
}

template <bool (h2::StreamState::*kPredicate)() const>
PyObject* state_predicate(PyObject* self, PyObject*) {
  return new_bool(stream_step(self, [](h2::StreamState& s) { return (s.*kPredicate)(); }));
}

PyObject* state_repr(PyObject* self) {
  return new_text(stream_step(self, [](h2::StreamState& s) { return s.describe(); }));
}

#define QUILLET_PREDICATE(name, doc)                                              \
  {                                                                               \
#name, as_method < state_predicate < &h2::StreamState::name>>(), METH_NOARGS, \
        #name "($self, /)\n--\n\n" doc                                            \
  }

PyMethodDef kStateMethods[] = {
    {"send_open", as_method<state_send_open>(), kFast,
     "send_open($self, /, eos)\n--\n\n"
     "We send HEADERS (eos: with END_STREAM). H2UserError(\"unexpected_frame_type\") where a\n"
     "head may not be sent."},
    {"recv_open", as_method<state_recv_open>(), kFast,
     "recv_open($self, /, eos, informational)\n--\n\n"
     "The peer's HEADERS arrived (informational: a 1xx head). True when this head opened the\n"
     "stream; H2ProtocolError(1, ...) where a head may not arrive."},
    {"reserve_remote", as_method<state_reserve_remote>(), METH_NOARGS,
     "reserve_remote($self, /)\n--\n\nIdle -> ReservedRemote; H2ProtocolError(1, ...) otherwise."},
    {"reserve_local", as_method<state_reserve_local>(), METH_NOARGS,
     "reserve_local($self, /)\n--\n\n"
     "Idle -> ReservedLocal; H2UserError(\"unexpected_frame_type\") otherwise."},
    {"recv_close", as_method<state_recv_close>(), METH_NOARGS,
     "recv_close($self, /)\n--\n\n"
     "The peer's END_STREAM arrived; H2ProtocolError(1, ...) when its half was not open."},
    {"recv_reset", as_method<state_recv_reset>(), kFast,
     "recv_reset($self, /, stream_id, reason, queued)\n--\n\n"
     "The peer's RST_STREAM arrived (queued: frames of the stream wait to be sent)."},
    {"recv_eof", as_method<state_recv_eof>(), METH_NOARGS,
     "recv_eof($self, /)\n--\n\nThe transport ended: a stream that is not closed fails."},
    {"send_close", as_method<state_send_close>(), METH_NOARGS,
     "send_close($self, /)\n--\n\n"
     "We send END_STREAM after a streamed body. False, with nothing changed, when the local\n"
     "half is not streaming (a reset closed the stream meanwhile)."},
    {"set_reset", as_method<state_set_reset>(), kFast,
     "set_reset($self, /, stream_id, reason, initiator)\n--\n\n"
     "Close the stream as reset by initiator: \"user\", \"library\" or \"remote\"."},
    {"set_scheduled_reset", as_method<state_set_scheduled_reset>(), kFast,
     "set_scheduled_reset($self, /, reason)\n--\n\n"
     "Schedule a library reset; False, with nothing changed, when the stream is closed."},
    {"get_scheduled_reset", as_method<state_get_scheduled_reset>(), METH_NOARGS,
     "get_scheduled_reset($self, /)\n--\n\nThe scheduled reset's reason, or None."},
    {"ensure_recv_open", as_method<state_ensure_recv_open>(), METH_NOARGS,
     "ensure_recv_open($self, /)\n--\n\n"
     "Whether the receive half may still get frames. Raises the error a failed stream ended\n"
     "with: H2StreamError for a reset, H2ProtocolError for a GOAWAY or a scheduled reset,\n"
     "ConnectionClosedError for a transport failure."},
    QUILLET_PREDICATE(is_idle, "No frame sent or received yet."),
    QUILLET_PREDICATE(is_closed, "The stream is over."),
    QUILLET_PREDICATE(is_reset, "Closed by anything but END_STREAM in both directions."),
    QUILLET_PREDICATE(is_scheduled_reset, "Closed by a library reset not sent yet."),
    QUILLET_PREDICATE(is_local_error,
                      "Closed by this side: a scheduled reset, a user or library reset or\n"
                      "GOAWAY, or a transport failure."),
    QUILLET_PREDICATE(is_remote_reset, "Closed by the peer's RST_STREAM."),
    QUILLET_PREDICATE(is_send_streaming, "Our head is sent and DATA may follow."),
    QUILLET_PREDICATE(is_send_closed, "We may send nothing more."),
    QUILLET_PREDICATE(is_recv_headers, "The peer's head is still to come."),
    QUILLET_PREDICATE(is_recv_streaming, "The peer's head is done and DATA may arrive."),
    QUILLET_PREDICATE(is_recv_end_stream, "The peer sent END_STREAM."),
    {nullptr, nullptr, 0, nullptr},
};

#undef QUILLET_PREDICATE

PyType_Slot kStateSlots[] = {
    {Py_tp_doc, const_cast<char*>("H2StreamState()\n--\n\n"
                                  "The state of one HTTP/2 stream (RFC 9113 section 5.1); it "
                                  "starts Idle.")},
    {Py_tp_new, as_slot<state_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<StreamBox>>()},
    {Py_tp_repr, as_slot<state_repr>()},
    {Py_tp_methods, kStateMethods},
    {0, nullptr},
};

PyType_Spec kStateSpec = {QUILLET_CLASS_NAME("H2StreamState"), sizeof(Boxed<StreamBox>), 0, 0,
                          kStateSlots};

TypeHolder g_state_type(&kStateSpec, Subclassing::kFinal, Construction::kFromPython);

// ---------------------------------------------------------------------------------------------
// H2FlowControl

using FlowBox = Locked<h2::FlowControl>;

PyObject* flow_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!no_call_args("H2FlowControl", args, kwargs)) return nullptr;
  return box_new<FlowBox>(type);
}

PyObject* flow_outcome(h2::FlowResult result, uint32_t size) {
  switch (result) {
    case h2::FlowResult::kOk:
      return new_none();
    case h2::FlowResult::kSizeTooLarge:
      return raise_h2_window_too_large(size);
    case h2::FlowResult::kOverflow:
      break;
  }
  return raise_h2_flow_control(h2::kFlowControlError);
}

// One of the window operations: its name, its argument's name and the operation.
template <const char* kMethod, const char* kArg, h2::FlowResult (h2::FlowControl::*kOp)(uint32_t)>
PyObject* flow_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{kArg};
  static constexpr ArgParser kParser(kMethod, kNames, 1, 1);
  PyObject* obj;
  uint32_t size;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, kArg, &size)) return nullptr;
  const h2::FlowResult result =
      with_lock<h2::FlowControl>(self, [&](h2::FlowControl& f) { return (f.*kOp)(size); });
  return flow_outcome(result, size);
}

constexpr char kCapacity[] = "capacity";
constexpr char kSz[] = "sz";
constexpr char kClaimCapacity[] = "claim_capacity";
constexpr char kAssignCapacity[] = "assign_capacity";
constexpr char kIncWindow[] = "inc_window";
constexpr char kDecSendWindow[] = "dec_send_window";
constexpr char kDecRecvWindow[] = "dec_recv_window";
constexpr char kSendData[] = "send_data";

PyObject* flow_window_size(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(
      with_lock<h2::FlowControl>(self, [](h2::FlowControl& f) { return f.window_size(); }));
}

PyObject* flow_available(PyObject* self, PyObject*) {
  return PyLong_FromLong(
      with_lock<h2::FlowControl>(self, [](h2::FlowControl& f) { return f.available(); }));
}

PyObject* flow_has_unavailable(PyObject* self, PyObject*) {
  return new_bool(
      with_lock<h2::FlowControl>(self, [](h2::FlowControl& f) { return f.has_unavailable(); }));
}

PyObject* flow_unclaimed_capacity(PyObject* self, PyObject*) {
  std::optional<uint32_t> unclaimed;
  const h2::FlowResult result = with_lock<h2::FlowControl>(
      self, [&](h2::FlowControl& f) { return f.unclaimed_capacity(&unclaimed); });
  if (result != h2::FlowResult::kOk) return flow_outcome(result, 0);
  return new_optional_u32(unclaimed);
}

void append_signed(std::string& out, int32_t value) {
  if (value < 0) out += '-';
  append_decimal(out, value < 0 ? 0ull - uint64_t(int64_t(value)) : uint64_t(value));
}

PyObject* flow_repr(PyObject* self) {
  const auto [window, available] = with_lock<h2::FlowControl>(self, [](h2::FlowControl& f) {
    return std::pair<int32_t, int32_t>(f.raw_window_size(), f.available());
  });
  std::string text = "FlowControl { window_size: Window(";
  append_signed(text, window);
  text += "), available: Window(";
  append_signed(text, available);
  text += ") }";
  return new_text(text);
}

PyMethodDef kFlowMethods[] = {
    {"window_size", as_method<flow_window_size>(), METH_NOARGS,
     "window_size($self, /)\n--\n\nThe window the peer knows about, or 0 while it is negative."},
    {"available", as_method<flow_available>(), METH_NOARGS,
     "available($self, /)\n--\n\nThe capacity assigned and not yet used (may be negative)."},
    {"has_unavailable", as_method<flow_has_unavailable>(), METH_NOARGS,
     "has_unavailable($self, /)\n--\n\n"
     "The window is not negative and part of it is not assigned as capacity."},
    {"unclaimed_capacity", as_method<flow_unclaimed_capacity>(), METH_NOARGS,
     "unclaimed_capacity($self, /)\n--\n\n"
     "The window to give back in a WINDOW_UPDATE once it is at least half the window, else\n"
     "None."},
    {"claim_capacity",
     as_method<flow_step<kClaimCapacity, kCapacity, &h2::FlowControl::claim_capacity>>(), kFast,
     "claim_capacity($self, /, capacity)\n--\n\navailable -= capacity."},
    {"assign_capacity",
     as_method<flow_step<kAssignCapacity, kCapacity, &h2::FlowControl::assign_capacity>>(), kFast,
     "assign_capacity($self, /, capacity)\n--\n\navailable += capacity."},
    {"inc_window", as_method<flow_step<kIncWindow, kSz, &h2::FlowControl::inc_window>>(), kFast,
     "inc_window($self, /, sz)\n--\n\nwindow_size += sz."},
    {"dec_send_window",
     as_method<flow_step<kDecSendWindow, kSz, &h2::FlowControl::dec_send_window>>(), kFast,
     "dec_send_window($self, /, sz)\n--\n\nwindow_size -= sz."},
    {"dec_recv_window",
     as_method<flow_step<kDecRecvWindow, kSz, &h2::FlowControl::dec_recv_window>>(), kFast,
     "dec_recv_window($self, /, sz)\n--\n\n"
     "Received DATA: window_size -= sz, then available -= sz."},
    {"send_data", as_method<flow_step<kSendData, kSz, &h2::FlowControl::send_data>>(), kFast,
     "send_data($self, /, sz)\n--\n\n"
     "Sent DATA: needs window_size >= sz; then window_size -= sz and available -= sz."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kFlowSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H2FlowControl()\n--\n\n"
                       "Flow-control window arithmetic for one direction of one stream or of the\n"
                       "connection (RFC 9113 section 6.9), in checked signed 32-bit arithmetic.\n"
                       "A size above 2147483647 raises ValueError; an overflow raises\n"
                       "H2FlowControlError(3).")},
    {Py_tp_new, as_slot<flow_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<FlowBox>>()},
    {Py_tp_repr, as_slot<flow_repr>()},
    {Py_tp_methods, kFlowMethods},
    {0, nullptr},
};

PyType_Spec kFlowSpec = {QUILLET_CLASS_NAME("H2FlowControl"), sizeof(Boxed<FlowBox>), 0, 0,
                         kFlowSlots};

TypeHolder g_flow_type(&kFlowSpec, Subclassing::kFinal, Construction::kFromPython);

// ---------------------------------------------------------------------------------------------
// H2ContentLength

using LengthBox = Locked<h2::ContentLength>;

PyObject* length_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames{"is_head"};
  static constexpr ArgParser kParser("H2ContentLength", kNames, 1, 0);
  PyObject* obj = nullptr;
  bool is_head = false;
  if (!kParser.parse_call(args, kwargs, &obj)) return nullptr;
  if (obj != nullptr && !arg_bool(obj, "is_head", &is_head)) return nullptr;
  return box_new<LengthBox>(type, is_head);
}

// The one unsigned 64-bit argument of set() and dec().
bool one_u64(const ArgParser& parser, const char* name, PyObject* const* args, Py_ssize_t nargs,
             PyObject* kwnames, uint64_t* out) {
  PyObject* obj;
  return parser.parse(args, nargs, kwnames, &obj) && arg_u64(obj, name, out);
}

PyObject* length_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"value"};
  static constexpr ArgParser kParser("set", kNames, 1, 1);
  uint64_t value;
  if (!one_u64(kParser, "value", args, nargs, kwnames, &value)) return nullptr;
  with_lock<h2::ContentLength>(self, [&](h2::ContentLength& c) { c.set(value); });
  return new_none();
}

PyObject* length_dec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"len"};
  static constexpr ArgParser kParser("dec", kNames, 1, 1);
  uint64_t len;
  if (!one_u64(kParser, "len", args, nargs, kwnames, &len)) return nullptr;
  return new_bool(
      with_lock<h2::ContentLength>(self, [&](h2::ContentLength& c) { return c.dec(len); }));
}

PyObject* length_is_head(PyObject* self, PyObject*) {
  return new_bool(
      with_lock<h2::ContentLength>(self, [](h2::ContentLength& c) { return c.is_head(); }));
}

PyObject* length_is_satisfied(PyObject* self, PyObject*) {
  return new_bool(
      with_lock<h2::ContentLength>(self, [](h2::ContentLength& c) { return c.is_satisfied(); }));
}

PyMethodDef kLengthMethods[] = {
    {"is_head", as_method<length_is_head>(), METH_NOARGS,
     "is_head($self, /)\n--\n\nThe response to a HEAD request: no body allowed."},
    {"set", as_method<length_set>(), kFast,
     "set($self, /, value)\n--\n\nThe declared content-length (ignored for a HEAD response)."},
    {"dec", as_method<length_dec>(), kFast,
     "dec($self, /, len)\n--\n\n"
     "Count one DATA payload. False, with nothing changed, when it goes past what may arrive."},
    {"is_satisfied", as_method<length_is_satisfied>(), METH_NOARGS,
     "is_satisfied($self, /)\n--\n\nFalse while declared bytes are still missing."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLengthSlots[] = {
    {Py_tp_doc, const_cast<char*>("H2ContentLength(is_head=False)\n--\n\n"
                                  "Received DATA checked against a declared content-length "
                                  "(RFC 9113 section 8.1.1).")},
    {Py_tp_new, as_slot<length_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<LengthBox>>()},
    {Py_tp_methods, kLengthMethods},
    {0, nullptr},
};

PyType_Spec kLengthSpec = {QUILLET_CLASS_NAME("H2ContentLength"), sizeof(Boxed<LengthBox>), 0, 0,
                           kLengthSlots};

TypeHolder g_length_type(&kLengthSpec, Subclassing::kFinal, Construction::kFromPython);

// ---------------------------------------------------------------------------------------------
// H2DataFrameBudget

using BudgetBox = Locked<h2::DataFrameBudget>;

PyObject* budget_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 2> kNames{"configured", "connection_window"};
  static constexpr ArgParser kParser("H2DataFrameBudget", kNames, 2, 0);
  PyObject* a[2] = {nullptr, nullptr};
  std::optional<uint32_t> configured, connection_window;
  if (!kParser.parse_call(args, kwargs, a) ||
      !arg_optional(arg_u32, a[0], "configured", &configured) ||
      !arg_optional(arg_u32, a[1], "connection_window", &connection_window)) {
    return nullptr;
  }
  return box_new<BudgetBox>(type, configured, connection_window);
}

PyObject* budget_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"payload_len"};
  static constexpr ArgParser kParser("record", kNames, 1, 1);
  PyObject* obj;
  uint32_t payload_len;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, "payload_len", &payload_len)) {
    return nullptr;
  }
  const std::optional<uint32_t> charge = with_lock<h2::DataFrameBudget>(
      self, [&](h2::DataFrameBudget& b) { return b.record(payload_len); });
  if (!charge) return raise_h2_too_many_data_frames();
  return PyLong_FromUnsignedLong(*charge);
}

PyObject* budget_release(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"charge"};
  static constexpr ArgParser kParser("release", kNames, 1, 1);
  PyObject* obj;
  uint32_t charge;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, "charge", &charge)) {
    return nullptr;
  }
  with_lock<h2::DataFrameBudget>(self, [&](h2::DataFrameBudget& b) { b.release(charge); });
  return new_none();
}

PyObject* budget_available(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(
      with_lock<h2::DataFrameBudget>(self, [](h2::DataFrameBudget& b) { return b.available(); }));
}

PyObject* budget_empty_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(with_lock<h2::DataFrameBudget>(
      self, [](h2::DataFrameBudget& b) { return b.empty_frames(); }));
}

PyMethodDef kBudgetMethods[] = {
    {"record", as_method<budget_record>(), kFast,
     "record($self, /, payload_len)\n--\n\n"
     "Charge one received DATA frame and return the charge to release once its chunk is\n"
     "consumed. H2ProtocolError(11, \"too_many_data_frames\") when the budget cannot pay for\n"
     "it or past 100 empty frames."},
    {"release", as_method<budget_release>(), kFast,
     "release($self, /, charge)\n--\n\nGive a charge back, never past the budget's maximum."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kBudgetProperties[] = {
    {"available", as_getter<budget_available>(), nullptr, "The budget currently left.", nullptr},
    {"empty_frames", as_getter<budget_empty_frames>(), nullptr,
     "Empty DATA frames recorded so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBudgetSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H2DataFrameBudget(configured=None, connection_window=None)\n--\n\n"
                       "A budget against floods of small DATA frames: configured, or half the\n"
                       "connection receive window (65535 when None) but at least 25600.")},
    {Py_tp_new, as_slot<budget_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<BudgetBox>>()},
    {Py_tp_methods, kBudgetMethods},
    {Py_tp_getset, kBudgetProperties},
    {0, nullptr},
};

PyType_Spec kBudgetSpec = {QUILLET_CLASS_NAME("H2DataFrameBudget"), sizeof(Boxed<BudgetBox>), 0, 0,
                           kBudgetSlots};

TypeHolder g_budget_type(&kBudgetSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* stream_state_type() {
  return g_state_type.get();
}
PyTypeObject* flow_control_type() {
  return g_flow_type.get();
}
PyTypeObject* content_length_type() {
  return g_length_type.get();
}
PyTypeObject* data_frame_budget_type() {
  return g_budget_type.get();
}

}  // namespace quillet::py
