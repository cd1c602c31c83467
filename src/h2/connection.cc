// H2Streams: the Python face of h2::Connection. Two locks: the state lock over the connection
// and the decoder lock over the frame decoder. `receive` and `prime` take only the decoder lock,
// so decoding a read (HPACK included) never waits on the stream state; the one path that holds
// both is the acknowledgement of our SETTINGS, which takes the state lock first.
//
// Each method converts its arguments, takes the state lock once for the transition, and makes
// its Python results after unlocking; what a transition lets go of goes into a HandleBin
// declared before the lock, so it is released after the unlock.
#include "src/h2/connection.h"

#include "src/h2/frames.h"
#include "src/h2/verdicts.h"
#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/handle.h"
#include "src/py/lock.h"
#include "src/py/repr.h"
#include "src/py/types.h"
#include "wire/h2/connection.h"
#include "wire/h2/frame.h"
#include "wire/h2/header_block.h"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillet::py {
namespace {

struct StreamsBox {
  explicit StreamsBox(const h2::ConnectionConfig& config) : conn(config), decoder(config.server) {}
  ObjectLock state_lock;
  h2::Connection conn;  // guarded by `state_lock`
  ObjectLock decoder_lock;
  h2::FrameDecoder decoder;  // guarded by `decoder_lock`
};

StreamsBox& box(PyObject* self) {
  return unbox<StreamsBox>(self);
}

// The decoder as the connection sets its limits: under the decoder lock, taken inside the state
// lock.
class DecoderUnderLock final : public h2::DecoderLimits {
 public:
  explicit DecoderUnderLock(StreamsBox& b) : b_(b) {}
  void set_recv_limits(uint32_t max_frame_size, uint32_t max_header_list_size) override {
    Guard guard(b_.decoder_lock);
    b_.decoder.set_max_frame_size(max_frame_size);
    b_.decoder.set_max_header_list_size(max_header_list_size);
  }

 private:
  StreamsBox& b_;
};

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// --- results made after unlocking ---

PyObject* to_object(bool value) {
  return new_bool(value);
}
PyObject* to_object(uint32_t value) {
  return PyLong_FromUnsignedLong(value);
}
PyObject* to_object(int32_t value) {
  return PyLong_FromLong(value);
}
PyObject* to_object(const std::optional<uint32_t>& value) {
  return value ? PyLong_FromUnsignedLong(*value) : new_none();
}
PyObject* to_object(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

// A list of the handles' objects (None for an empty one); takes them all.
PyObject* handle_list(std::vector<Handle>&& handles) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(handles.size())));
  if (!list) return nullptr;  // the handles are released as the vector goes
  for (size_t i = 0; i < handles.size(); ++i)
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), handle_to_object(std::move(handles[i])));
  return list.release();
}

// --- construction ---

PyObject* streams_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 12> kNames{"role",
                                                      "initial_window_size",
                                                      "connection_window",
                                                      "max_frame_size",
                                                      "max_header_list_size",
                                                      "max_send_buf_size",
                                                      "max_concurrent_streams",
                                                      "max_pending_accept_reset_streams",
                                                      "max_local_error_reset_streams",
                                                      "data_frame_budget",
                                                      "auto_date_header",
                                                      "enable_push"};
  static constexpr ArgParser kParser("H2Streams", kNames, 1, 6);
  PyObject* a[kNames.size()] = {};
  if (!kParser.parse_call(args, kwargs, a)) return nullptr;
  h2::ConnectionConfig c;
  Text role;
  if (!arg_str(a[0], "role", &role) ||
      !arg_u32(a[1], "initial_window_size", &c.initial_window_size) ||
      !arg_u32(a[2], "connection_window", &c.connection_window) ||
      !arg_u32(a[3], "max_frame_size", &c.max_frame_size) ||
      !arg_u32(a[4], "max_header_list_size", &c.max_header_list_size) ||
      !arg_u32(a[5], "max_send_buf_size", &c.max_send_buf_size) ||
      !arg_optional(arg_u32, a[6], "max_concurrent_streams", &c.max_concurrent_streams) ||
      (a[7] != nullptr &&
       !arg_u32(a[7], "max_pending_accept_reset_streams", &c.max_pending_accept_reset_streams)) ||
      (a[8] != nullptr && !arg_optional(arg_u32, a[8], "max_local_error_reset_streams",
                                        &c.max_local_error_reset_streams)) ||
      !arg_optional(arg_u32, a[9], "data_frame_budget", &c.data_frame_budget) ||
      (a[10] != nullptr && !arg_bool(a[10], "auto_date_header", &c.auto_date_header)) ||
      !arg_optional(arg_bool, a[11], "enable_push", &c.enable_push)) {
    return nullptr;
  }
  if (role.bytes == "server") {
    c.server = true;
  } else if (role.bytes != "client") {
    return raise_h2_bad_role(role.bytes);
  }
  if (const auto error = h2::validate(c)) {
    switch (*error) {
      case h2::ConfigError::kMaxFrameSize:
        return raise_h2_bad_max_frame_size(c.max_frame_size);
      case h2::ConfigError::kWindowSize:
        return raise_h2_windows_too_large();
    }
  }
  if (!install_handle_hooks()) return nullptr;
  return box_new<StreamsBox>(type, c);
}

