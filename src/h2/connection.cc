// H2Streams: the Python face of h2::Connection. Two locks: the state lock over the connection
// and the decoder lock over the frame decoder. `receive` and `prime` take only the decoder lock,
// so decoding a read (HPACK included) never waits on the stream state; the one path that holds
// both is the acknowledgement of our SETTINGS, which takes the state lock first.
//
// Each method converts its arguments, takes the state lock once for the transition, and makes
// its Python results after unlocking; what a transition lets go of goes into a HandleBin
// declared before the lock, so it is released after the unlock.
#include "src/h2/connection.h"
#include "src/h2/codec.h"

#include "src/h2/frames.h"
#include "src/h2/verdicts.h"
#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/call.h"
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
  // The pairs of the last received header blocks, shared with their maps (src/http/
  // pair_cache.h); made with the first block that has fields (guarded by `decoder_lock`).
  std::shared_ptr<PairCache> pairs;
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

// The wire state and its lock, for the method-table entries of call.h.
Locked<h2::Connection> conn_of(PyObject* self) {
  StreamsBox& b = box(self);
  return {b.state_lock, b.conn};
}
using Entries = EntriesOf<conn_of>;

constexpr auto kToObject = [](auto value) { return to_object(value); };
constexpr auto kHandleList = [](std::vector<Handle> handles) {
  return handle_list(std::move(handles));
};
constexpr auto kVerdictObject = [](h2::ResetVerdict v) {
  return reset_verdict_object(std::move(v));
};

// --- construction ---

PyObject* streams_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 13> kNames{"role",
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
                                                      "enable_push",
                                                      "enable_connect_protocol"};
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
      !arg_optional(arg_bool, a[11], "enable_push", &c.enable_push) ||
      (a[12] != nullptr &&
       !arg_bool(a[12], "enable_connect_protocol", &c.enable_connect_protocol))) {
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
  std::shared_ptr<PairCache> pairs;
  {
    Guard guard(b.decoder_lock);
    error = b.decoder.decode(data, &batch);
    pairs = header_pairs(batch, &b.pairs);
  }
  if (error) return raise_h2_frame_error(*error);
  return frame_events_list(batch, pairs);
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
  static constexpr std::array<const char*, 9> kNames{"method",     "target",    "headers",
                                                     "end_stream", "is_head",   "handle",
                                                     "scheme",     "authority", "protocol"};
  static constexpr ArgParser kParser("open_stream", kNames, 6, 6);
  StreamsBox& b = box(self);
  PyObject* a[9] = {};
  Text method, target, scheme_text, authority_text, protocol_text;
  HeaderMap fields;
  h2::Connection::OpenRequest request;
  const auto given = [&a](size_t i) { return a[i] != nullptr && a[i] != Py_None; };
  // The caller claimed a slot before the call: every refusal gives it back.
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_str(a[0], "method", &method) ||
      !arg_str(a[1], "target", &target) ||
      (a[2] != Py_None && !arg_header_map(a[2], "headers", &fields)) ||
      !arg_bool(a[3], "end_stream", &request.end_stream) ||
      !arg_bool(a[4], "is_head", &request.is_head) ||
      (given(6) && !arg_str(a[6], "scheme", &scheme_text)) ||
      (given(7) && !arg_str(a[7], "authority", &authority_text)) ||
      (given(8) && !arg_str(a[8], "protocol", &protocol_text))) {
    return give_slot_back(b);
  }
  std::optional<std::string_view> scheme, authority, protocol;
  if (given(6)) scheme = scheme_text.bytes;
  if (given(7)) authority = authority_text.bytes;
  if (given(8)) protocol = protocol_text.bytes;

  // The head is built before the lock; whether it was refused is reported only if the
  // connection could otherwise open the stream.
  h2::hpack::PseudoHeaders pseudo;
  UriError uri_error = UriError::kEmpty;
  const std::optional<h2::RequestBlockError> head_error = h2::build_request_pseudo(
      method.bytes, target.bytes, scheme, authority, protocol, &pseudo, &uri_error);
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
    return raise_request_block_error(*head_error, uri_error);
  }
  if (failure) return raise_h2_failure(*failure);
  return to_object(id);
}

