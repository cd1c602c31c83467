// H2Codec. The decoder, the encoder and the send limit share one mutex. The header serializers
// build and validate the header list before they lock, and hold the lock only for the HPACK
// encoding and the frame writing; the writers that touch no codec state take no lock. Events
// and bytes are made after unlocking.
#include "src/h2/codec.h"

#include "src/h2/frames.h"
#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/lock.h"
#include "src/py/types.h"
#include "wire/h2/frame.h"
#include "wire/h2/header_block.h"
#include "wire/h2/hpack/encoder.h"

#include <array>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

namespace quillet::py {
namespace {

struct CodecState {
  explicit CodecState(bool server) : decoder(server) {}
  ObjectLock lock;
  bool client = true;
  // Guarded by `lock`:
  h2::FrameDecoder decoder;
  h2::hpack::Encoder encoder;
  uint32_t send_max_frame_size = h2::kDefaultMaxFrameSize;
  std::shared_ptr<PairCache> pairs;  // see header_pairs
};

CodecState& codec(PyObject* self) {
  return unbox<CodecState>(self);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyObject* new_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

PyObject* write_result(const std::optional<h2::WriteError>& error, const std::string& out,
                       uint64_t value, uint32_t limit = 0) {
  if (error) return raise_h2_write_error(*error, value, limit);
  return new_bytes(out);
}

PyObject* preface_result(h2::PrefaceMatch match) {
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

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames{"role"};
  static constexpr ArgParser kParser("H2Codec", kNames, 1, 0);
  PyObject* obj = nullptr;
  if (!kParser.parse_call(args, kwargs, &obj)) return nullptr;
  bool server = false;
  if (obj != nullptr) {
    Text role;
    if (!arg_str(obj, "role", &role)) return nullptr;
    if (role.bytes == "server") {
      server = true;
    } else if (role.bytes != "client") {
      return raise_h2_bad_role(role.bytes);
    }
  }
  PyObject* self = box_new<CodecState>(type, server);
  if (self != nullptr) codec(self).client = !server;
  return self;
}

PyObject* codec_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"data"};
  static constexpr ArgParser kParser("receive", kNames, 1, 1);
  PyObject* obj;
  std::string_view data;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bytes(obj, "data", &data)) return nullptr;
  CodecState& s = codec(self);
  h2::DecodeBatch batch;  // views `data`, which the caller holds until we return
  std::optional<h2::FrameError> error;
  std::shared_ptr<PairCache> pairs;
  {
    Guard guard(s.lock);
    error = s.decoder.decode(data, &batch);
    pairs = header_pairs(batch, &s.pairs);
  }
  if (error) return raise_h2_frame_error(*error);
  return frame_events_list(batch, pairs);
}

PyObject* codec_buffered(PyObject* self, PyObject*) {
  CodecState& s = codec(self);
  size_t n;
  {
    Guard guard(s.lock);
    n = s.decoder.buffered();
  }
  return PyLong_FromSize_t(n);
}

PyObject* codec_feed_preface(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"data"};
  static constexpr ArgParser kParser("feed_preface", kNames, 1, 1);
  PyObject* obj;
  std::string_view data;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bytes(obj, "data", &data)) return nullptr;
  CodecState& s = codec(self);
  h2::PrefaceMatch match;
  {
    Guard guard(s.lock);
    match = s.decoder.feed_preface(data);
  }
  return preface_result(match);
}

// One u32 argument named "val".
bool val_arg(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             uint32_t* val) {
  static constexpr std::array<const char*, 1> kNames{"val"};
  const ArgParser parser(function, kNames, 1, 1);
  PyObject* obj;
  return parser.parse(args, nargs, kwnames, &obj) && arg_u32(obj, "val", val);
}

enum class Setter { kSendTable, kRecvTable, kRecvFrame, kHeaderList, kSendFrame };