// Subclasses initialise themselves; the state was made complete by __new__.
int streams_init(PyObject*, PyObject*, PyObject*) {
  return 0;
}

// The collector reads the held objects without the lock: no method holds it across anything
// that could start a collection.
int streams_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return box(self).conn.visit_handles(
      [visit, arg](void* obj) { return visit(static_cast<PyObject*>(obj), arg); });
}

int streams_clear(PyObject* self) {
  StreamsBox& b = box(self);
  HandleBin bin;
  Guard guard(b.state_lock);
  b.conn.clear_handles(bin);
  return 0;
}

// --- handshake, inbound bytes, settings and PING ---

PyObject* streams_begin(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  Guard guard(b.state_lock);
  DecoderUnderLock decoder(b);
  b.conn.begin(decoder);
  return new_none();
}

bool data_arg(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              std::string_view* data) {
  static constexpr std::array<const char*, 1> kNames{"data"};
  const ArgParser parser(function, kNames, 1, 1);
  PyObject* obj;
  return parser.parse(args, nargs, kwnames, &obj) && arg_bytes(obj, "data", data);
}

PyObject* streams_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  std::string_view data;
  if (!data_arg("receive", args, nargs, kwnames, &data)) return nullptr;
  StreamsBox& b = box(self);
  h2::DecodeBatch batch;  // views `data`, which the caller holds until we return
  std::optional<h2::FrameError> error;
  {
    Guard guard(b.decoder_lock);
    error = b.decoder.decode(data, &batch);
  }
  if (error) return raise_h2_frame_error(*error);
  return frame_events_list(batch);
}

PyObject* streams_prime(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  std::string_view data;
  if (!data_arg("prime", args, nargs, kwnames, &data)) return nullptr;
  StreamsBox& b = box(self);
  h2::PrefaceMatch match;
  {
    Guard guard(b.decoder_lock);
    match = b.decoder.prime(data);
  }
  switch (match) {
    case h2::PrefaceMatch::kComplete:
      return new_bool(true);
    case h2::PrefaceMatch::kIncomplete:
      return new_none();
    case h2::PrefaceMatch::kMismatch:
      break;
  }
  return new_bool(false);
}

const FrameFields* frame_arg(const char* function, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PyTypeObject* type) {
  static constexpr std::array<const char*, 1> kNames{"frame"};
  const ArgParser parser(function, kNames, 1, 1);
  PyObject* obj;
  if (!parser.parse(args, nargs, kwnames, &obj)) return nullptr;
  return frame_fields(obj, type, "frame");
}

PyObject* streams_recv_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  const FrameFields* frame =
      frame_arg("recv_settings", args, nargs, kwnames, frame_settings_type());
  if (frame == nullptr) return nullptr;
  StreamsBox& b = box(self);
  h2::Connection::SettingsResult result;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    DecoderUnderLock decoder(b);
    failure = b.conn.recv_settings(frame->flag, frame->settings, decoder, &result);
  }
  if (failure) return raise_h2_failure(*failure);
  PyObject* wake = handle_list(std::move(result.wake_windows));
  if (wake == nullptr) return nullptr;
  return Py_BuildValue("(NNk)", new_bool(result.initial), wake, (unsigned long)result.flags);
}

PyObject* streams_recv_ping(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  const FrameFields* frame = frame_arg("recv_ping", args, nargs, kwnames, frame_ping_type());
  if (frame == nullptr) return nullptr;
  const std::string_view payload(PyBytes_AS_STRING(frame->bytes.get()),
                                 size_t(PyBytes_GET_SIZE(frame->bytes.get())));
  StreamsBox& b = box(self);
  uint32_t flags = 0;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.recv_ping(frame->flag, payload, &flags);
  }
  if (failure) return raise_h2_failure(*failure);
  return to_object(flags);
}