// --- sending ---

bool sid_arg(PyObject* obj, uint32_t* sid) {
  return arg_u32(obj, "sid", sid);
}

// The verdict as an object; what it still holds after a failure is released with it.
PyObject* send_result(h2::SendVerdict&& v) {
  return send_verdict_object(std::move(v));
}

PyObject* streams_send_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr std::array<const char*, 5> kNames{"sid", "data", "offset", "end_stream",
                                                     "max_frames"};
  static constexpr ArgParser kParser("send_data", kNames, 4, 4);
  PyObject* a[5];
  uint32_t sid, offset;
  uint32_t max_frames = 1;
  std::string_view data;
  bool end_stream;
  if (!kParser.parse(args, nargs, kwnames, a) || !sid_arg(a[0], &sid) ||
      !arg_bytes(a[1], "data", &data) || !arg_u32(a[2], "offset", &offset) ||
      !arg_bool(a[3], "end_stream", &end_stream) ||
      (a[4] != nullptr && !arg_u32(a[4], "max_frames", &max_frames))) {
    return nullptr;
  }
  if (max_frames == 0) {
    PyErr_SetString(PyExc_ValueError, "max_frames must be at least 1");
    return nullptr;
  }
  // Never read past the caller's bytes; an offset at their end is an empty send.
  if (offset > data.size()) return raise_h2_offset_past_end(offset, data.size());
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::SendVerdict v;
  {
    Guard guard(b.state_lock);
    v = b.conn.send_data_frames(sid, data.substr(offset), end_stream, max_frames, bin);
  }
  return send_result(std::move(v));
}

// Outbound fields: a HeaderMap (None for none where allowed) without the fields HTTP/2 forbids.
bool send_fields_arg(PyObject* obj, const char* name, bool none_allowed, HeaderMap* out) {
  if (none_allowed && (obj == nullptr || obj == Py_None)) return true;
  if (!arg_header_map(obj, name, out)) return false;
  if (!h2::send_headers_allowed(*out)) {
    raise_h2_malformed_headers();
    return false;
  }
  return true;
}

PyObject* streams_send_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"sid", "trailers"};
  static constexpr ArgParser kParser("send_trailers", kNames, 2, 2);
  PyObject* a[2];
  uint32_t sid;
  HeaderMap trailers;
  if (!kParser.parse(args, nargs, kwnames, a) || !sid_arg(a[0], &sid) ||
      !send_fields_arg(a[1], "trailers", false, &trailers)) {
    return nullptr;
  }
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::SendVerdict v;
  {
    Guard guard(b.state_lock);
    v = b.conn.send_trailers(sid, trailers, bin);
  }
  return send_result(std::move(v));
}

PyObject* streams_send_response_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr std::array<const char*, 4> kNames{"sid", "status", "headers", "end_stream"};
  static constexpr ArgParser kParser("send_response_head", kNames, 4, 4);
  PyObject* a[4];
  uint32_t sid, status;
  bool end_stream;
  HeaderMap fields;
  if (!kParser.parse(args, nargs, kwnames, a) || !sid_arg(a[0], &sid) ||
      !arg_u32(a[1], "status", &status) || !send_fields_arg(a[2], "headers", true, &fields) ||
      !arg_bool(a[3], "end_stream", &end_stream)) {
    return nullptr;
  }
  StreamsBox& b = box(self);
  h2::hpack::PseudoHeaders pseudo;
  // auto_date_header is fixed at construction, so read without the lock.
  if (const auto error =
          h2::build_response_head(status, b.conn.auto_date_header(), &fields, &pseudo)) {
    return raise_response_block_error(*error);
  }
  HandleBin bin;
  h2::SendVerdict v;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.send_response_head(sid, pseudo, fields, end_stream, &v, bin);
  }
  if (failure) return raise_h2_failure(*failure);
  return send_result(std::move(v));
}