template <Setter kSetter>
PyObject* codec_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kFunction[] = {
      "set_send_header_table_size", "set_recv_header_table_size", "set_max_recv_frame_size",
      "set_max_header_list_size", "set_send_max_frame_size"};
  static_assert(std::size(kFunction) == size_t(Setter::kSendFrame) + 1, "one name per setter");
  uint32_t val;
  if (!val_arg(kFunction[int(kSetter)], args, nargs, kwnames, &val)) return nullptr;
  if ((kSetter == Setter::kRecvFrame || kSetter == Setter::kSendFrame) &&
      !h2::valid_max_frame_size(val))
    return raise_h2_bad_max_frame_size(val);
  CodecState& s = codec(self);
  Guard guard(s.lock);
  switch (kSetter) {
    case Setter::kSendTable:
      s.encoder.update_max_table_size(val);
      break;
    case Setter::kRecvTable:
      s.decoder.queue_max_table_size(val);
      break;
    case Setter::kRecvFrame:
      s.decoder.set_max_frame_size(val);
      break;
    case Setter::kHeaderList:
      s.decoder.set_max_header_list_size(val);
      break;
    case Setter::kSendFrame:
      s.send_max_frame_size = val;
      break;
  }
  return new_none();
}

PyObject* codec_serialize_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 6> kNames{
      "header_table_size",   "enable_push",    "max_concurrent_streams",
      "initial_window_size", "max_frame_size", "max_header_list_size"};
  static constexpr ArgParser kParser("serialize_settings", kNames, 0, 0);
  PyObject* a[6] = {};
  h2::Settings settings;
  if (!kParser.parse(args, nargs, kwnames, a) ||
      !arg_optional(arg_u32, a[0], "header_table_size", &settings.header_table_size) ||
      !arg_optional(arg_bool, a[1], "enable_push", &settings.enable_push) ||
      !arg_optional(arg_u32, a[2], "max_concurrent_streams", &settings.max_concurrent_streams) ||
      !arg_optional(arg_u32, a[3], "initial_window_size", &settings.initial_window_size) ||
      !arg_optional(arg_u32, a[4], "max_frame_size", &settings.max_frame_size) ||
      !arg_optional(arg_u32, a[5], "max_header_list_size", &settings.max_header_list_size)) {
    return nullptr;
  }
  std::string out;
  const auto error = h2::write_settings(settings, &out);
  const uint64_t refused = error == h2::WriteError::kSettingsMaxFrameSize
                               ? settings.max_frame_size.value_or(0)
                               : settings.initial_window_size.value_or(0);
  return write_result(error, out, refused);
}

PyObject* codec_serialize_settings_ack(PyObject*, PyObject*) {
  std::string out;
  h2::write_settings_ack(&out);
  return new_bytes(out);
}

// Encodes a header block and writes its frames under the codec's lock.
PyObject* write_block(PyObject* self, uint32_t stream_id, const h2::hpack::PseudoHeaders& pseudo,
                      const HeaderMap& fields, bool end_stream) {
  if (stream_id == 0) return raise_h2_write_error(h2::WriteError::kStreamIdZero, 0, 0);
  CodecState& s = codec(self);
  std::string out;
  std::optional<h2::WriteError> error;
  {
    Guard guard(s.lock);
    std::string block;
    s.encoder.encode(pseudo, fields, &block);
    error = h2::write_headers(stream_id, block, end_stream, s.send_max_frame_size, &out);
  }
  return write_result(error, out, stream_id);
}

bool headers_arg(PyObject* obj, const char* name, HeaderMap* out) {
  if (obj == nullptr || obj == Py_None) return true;
  return arg_header_map(obj, name, out);
}