// --- stream slots and opening ---

PyObject* streams_try_claim_slot(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  bool claimed;
  {
    Guard guard(b.state_lock);
    claimed = b.conn.try_claim_slot();
  }
  return new_bool(claimed);
}

PyObject* streams_release_slot_count(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  Guard guard(b.state_lock);
  b.conn.release_slot_count();
  return new_none();
}

PyObject* streams_apply_stream_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"limit"};
  static constexpr ArgParser kParser("apply_stream_limit", kNames, 1, 1);
  PyObject* obj;
  std::optional<uint32_t> limit;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_optional(arg_u32, obj, "limit", &limit)) {
    return nullptr;
  }
  StreamsBox& b = box(self);
  Guard guard(b.state_lock);
  b.conn.apply_stream_limit(limit);
  return new_none();
}

// Gives the caller's claimed slot back after its arguments were refused.
PyObject* give_slot_back(StreamsBox& b) {
  {
    Guard guard(b.state_lock);
    b.conn.release_slot_count();
  }
  return nullptr;
}

PyObject* streams_open_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 8> kNames{"method",  "target", "headers", "end_stream",
                                                     "is_head", "handle", "scheme",  "authority"};
  static constexpr ArgParser kParser("open_stream", kNames, 6, 6);
  StreamsBox& b = box(self);
  PyObject* a[8] = {};
  Text method, target, scheme_text, authority_text;
  HeaderMap fields;
  h2::Connection::OpenRequest request;
  // The caller claimed a slot before the call: every refusal gives it back.
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_str(a[0], "method", &method) ||
      !arg_str(a[1], "target", &target) ||
      (a[2] != Py_None && !arg_header_map(a[2], "headers", &fields)) ||
      !arg_bool(a[3], "end_stream", &request.end_stream) ||
      !arg_bool(a[4], "is_head", &request.is_head) ||
      (a[6] != nullptr && a[6] != Py_None && !arg_str(a[6], "scheme", &scheme_text)) ||
      (a[7] != nullptr && a[7] != Py_None && !arg_str(a[7], "authority", &authority_text))) {
    return give_slot_back(b);
  }
  std::optional<std::string_view> scheme, authority;
  if (a[6] != nullptr && a[6] != Py_None) scheme = scheme_text.bytes;
  if (a[7] != nullptr && a[7] != Py_None) authority = authority_text.bytes;

  // The head is built before the lock; whether it was refused is reported only if the
  // connection could otherwise open the stream.
  h2::hpack::PseudoHeaders pseudo;
  UriError uri_error = UriError::kEmpty;
  const std::optional<h2::RequestBlockError> head_error =
      h2::build_request_pseudo(method.bytes, target.bytes, scheme, authority, &pseudo, &uri_error);
  const bool fields_refused = !head_error && !h2::send_headers_allowed(fields);
  request.pseudo = &pseudo;
  request.fields = &fields;
  request.head_refused = head_error || fields_refused;

  HandleBin bin;
  std::optional<uint32_t> id;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.open_stream(request, handle_from(a[5]), &id, bin);
  }
  if (failure && failure->kind == h2::FailureKind::kRequestHead) {
    if (fields_refused) return raise_h2_malformed_headers();
    switch (*head_error) {
      case h2::RequestBlockError::kMethod:
        return raise_invalid_method();
      case h2::RequestBlockError::kUri:
        return raise_invalid_url(uri_error);
      case h2::RequestBlockError::kBarePath:
        return raise_h2_bare_path();
    }
  }
  if (failure) return raise_h2_failure(*failure);
  return to_object(id);
}

// --- the pending output ---

void give_back_spare(PyObject* owner, std::string&& buffer) noexcept {
  StreamsBox& b = box(owner);
  Guard guard(b.state_lock);
  b.conn.give_back_spare(std::move(buffer));
}

PyObject* streams_take_pending(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  std::string batch;
  bool stopping = false;
  {
    Guard guard(b.state_lock);
    batch = b.conn.take_pending(&stopping);
  }
  PyObject* view = write_batch_view(self, std::move(batch), give_back_spare);
  if (view == nullptr) {
    // The bytes are still ours: they go back ahead of anything queued meanwhile.
    Guard guard(b.state_lock);
    b.conn.restore_pending(std::move(batch));
    return nullptr;
  }
  return Py_BuildValue("(NN)", view, new_bool(stopping));
}