PyObject* streams_next_capacity_wake(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  Handle next;
  {
    Guard guard(b.state_lock);
    next = b.conn.next_capacity_wake();
  }
  return handle_to_object(std::move(next));
}

// --- receiving ---

PyObject* streams_recv_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"frame", "spare"};
  static constexpr ArgParser kParser("recv_headers", kNames, 2, 1);
  PyObject* a[2] = {};
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  const FrameFields* frame = frame_fields(a[0], frame_headers_type(), "frame");
  if (frame == nullptr) return nullptr;
  h2::Connection::HeadersFrame f;
  f.stream_id = frame->stream_id;
  f.end_stream = frame->flag;
  f.status = frame->status;
  f.content_length = frame->content_length;
  f.content_length_invalid = frame->content_length_invalid;
  f.shape = frame->shape;
  f.over_size = frame->over_size;
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::RecvHeadersVerdict v;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.recv_headers(f, handle_from(a[1]), &v, bin);
  }
  if (failure) return raise_h2_failure(*failure);
  return recv_headers_verdict_object(std::move(v));
}

PyObject* streams_recv_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  const FrameFields* frame = frame_arg("recv_data", args, nargs, kwnames, frame_data_type());
  if (frame == nullptr) return nullptr;
  h2::Connection::DataFrame f;
  f.stream_id = frame->stream_id;
  f.end_stream = frame->flag;
  f.flow_controlled_len = frame->length;
  f.data_len = uint32_t(PyBytes_GET_SIZE(frame->bytes.get()));
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::RecvDataVerdict v;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.recv_data(f, &v, bin);
  }
  if (failure) return raise_h2_failure(*failure);
  return recv_data_verdict_object(std::move(v), frame->bytes.get());
}

PyObject* streams_recv_window_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  const FrameFields* frame =
      frame_arg("recv_window_update", args, nargs, kwnames, frame_window_update_type());
  if (frame == nullptr) return nullptr;
  StreamsBox& b = box(self);
  std::vector<Handle> wake;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.recv_window_update(frame->stream_id, frame->code, &wake);
  }
  if (failure) return raise_h2_failure(*failure);
  return handle_list(std::move(wake));
}

PyObject* streams_recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  const FrameFields* frame = frame_arg("recv_reset", args, nargs, kwnames, frame_rst_stream_type());
  if (frame == nullptr) return nullptr;
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::PeerResetVerdict v;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.recv_reset(frame->stream_id, frame->code, &v, bin);
  }
  if (failure) return raise_h2_failure(*failure);
  PyObject* stop = optional_stopped_object(v.stop);
  if (stop == nullptr) return nullptr;
  return Py_BuildValue("(NNNk)", handle_to_object(std::move(v.handle)), stop,
                       new_bool(v.notify_body), (unsigned long)v.flags);
}

bool initiator_arg(PyObject* obj, h2::Initiator* out) {
  if (obj == nullptr) return true;  // "user"
  Text text;
  if (!arg_str(obj, "initiator", &text)) return false;
  const std::optional<h2::Initiator> parsed = h2::parse_initiator(text.bytes);
  if (!parsed) {
    raise_h2_bad_initiator(text.bytes);
    return false;
  }
  *out = *parsed;
  return true;
}

PyObject* streams_reset_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames{"sid", "reason", "initiator"};
  static constexpr ArgParser kParser("reset_stream", kNames, 3, 2);
  PyObject* a[3] = {};
  uint32_t sid, reason;
  h2::Initiator initiator = h2::Initiator::kUser;
  if (!kParser.parse(args, nargs, kwnames, a) || !sid_arg(a[0], &sid) ||
      !arg_u32(a[1], "reason", &reason) || !initiator_arg(a[2], &initiator)) {
    return nullptr;
  }
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::ResetVerdict v;
  {
    Guard guard(b.state_lock);
    v = b.conn.reset_stream(sid, reason, initiator, bin);
  }
  return reset_verdict_object(std::move(v));
}