PyObject* codec_serialize_request_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  static constexpr std::array<const char*, 7> kNames{"stream_id",  "method", "target",   "headers",
                                                     "end_stream", "scheme", "authority"};
  static constexpr ArgParser kParser("serialize_request_headers", kNames, 5, 3);
  PyObject* a[7] = {};
  uint32_t stream_id;
  Text method, target, scheme_text, authority_text;
  bool end_stream = false;
  HeaderMap headers;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_str(a[1], "method", &method) || !arg_str(a[2], "target", &target) ||
      !headers_arg(a[3], "headers", &headers) ||
      (a[4] != nullptr && !arg_bool(a[4], "end_stream", &end_stream)) ||
      (a[5] != nullptr && a[5] != Py_None && !arg_str(a[5], "scheme", &scheme_text)) ||
      (a[6] != nullptr && a[6] != Py_None && !arg_str(a[6], "authority", &authority_text))) {
    return nullptr;
  }
  std::optional<std::string_view> scheme, authority;
  if (a[5] != nullptr && a[5] != Py_None) scheme = scheme_text.bytes;
  if (a[6] != nullptr && a[6] != Py_None) authority = authority_text.bytes;
  h2::hpack::PseudoHeaders pseudo;
  UriError uri_error = UriError::kEmpty;
  if (const auto error = h2::build_request_pseudo(method.bytes, target.bytes, scheme, authority,
                                                  std::nullopt, &pseudo, &uri_error)) {
    return raise_request_block_error(*error, uri_error);
  }
  return write_block(self, stream_id, pseudo, headers, end_stream);
}

PyObject* codec_serialize_response_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  static constexpr std::array<const char*, 5> kNames{"stream_id", "status", "headers", "end_stream",
                                                     "auto_date"};
  static constexpr ArgParser kParser("serialize_response_headers", kNames, 5, 2);
  PyObject* a[5] = {};
  uint32_t stream_id;
  uint16_t status;
  bool end_stream = false, auto_date = false;
  HeaderMap headers;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_u16(a[1], "status", &status) || !headers_arg(a[2], "headers", &headers) ||
      (a[3] != nullptr && !arg_bool(a[3], "end_stream", &end_stream)) ||
      (a[4] != nullptr && !arg_bool(a[4], "auto_date", &auto_date))) {
    return nullptr;
  }
  h2::hpack::PseudoHeaders pseudo;
  if (const auto error = h2::build_response_head(status, auto_date, &headers, &pseudo))
    return raise_response_block_error(*error);
  return write_block(self, stream_id, pseudo, headers, end_stream);
}

PyObject* codec_serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"stream_id", "trailers"};
  static constexpr ArgParser kParser("serialize_trailers", kNames, 2, 2);
  PyObject* a[2] = {};
  uint32_t stream_id;
  HeaderMap trailers;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_header_map(a[1], "trailers", &trailers)) {
    return nullptr;
  }
  return write_block(self, stream_id, {}, trailers, true);
}

PyObject* codec_serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames{"stream_id", "data", "end_stream"};
  static constexpr ArgParser kParser("serialize_data", kNames, 3, 2);
  PyObject* a[3] = {};
  uint32_t stream_id;
  std::string_view data;
  bool end_stream = false;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_bytes(a[1], "data", &data) ||
      (a[2] != nullptr && !arg_bool(a[2], "end_stream", &end_stream))) {
    return nullptr;
  }
  CodecState& s = codec(self);
  std::string out;
  std::optional<h2::WriteError> error;
  uint32_t limit;
  {
    Guard guard(s.lock);
    limit = s.send_max_frame_size;
  }
  error = h2::write_data(stream_id, data, end_stream, limit, &out);
  return write_result(error, out, error == h2::WriteError::kPayloadTooBig ? data.size() : 0, limit);
}

PyObject* codec_serialize_window_update(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"stream_id", "increment"};
  static constexpr ArgParser kParser("serialize_window_update", kNames, 2, 2);
  PyObject* a[2] = {};
  uint32_t stream_id, increment;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_u32(a[1], "increment", &increment)) {
    return nullptr;
  }
  std::string out;
  const auto error = h2::write_window_update(stream_id, increment, &out);
  return write_result(error, out, increment);
}

template <bool kAck>
PyObject* codec_serialize_ping(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"payload"};
  static constexpr ArgParser kParser(kAck ? "serialize_ping_ack" : "serialize_ping", kNames, 1, 1);
  PyObject* obj;
  std::string_view payload;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bytes(obj, "payload", &payload))
    return nullptr;
  std::string out;
  const auto error = h2::write_ping(payload, kAck, &out);
  return write_result(error, out, payload.size());
}