PyObject* streams_credit_written(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  std::vector<Handle> woken;
  {
    Guard guard(b.state_lock);
    woken = b.conn.credit_written();
  }
  return handle_list(std::move(woken));
}

PyObject* streams_stop_pump(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  Guard guard(b.state_lock);
  b.conn.stop_pump();
  return new_none();
}

PyObject* streams_begin_graceful_shutdown(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  uint32_t flags;
  {
    Guard guard(b.state_lock);
    flags = b.conn.begin_graceful_shutdown();
  }
  return to_object(flags);
}

// --- task handles ---

PyObject* streams_store_task_handles(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"read", "pump"};
  static constexpr ArgParser kParser("store_task_handles", kNames, 2, 2);
  PyObject* a[2];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  StreamsBox& b = box(self);
  HandleBin bin;
  {
    Guard guard(b.state_lock);
    b.conn.store_task_handles(handle_from(a[0]), handle_from(a[1]), bin);
  }
  return new_none();
}

template <Handle (h2::Connection::*kTake)()>
PyObject* streams_take_handle(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  Handle taken;
  {
    Guard guard(b.state_lock);
    taken = (b.conn.*kTake)();
  }
  return handle_to_object(std::move(taken));
}

// --- test hooks ---

template <void (h2::Connection::*kSet)(uint32_t)>
PyObject* streams_set_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"sid"};
  static constexpr ArgParser kParser("set_id", kNames, 1, 1);
  PyObject* obj;
  uint32_t sid;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, "sid", &sid)) return nullptr;
  StreamsBox& b = box(self);
  Guard guard(b.state_lock);
  (b.conn.*kSet)(sid);
  return new_none();
}

// --- inspection ---

// A property: one read of the connection under the lock, made into an object after.
template <auto kRead>
PyObject* get_property(PyObject* self, void*) {
  StreamsBox& b = box(self);
  decltype((b.conn.*kRead)()) value;
  {
    Guard guard(b.state_lock);
    value = (b.conn.*kRead)();
  }
  return to_object(value);
}

template <auto kRead>
PyObject* call_query(PyObject* self, PyObject*) {
  return get_property<kRead>(self, nullptr);
}

// A per-stream query: `kRead` of the stream's record, or `kAbsent` (None when not a bool) for a
// stream not in the table.
template <auto kRead>
PyObject* stream_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"sid"};
  static constexpr ArgParser kParser("stream query", kNames, 1, 1);
  PyObject* obj;
  uint32_t sid;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, "sid", &sid)) return nullptr;
  StreamsBox& b = box(self);
  using Value = decltype(kRead(std::declval<const h2::StreamRecord&>()));
  std::optional<Value> value;
  {
    Guard guard(b.state_lock);
    if (const h2::StreamRecord* r = b.conn.stream(sid)) value = kRead(*r);
  }
  if (!value) {
    if constexpr (std::is_same_v<Value, bool>) return new_bool(false);
    return new_none();
  }
  return to_object(*value);
}

constexpr auto kHasStream = [](const h2::StreamRecord&) { return true; };
constexpr auto kRecvEndStream = [](const h2::StreamRecord& r) {
  return r.state.is_recv_end_stream();
};
constexpr auto kStateName = [](const h2::StreamRecord& r) {
  return h2::phase_name(r.state.phase());
};
constexpr auto kRecvUnreleased = [](const h2::StreamRecord& r) { return r.recv_unreleased; };
constexpr auto kRecvReclaimed = [](const h2::StreamRecord& r) { return r.recv_reclaimed; };
constexpr auto kBudgetCharged = [](const h2::StreamRecord& r) { return r.budget_charged; };
constexpr auto kSendBuffered = [](const h2::StreamRecord& r) { return r.send_buffered; };
constexpr auto kSendWindow = [](const h2::StreamRecord& r) {
  return r.send_window.raw_window_size();
};

PyObject* streams_repr(PyObject* self) {
  StreamsBox& b = box(self);
  ReprWriter w("H2Streams");
  {
    Guard guard(b.state_lock);
    const h2::Connection& c = b.conn;
    w.raw_field("role", c.is_server() ? "server" : "client")
        .field("streams", uint64_t(c.table_size()))
        .field("active", uint64_t(c.num_streams()))
        .field("failed", c.failed())
        .field("goaway", c.goaway_received());
  }
  return w.finish();
}

#define QUERY(name, fn, doc) \
  { name, as_method<fn>(), METH_NOARGS, doc }