PyObject* streams_reset_on_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"sid", "reason"};
  static constexpr ArgParser kParser("reset_on_error", kNames, 2, 2);
  PyObject* a[2];
  uint32_t sid, reason;
  if (!kParser.parse(args, nargs, kwnames, a) || !sid_arg(a[0], &sid) ||
      !arg_u32(a[1], "reason", &reason)) {
    return nullptr;
  }
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::ResetVerdict v;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.reset_on_error(sid, reason, &v, bin);
  }
  if (failure) return raise_h2_failure(*failure);
  return reset_verdict_object(std::move(v));
}

constexpr std::array<const char*, 1> kSidName{"sid"};
constexpr ArgParser kAcloseBody("aclose_body", kSidName, 1, 1);
constexpr ArgParser kAccepted("accepted", kSidName, 1, 1);
constexpr ArgParser kInResetStore("in_reset_store", kSidName, 1, 1);
constexpr std::array<const char*, 2> kCapacityNames{"sid", "n"};
constexpr ArgParser kReleaseCapacity("release_capacity", kCapacityNames, 2, 2);
constexpr std::array<const char*, 2> kFrameNames{"sid", "payload_len"};
constexpr ArgParser kReleaseDataFrame("release_data_frame", kFrameNames, 2, 2);

// --- GOAWAY and failure ---

// [(handle, H2Stopped), ...]; takes the handles.
PyObject* stopped_pairs(std::vector<h2::StoppedStream>&& stopped) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(stopped.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < stopped.size(); ++i) {
    PyObject* stop = stopped_object(stopped[i].stop);
    if (stop == nullptr) return nullptr;
    PyObject* pair = Py_BuildValue("(NN)", handle_to_object(std::move(stopped[i].handle)), stop);
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair);
  }
  return list.release();
}

PyObject* streams_recv_go_away(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  const FrameFields* frame = frame_arg("recv_go_away", args, nargs, kwnames, frame_go_away_type());
  if (frame == nullptr) return nullptr;
  const std::string_view debug(PyBytes_AS_STRING(frame->bytes.get()),
                               size_t(PyBytes_GET_SIZE(frame->bytes.get())));
  StreamsBox& b = box(self);
  HandleBin bin;
  h2::Connection::GoAwayResult result;
  std::optional<h2::Failure> failure;
  {
    Guard guard(b.state_lock);
    failure = b.conn.recv_go_away(frame->stream_id, frame->code, debug, &result, bin);
  }
  if (failure) return raise_h2_failure(*failure);
  PyObject* pairs = stopped_pairs(std::move(result.aborted));
  if (pairs == nullptr) return nullptr;
  return Py_BuildValue("(Nk)", pairs, (unsigned long)result.flags);
}

PyObject* streams_send_goaway(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"reason"};
  static constexpr ArgParser kParser("send_goaway", kNames, 1, 1);
  PyObject* obj;
  uint32_t reason;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, "reason", &reason))
    return nullptr;
  StreamsBox& b = box(self);
  uint32_t flags;
  {
    Guard guard(b.state_lock);
    flags = b.conn.send_goaway(reason);
  }
  return to_object(flags);
}

PyObject* streams_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"exc", "message"};
  static constexpr ArgParser kParser("fail", kNames, 2, 0);
  PyObject* a[2] = {};
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  if (a[0] != nullptr && a[0] != Py_None && !PyExceptionInstance_Check(a[0])) {
    PyErr_Format(PyExc_TypeError, "exc must be an exception or None, not %.100s",
                 Py_TYPE(a[0])->tp_name);
    return nullptr;
  }
  Text message;
  message.bytes = "connection closed";
  if (a[1] != nullptr && !arg_str(a[1], "message", &message)) return nullptr;
  StreamsBox& b = box(self);
  HandleBin bin;
  std::vector<h2::StoppedStream> stopped;
  {
    Guard guard(b.state_lock);
    stopped = b.conn.fail(handle_from(a[0]), message.bytes, bin);
  }
  return stopped_pairs(std::move(stopped));
}