PyObject* codec_serialize_go_away(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames{"last_stream_id", "error_code", "debug_data"};
  static constexpr ArgParser kParser("serialize_go_away", kNames, 3, 2);
  PyObject* a[3] = {};
  uint32_t last_stream_id, error_code;
  std::string_view debug;
  if (!kParser.parse(args, nargs, kwnames, a) ||
      !arg_u32(a[0], "last_stream_id", &last_stream_id) ||
      !arg_u32(a[1], "error_code", &error_code) ||
      (a[2] != nullptr && a[2] != Py_None && !arg_bytes(a[2], "debug_data", &debug))) {
    return nullptr;
  }
  std::string out;
  const auto error = h2::write_goaway(last_stream_id, error_code, debug, &out);
  return write_result(error, out,
                      error == h2::WriteError::kDebugDataTooLong ? debug.size() : last_stream_id);
}

PyObject* codec_serialize_rst_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"stream_id", "error_code"};
  static constexpr ArgParser kParser("serialize_rst_stream", kNames, 2, 2);
  PyObject* a[2] = {};
  uint32_t stream_id, error_code;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_u31(a[0], "stream_id", &stream_id) ||
      !arg_u32(a[1], "error_code", &error_code)) {
    return nullptr;
  }
  std::string out;
  const auto error = h2::write_rst_stream(stream_id, error_code, &out);
  return write_result(error, out, stream_id);
}

PyObject* codec_match_preface(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"data"};
  static constexpr ArgParser kParser("match_preface", kNames, 1, 1);
  PyObject* obj;
  std::string_view data;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bytes(obj, "data", &data)) return nullptr;
  return preface_result(h2::match_preface(data));
}

PyObject* codec_check_send_headers(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"headers"};
  static constexpr ArgParser kParser("check_send_headers", kNames, 1, 1);
  PyObject* obj;
  HeaderMap headers;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_header_map(obj, "headers", &headers))
    return nullptr;
  if (!h2::send_headers_allowed(headers)) return raise_h2_malformed_headers();
  return new_none();
}

PyObject* codec_method_is_head(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"method"};
  static constexpr ArgParser kParser("method_is_head", kNames, 1, 1);
  PyObject* obj;
  Text method;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_str(obj, "method", &method))
    return nullptr;
  return new_bool(h2::method_is_head(method.bytes));
}

PyObject* codec_is_client_initiated(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"stream_id"};
  static constexpr ArgParser kParser("is_client_initiated", kNames, 1, 1);
  PyObject* obj;
  uint32_t stream_id;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_u32(obj, "stream_id", &stream_id))
    return nullptr;
  return new_bool(stream_id % 2 == 1);
}

PyObject* codec_role_client(PyObject* self, void*) {
  return new_bool(codec(self).client);
}

#define SETTER(name, which, doc) \
  { name, as_method<codec_set<Setter::which>>(), kFast, name "($self, /, val)\n--\n\n" doc }