#define STREAM_QUERY(name, read, doc) \
  { name, as_method<stream_query<read>>(), kFast, name "($self, sid, /)\n--\n\n" doc }

PyMethodDef kMethods[] = {
    {"begin", as_method<streams_begin>(), METH_NOARGS,
     "begin($self, /)\n--\n\nQueue the handshake: the client preface (client), our SETTINGS and "
     "the connection WINDOW_UPDATE."},
    {"receive", as_method<streams_receive>(), kFast,
     "receive($self, data, /)\n--\n\nDecode received bytes; returns the frames now complete."},
    {"prime", as_method<streams_prime>(), kFast,
     "prime($self, data, /)\n--\n\nSeed the decoder with bytes already read: None while the "
     "client preface is incomplete, False on a mismatch, True otherwise."},
    {"recv_settings", as_method<streams_recv_settings>(), kFast,
     "recv_settings($self, frame, /)\n--\n\nApply the peer's SETTINGS; returns (initial, "
     "wake_windows, flags)."},
    {"recv_ping", as_method<streams_recv_ping>(), kFast,
     "recv_ping($self, frame, /)\n--\n\nAnswer the peer's PING; returns flags."},
    QUERY("try_claim_slot", streams_try_claim_slot,
          "try_claim_slot($self, /)\n--\n\nClaim a local stream slot if the limit allows."),
    QUERY("can_open", call_query<&h2::Connection::can_open>,
          "can_open($self, /)\n--\n\nWhether a slot could be claimed now."),
    QUERY("release_slot_count", streams_release_slot_count,
          "release_slot_count($self, /)\n--\n\nGive back a claimed slot that did not become a "
          "stream."),
    {"apply_stream_limit", as_method<streams_apply_stream_limit>(), kFast,
     "apply_stream_limit($self, limit, /)\n--\n\nSet the cap on locally opened streams (None: "
     "unlimited)."},
    {"open_stream", as_method<streams_open_stream>(), kFast,
     "open_stream($self, method, target, headers, end_stream, is_head, handle, /, *, "
     "scheme=None, authority=None)\n--\n\nOpen a request stream on a claimed slot; returns its "
     "id, or None when the connection refuses new streams."},
    QUERY("take_pending", streams_take_pending,
          "take_pending($self, /)\n--\n\nMove the pending output out; returns (memoryview, "
          "stopping)."),
    QUERY("has_pending", call_query<&h2::Connection::has_pending>,
          "has_pending($self, /)\n--\n\nWhether output is waiting."),
    QUERY("stop_pump", streams_stop_pump,
          "stop_pump($self, /)\n--\n\nFrom now on take_pending reports stopping."),
    QUERY("credit_written", streams_credit_written,
          "credit_written($self, /)\n--\n\nThe batches taken are written; returns the handles "
          "of the streams whose data went out."),
    QUERY("begin_graceful_shutdown", streams_begin_graceful_shutdown,
          "begin_graceful_shutdown($self, /)\n--\n\nServer: queue GOAWAY(2147483647) and the "
          "shutdown PING; returns flags."),
    {"store_task_handles", as_method<streams_store_task_handles>(), kFast,
     "store_task_handles($self, read, pump, /)\n--\n\nKeep the driver's read and pump tasks."},
    QUERY("take_read_handle", streams_take_handle<&h2::Connection::take_read_handle>,
          "take_read_handle($self, /)\n--\n\nThe read task, once."),
    QUERY("take_pump_handle", streams_take_handle<&h2::Connection::take_pump_handle>,
          "take_pump_handle($self, /)\n--\n\nThe pump task, once."),
    STREAM_QUERY("has_stream", kHasStream, "Whether the stream is in the table."),
    STREAM_QUERY("is_recv_end_stream", kRecvEndStream, "Whether the peer ended its side."),
    STREAM_QUERY("stream_state", kStateName, "The stream's state name, or None."),
    STREAM_QUERY("stream_recv_unreleased", kRecvUnreleased,
                 "Received bytes not yet released, or None."),
    STREAM_QUERY("stream_recv_reclaimed", kRecvReclaimed,
                 "Whether the stream's in-flight capacity was reclaimed."),
    STREAM_QUERY("stream_data_budget_charged", kBudgetCharged,
                 "The stream's DATA-budget charge, or None."),
    STREAM_QUERY("stream_send_buffered", kSendBuffered,
                 "DATA queued and not yet credited as written, or None."),
    STREAM_QUERY("stream_send_window", kSendWindow, "The stream's send window, or None."),
    {"set_next_stream_id", as_method<streams_set_id<&h2::Connection::set_next_stream_id>>(), kFast,
     "set_next_stream_id($self, sid, /)\n--\n\nTest hook: the next client stream id."},
    {"set_max_stream_id", as_method<streams_set_id<&h2::Connection::set_max_stream_id>>(), kFast,
     "set_max_stream_id($self, sid, /)\n--\n\nTest hook: the highest peer stream id accepted."},
    {"set_last_processed_id", as_method<streams_set_id<&h2::Connection::set_last_processed_id>>(),
     kFast,
     "set_last_processed_id($self, sid, /)\n--\n\nTest hook: the last peer stream accepted."},
    {nullptr, nullptr, 0, nullptr},
};