PyObject* streams_conn_error(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  h2::Connection::StoredError error;
  {
    Guard guard(b.state_lock);
    error = b.conn.conn_error();
  }
  if (error.exception) return handle_to_object(std::move(error.exception));
  if (!error.message) return new_none();
  return PyObject_CallFunction(exception_class(Exc::kConnectionClosedError), "s#",
                               error.message->data(), Py_ssize_t(error.message->size()));
}

PyObject* streams_goaway_info(PyObject* self, PyObject*) {
  StreamsBox& b = box(self);
  std::optional<h2::Connection::PeerGoAway> info;
  {
    Guard guard(b.state_lock);
    info = b.conn.goaway_info();
  }
  if (!info) return new_none();
  return Py_BuildValue("(kky#)", (unsigned long)info->last_stream_id,
                       (unsigned long)info->error_code, info->debug_data.data(),
                       Py_ssize_t(info->debug_data.size()));
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

// --- test hooks ---

constexpr ArgParser kSetId("set_id", kSidName, 1, 1);
using SetIdParams = Params<kSetId, arg_u32>;

// --- inspection ---

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
// A step of no argument on the state, its answer made by `build`.
#define STEP(name, fn, build, doc) \
  { name, Entries::step<fn, build>(), METH_NOARGS, doc }
#define SID_STEP(name, parser, fn, build, doc) \
  { name, Entries::call<member<fn>, build, Params<parser, arg_u32>>(), kFast, doc }
#define STREAM_QUERY(name, read, doc) \
  { name, as_method<stream_query<read>>(), kFast, name "($self, /, sid)\n--\n\n" doc }

PyMethodDef kMethods[] = {
    {"begin", as_method<streams_begin>(), METH_NOARGS,
     "begin($self, /)\n--\n\nQueue the handshake: the client preface (client), our SETTINGS and "
     "the connection WINDOW_UPDATE."},
    {"receive", as_method<streams_receive>(), kFast,
     "receive($self, /, data)\n--\n\nDecode received bytes; returns the frames now complete."},
    {"prime", as_method<streams_prime>(), kFast,
     "prime($self, /, data)\n--\n\nSeed the decoder with bytes already read: None while the "
     "client preface is incomplete, False on a mismatch, True otherwise."},
    {"recv_settings", as_method<streams_recv_settings>(), kFast,
     "recv_settings($self, /, frame)\n--\n\nApply the peer's SETTINGS; returns (initial, "
     "wake_windows, flags)."},
    {"recv_ping", as_method<streams_recv_ping>(), kFast,
     "recv_ping($self, /, frame)\n--\n\nAnswer the peer's PING; returns flags."},
    STEP("try_claim_slot", &h2::Connection::try_claim_slot, kToObject,
         "try_claim_slot($self, /)\n--\n\nClaim a local stream slot if the limit allows."),
    STEP("can_open", &h2::Connection::can_open, kToObject,
         "can_open($self, /)\n--\n\nWhether a slot could be claimed now."),
    STEP("release_slot_count", &h2::Connection::release_slot_count, none,
         "release_slot_count($self, /)\n--\n\nGive back a claimed slot that did not become a "
         "stream."),
    {"apply_stream_limit", as_method<streams_apply_stream_limit>(), kFast,
     "apply_stream_limit($self, /, limit)\n--\n\nSet the cap on locally opened streams (None: "
     "unlimited)."},
    {"open_stream", as_method<streams_open_stream>(), kFast,
     "open_stream($self, /, method, target, headers, end_stream, is_head, handle, *, "
     "scheme=None, authority=None, protocol=None)\n--\n\nOpen a request stream on a claimed "
     "slot; returns its id, or None when the connection refuses new streams. protocol: an "
     "extended CONNECT's :protocol (the peer must have enabled it)."},
    {"send_data", as_method<streams_send_data>(), kFast,
     "send_data($self, /, sid, data, offset, end_stream, *, max_frames=1)\n--\n\nQueue at "
     "most max_frames DATA frames of data[offset:]; returns an H2SendVerdict."},
    {"send_trailers", as_method<streams_send_trailers>(), kFast,
     "send_trailers($self, /, sid, trailers)\n--\n\nQueue trailers with END_STREAM."},
    {"send_response_head", as_method<streams_send_response_head>(), kFast,
     "send_response_head($self, /, sid, status, headers, end_stream)\n--\n\nServer: queue "
     "the response head."},
    QUERY("next_capacity_wake", streams_next_capacity_wake,
          "next_capacity_wake($self, /)\n--\n\nThe sender whose turn it now is, or None."),
    STEP("writer_start", &h2::Connection::writer_start, kToObject,
         "writer_start($self, /)\n--\n\nCount a body writer; False once released."),
    STEP("writer_end", &h2::Connection::writer_end, kToObject,
         "writer_end($self, /)\n--\n\nUncount a body writer; True for the last one after "
         "release_writers."),
    STEP("release_writers", &h2::Connection::release_writers, kToObject,
         "release_writers($self, /)\n--\n\nNo writer may start from now on; True when none "
         "is alive."),
    {"recv_headers", as_method<streams_recv_headers>(), kFast,
     "recv_headers($self, /, frame, spare=None)\n--\n\nApply the peer's HEADERS; returns an "
     "H2RecvHeadersVerdict."},
    {"recv_data", as_method<streams_recv_data>(), kFast,
     "recv_data($self, /, frame)\n--\n\nApply the peer's DATA; returns an H2RecvDataVerdict."},
    {"recv_window_update", as_method<streams_recv_window_update>(), kFast,
     "recv_window_update($self, /, frame)\n--\n\nApply the peer's WINDOW_UPDATE; returns the "
     "handles of the senders to wake."},
    {"recv_reset", as_method<streams_recv_reset>(), kFast,
     "recv_reset($self, /, frame)\n--\n\nApply the peer's RST_STREAM; returns (handle, stop, "
     "notify_body, flags)."},
    {"reset_stream", as_method<streams_reset_stream>(), kFast,
     "reset_stream($self, /, sid, reason, initiator='user')\n--\n\nReset a stream from this "
     "side; returns an H2ResetVerdict."},
    {"reset_on_error", as_method<streams_reset_on_error>(), kFast,
     "reset_on_error($self, /, sid, reason)\n--\n\nReset a stream for the peer's stream "
     "error; returns an H2ResetVerdict."},
    SID_STEP("aclose_body", kAcloseBody, &h2::Connection::aclose_body, kVerdictObject,
             "aclose_body($self, /, sid)\n--\n\nThe application closed the body reader; returns an "
             "H2ResetVerdict."),
    {"release_capacity",
     Entries::call<member<&h2::Connection::release_capacity>, kToObject,
                   Params<kReleaseCapacity, arg_u32, arg_u32>>(),
     kFast,
     "release_capacity($self, /, sid, n)\n--\n\nThe application consumed n bytes; returns "
     "flags."},
    {"release_data_frame",
     Entries::call<member<&h2::Connection::release_data_frame>, none,
                   Params<kReleaseDataFrame, arg_u32, arg_u32>>(),
     kFast,
     "release_data_frame($self, /, sid, payload_len)\n--\n\nReturn a small frame's budget "
     "charge."},
    SID_STEP("accepted", kAccepted, &h2::Connection::accepted, none,
             "accepted($self, /, sid)\n--\n\nServer: the application took the request."),
    SID_STEP("in_reset_store", kInResetStore, &h2::Connection::in_reset_store, kToObject,
             "in_reset_store($self, /, sid)\n--\n\nWhether the stream is remembered as reset."),
    {"recv_go_away", as_method<streams_recv_go_away>(), kFast,
     "recv_go_away($self, /, frame)\n--\n\nApply the peer's GOAWAY; returns (pairs, flags)."},
    STEP("maybe_goaway_reply", &h2::Connection::maybe_goaway_reply, kToObject,
         "maybe_goaway_reply($self, /)\n--\n\nAnswer the peer's GOAWAY once no stream is "
         "left; returns flags."),
    {"send_goaway", as_method<streams_send_goaway>(), kFast,
     "send_goaway($self, /, reason)\n--\n\nQueue a GOAWAY for a violation we found; returns "
     "flags."},
    {"fail", as_method<streams_fail>(), kFast,
     "fail($self, exc=None, message='connection closed')\n--\n\nStore the connection error "
     "(the first one stays) and stop every stream; returns [(handle, stop), ...]."},
    QUERY("conn_error", streams_conn_error,
          "conn_error($self, /)\n--\n\nThe stored connection error, or None."),
    QUERY("goaway_info", streams_goaway_info,
          "goaway_info($self, /)\n--\n\n(last_stream_id, error_code, debug_data) of the "
          "peer's GOAWAY, or None."),
    STEP("is_closed", &h2::Connection::is_closed, kToObject,
         "is_closed($self, /)\n--\n\nNo more requests can be served."),
    STEP("is_failed", &h2::Connection::failed, kToObject,
         "is_failed($self, /)\n--\n\nA connection error is stored."),
    QUERY("take_pending", streams_take_pending,
          "take_pending($self, /)\n--\n\nMove the pending output out; returns (memoryview, "
          "stopping)."),
    STEP("has_pending", &h2::Connection::has_pending, kToObject,
         "has_pending($self, /)\n--\n\nWhether output is waiting."),
    STEP("stop_pump", &h2::Connection::stop_pump, none,
         "stop_pump($self, /)\n--\n\nFrom now on take_pending reports stopping."),
    STEP("credit_written", &h2::Connection::credit_written, kHandleList,
         "credit_written($self, /)\n--\n\nThe batches taken are written; returns the handles "
         "of the streams whose data went out."),
    STEP("begin_graceful_shutdown", &h2::Connection::begin_graceful_shutdown, kToObject,
         "begin_graceful_shutdown($self, /)\n--\n\nServer: queue GOAWAY(2147483647) and the "
         "shutdown PING; returns flags."),
    {"store_task_handles", as_method<streams_store_task_handles>(), kFast,
     "store_task_handles($self, /, read, pump)\n--\n\nKeep the driver's read and pump tasks."},
    STEP("take_read_handle", &h2::Connection::take_read_handle, object,
         "take_read_handle($self, /)\n--\n\nThe read task, once."),
    STEP("take_pump_handle", &h2::Connection::take_pump_handle, object,
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
    {"set_next_stream_id",
     Entries::call<member<&h2::Connection::set_next_stream_id>, none, SetIdParams>(), kFast,
     "set_next_stream_id($self, /, sid)\n--\n\nTest hook: the next client stream id."},
    {"set_max_stream_id",
     Entries::call<member<&h2::Connection::set_max_stream_id>, none, SetIdParams>(), kFast,
     "set_max_stream_id($self, /, sid)\n--\n\nTest hook: the highest peer stream id accepted."},
    {"set_last_processed_id",
     Entries::call<member<&h2::Connection::set_last_processed_id>, none, SetIdParams>(), kFast,
     "set_last_processed_id($self, /, sid)\n--\n\nTest hook: the last peer stream accepted."},
    {nullptr, nullptr, 0, nullptr},
};

#define PROPERTY(name, read, doc) \
  { name, Entries::property<read, kToObject>(), nullptr, doc, nullptr }

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
    PROPERTY("peer_enable_connect_protocol", &h2::Connection::peer_enable_connect_protocol,
             "The peer announced SETTINGS_ENABLE_CONNECT_PROTOCOL (extended CONNECT)."),
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
                       "data_frame_budget=None, auto_date_header=True, enable_push=None, "
                       "enable_connect_protocol=False)\n--\n\n"
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