PyMethodDef kMethods[] = {
    {"receive", as_method<codec_receive>(), kFast,
     "receive($self, /, data)\n--\n\nDecodes every complete frame; returns the events."},
    {"buffered", as_method<codec_buffered>(), METH_NOARGS,
     "buffered($self, /)\n--\n\nBytes of incomplete frames held."},
    {"feed_preface", as_method<codec_feed_preface>(), kFast,
     "feed_preface($self, /, data)\n--\n\nNone while incomplete, True once matched, False on a "
     "mismatch."},
    SETTER("set_send_header_table_size", kSendTable, "The HPACK encoder's table maximum."),
    SETTER("set_recv_header_table_size", kRecvTable, "The HPACK decoder's table maximum."),
    SETTER("set_max_recv_frame_size", kRecvFrame, "The largest frame payload accepted."),
    SETTER("set_max_header_list_size", kHeaderList, "The received header-list budget."),
    SETTER("set_send_max_frame_size", kSendFrame, "The largest frame payload written."),
    {"serialize_settings", as_method<codec_serialize_settings>(), kFast,
     "serialize_settings($self, /, *, header_table_size=None, enable_push=None, "
     "max_concurrent_streams=None, initial_window_size=None, max_frame_size=None, "
     "max_header_list_size=None)\n--\n\nOne SETTINGS frame."},
    {"serialize_settings_ack", as_method<codec_serialize_settings_ack>(), METH_NOARGS,
     "serialize_settings_ack($self, /)\n--\n\nThe SETTINGS acknowledgement."},
    {"serialize_request_headers", as_method<codec_serialize_request_headers>(), kFast,
     "serialize_request_headers($self, /, stream_id, method, target, headers=None, "
     "end_stream=False, *, scheme=None, authority=None)\n--\n\nA request's HEADERS frames."},
    {"serialize_response_headers", as_method<codec_serialize_response_headers>(), kFast,
     "serialize_response_headers($self, /, stream_id, status, headers=None, end_stream=False, "
     "auto_date=False)\n--\n\nA response's HEADERS frames."},
    {"serialize_trailers", as_method<codec_serialize_trailers>(), kFast,
     "serialize_trailers($self, /, stream_id, trailers)\n--\n\nTrailer HEADERS frames "
     "(END_STREAM)."},
    {"serialize_data", as_method<codec_serialize_data>(), kFast,
     "serialize_data($self, /, stream_id, data, end_stream=False)\n--\n\nOne DATA frame."},
    {"serialize_window_update", as_method<codec_serialize_window_update>(), kFast,
     "serialize_window_update($self, /, stream_id, increment)\n--\n\nOne WINDOW_UPDATE frame."},
    {"serialize_ping_ack", as_method<codec_serialize_ping<true>>(), kFast,
     "serialize_ping_ack($self, /, payload)\n--\n\nA PING reply."},
    {"serialize_ping", as_method<codec_serialize_ping<false>>(), kFast,
     "serialize_ping($self, /, payload)\n--\n\nA PING."},
    {"serialize_go_away", as_method<codec_serialize_go_away>(), kFast,
     "serialize_go_away($self, /, last_stream_id, error_code, debug_data=None)\n--\n\nOne GOAWAY "
     "frame."},
    {"serialize_rst_stream", as_method<codec_serialize_rst_stream>(), kFast,
     "serialize_rst_stream($self, /, stream_id, error_code)\n--\n\nOne RST_STREAM frame."},
    {"match_preface", as_method<codec_match_preface>(), kFast | METH_STATIC,
     "match_preface(data)\n--\n\nNone while a prefix of the client preface, True once it is "
     "complete, False on a difference."},
    {"check_send_headers", as_method<codec_check_send_headers>(), kFast | METH_STATIC,
     "check_send_headers(headers)\n--\n\nRaises H2UserError for fields HTTP/2 forbids."},
    {"method_is_head", as_method<codec_method_is_head>(), kFast | METH_STATIC,
     "method_is_head(method)\n--\n\nWhether the method is exactly HEAD."},
    {"is_client_initiated", as_method<codec_is_client_initiated>(), kFast | METH_STATIC,
     "is_client_initiated(stream_id)\n--\n\nWhether the id is odd."},
    {nullptr, nullptr, 0, nullptr},
};

#undef SETTER

PyGetSetDef kGetters[] = {
    {"role_client", as_getter<codec_role_client>(), nullptr, "Whether the role is client.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("H2Codec(role='client')\n--\n\n"
                                  "An HTTP/2 frame decoder, HPACK encoder and frame writers.")},
    {Py_tp_new, as_slot<codec_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<CodecState>>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H2Codec"), sizeof(Boxed<CodecState>), 0, 0, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* h2_codec_type() {
  return g_type.get();
}

PyObject* raise_response_block_error(h2::ResponseBlockError error) {
  switch (error) {
    case h2::ResponseBlockError::kStatus:
      return raise_invalid_status();
    case h2::ResponseBlockError::kFieldsFull:
      return raise_header_map_full();
  }
  return raise_invalid_status();
}

}  // namespace quillet::py