#define PROPERTY(name, read, doc) \
  { name, as_getter<get_property<read>>(), nullptr, doc, nullptr }

PyGetSetDef kProperties[] = {
    PROPERTY("is_server", &h2::Connection::is_server, "Whether this is the server side."),
    PROPERTY("num_streams", &h2::Connection::num_streams, "Streams not yet closed."),
    PROPERTY("num_open_streams", &h2::Connection::num_open_streams, "Claimed local slots."),
    PROPERTY("stream_limit", &h2::Connection::stream_limit,
             "The cap on locally opened streams, or None."),
    PROPERTY("peer_max_concurrent_streams", &h2::Connection::peer_max_concurrent_streams,
             "The peer's SETTINGS_MAX_CONCURRENT_STREAMS, or None."),
    PROPERTY("peer_initial_window_size", &h2::Connection::peer_initial_window_size,
             "The peer's SETTINGS_INITIAL_WINDOW_SIZE."),
    PROPERTY("peer_max_frame_size", &h2::Connection::peer_max_frame_size,
             "The peer's SETTINGS_MAX_FRAME_SIZE."),
    PROPERTY("conn_send_window", &h2::Connection::conn_send_window,
             "The connection send window (0 while negative)."),
    PROPERTY("conn_recv_available", &h2::Connection::conn_recv_available,
             "The available connection receive window."),
    PROPERTY("data_frame_budget_available", &h2::Connection::budget_available,
             "What the DATA-frame budget has left."),
    PROPERTY("data_frame_budget_empty_frames", &h2::Connection::budget_empty_frames,
             "Empty DATA frames received."),
    PROPERTY("max_pending_accept_reset_streams", &h2::Connection::max_pending_accept_reset_streams,
             "The cap on peer resets of streams not yet accepted."),
    PROPERTY("max_local_error_reset_streams", &h2::Connection::max_local_error_reset_streams,
             "The cap on resets sent for peer errors, or None."),
    PROPERTY("local_error_resets", &h2::Connection::local_error_resets,
             "Resets sent for peer errors."),
    PROPERTY("graceful", &h2::Connection::graceful, "The graceful shutdown began."),
    PROPERTY("shutdown_final", &h2::Connection::shutdown_final,
             "The final GOAWAY of the graceful shutdown was queued."),
    PROPERTY("last_processed_id", &h2::Connection::last_processed_id,
             "The last peer stream accepted."),
    PROPERTY("max_stream_id", &h2::Connection::max_stream_id,
             "The highest peer stream id still accepted."),
    PROPERTY("goaway_replied", &h2::Connection::goaway_replied, "Our GOAWAY answered the peer's."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H2Streams(role, *, initial_window_size, connection_window, max_frame_size, "
                       "max_header_list_size, max_send_buf_size, max_concurrent_streams=None, "
                       "max_pending_accept_reset_streams=20, max_local_error_reset_streams=1024, "
                       "data_frame_budget=None, auto_date_header=True, enable_push=None)\n\n"
                       "The state of one HTTP/2 connection, client or server.")},
    {Py_tp_new, as_slot<streams_new>()},
    {Py_tp_init, as_slot<streams_init>()},
    {Py_tp_dealloc, as_slot<box_dealloc<StreamsBox>>()},
    {Py_tp_traverse, as_slot<streams_traverse>()},
    {Py_tp_clear, as_slot<streams_clear>()},
    {Py_tp_repr, as_slot<streams_repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H2Streams"), sizeof(Boxed<StreamsBox>), 0, 0, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kSubclassable, Construction::kFromPython);

}  // namespace

PyTypeObject* h2_streams_type() {
  if (!install_handle_hooks()) return nullptr;
  return g_type.get();
}

}  // namespace quillet::py
