#include "src/h1/codec.h"

#include "src/h1/body_decoder.h"
#include "src/h1/heads.h"
#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/call.h"
#include "src/py/errors.h"
#include "src/py/types.h"
#include "wire/h1/body_encoder.h"
#include "wire/h1/tokens.h"

#include <array>
#include <cstring>
#include <memory>
#include <type_traits>

namespace quillet::py {
namespace {

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "H1Codec() takes keyword arguments only");
    return nullptr;
  }
  static constexpr std::array<const char*, 5> kNames{
      "max_headers", "ignore_invalid_headers", "title_case_headers", "date_header", "max_buf_size"};
  PyObject* values[5] = {};
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      size_t k = 0;
      while (k < kNames.size() && PyUnicode_CompareWithASCIIString(key, kNames[k]) != 0)
        ++k;
      if (k == kNames.size()) {
        PyErr_Format(PyExc_TypeError, "H1Codec() got an unexpected keyword argument '%U'", key);
        return nullptr;
      }
      values[k] = value;
    }
  }
  h1::CodecConfig config;
  // A head's HeaderMap fills its core from the parsed fields only when something other than the
  // list of pairs or a name's first value is asked of it.
  config.fields_as_list = true;
  std::optional<size_t> max_headers;
  if (!arg_optional(arg_size, values[0], "max_headers", &max_headers)) return nullptr;
  if (max_headers) config.max_headers = *max_headers;
  if ((values[1] &&
       !arg_bool(values[1], "ignore_invalid_headers", &config.ignore_invalid_headers)) ||
      (values[2] && !arg_bool(values[2], "title_case_headers", &config.title_case_headers)) ||
      (values[3] && !arg_bool(values[3], "date_header", &config.date_header)) ||
      (values[4] && !arg_size(values[4], "max_buf_size", &config.max_buf_size))) {
    return nullptr;
  }
  if (config.max_buf_size < h1::kMinMaxBufSize) {
    PyErr_SetString(PyExc_ValueError, "the max_buf_size cannot be smaller than 8192");
    return nullptr;
  }
  return box_new<CodecState>(type, config);
}

// data: the one positional or keyword argument of the receive and feed methods.
bool data_arg(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              std::string_view* data) {
  static constexpr std::array<const char*, 1> kNames{"data"};
  const ArgParser parser(function, kNames, 1, 1);
  PyObject* obj;
  return parser.parse(args, nargs, kwnames, &obj) && arg_bytes(obj, "data", data);
}

// Buffers `data` and parses one head with `receive`, then makes its Python object after
// unlocking. `make` gets the connection's pair cache, made with the first request head.
template <class Head>
PyObject* receive(PyObject* self, const char* function, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames,
                  h1::HeadResult (h1::Codec::*receive)(std::string_view, Head*, h1::ParseKind*),
                  PyObject* (*make)(Head&&, std::shared_ptr<PairCache>)) {
  std::string_view data;
  if (!data_arg(function, args, nargs, kwnames, &data)) return nullptr;
  CodecState& s = codec_state(self);
  Head head;
  h1::ParseKind error = h1::ParseKind::kInternal;
  h1::HeadResult result;
  std::shared_ptr<PairCache> pairs;
  {
    Guard guard(s.lock);
    result = (s.codec.*receive)(data, &head, &error);
    if constexpr (std::is_same_v<Head, h1::RequestHead>) {
      if (result == h1::HeadResult::kHead && head.fields_listed) {
        if (!s.pairs) s.pairs = std::make_shared<PairCache>();  // C++ memory only
        pairs = s.pairs;
      }
    }
  }
  switch (result) {
    case h1::HeadResult::kHead:
      return make(std::move(head), std::move(pairs));
    case h1::HeadResult::kNone:
      return new_none();
    case h1::HeadResult::kError:
      break;
  }
  return raise_h1(h1::Error::parse_error(error));
}

PyObject* make_response(h1::ResponseHead&& head, std::shared_ptr<PairCache>) {
  return make_response_head(std::move(head));
}

PyObject* codec_receive_request_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return receive<h1::RequestHead>(self, "receive_request_head", args, nargs, kwnames,
                                  &h1::Codec::receive_request_head, make_request_head);
}

PyObject* codec_receive_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return receive<h1::ResponseHead>(self, "receive_head", args, nargs, kwnames,
                                   &h1::Codec::receive_response_head, make_response);
}

Locked<h1::Codec> codec_of(PyObject* self) {
  CodecState& s = codec_state(self);
  return {s.lock, s.codec};
}
using Entries = EntriesOf<codec_of>;

constexpr std::array<const char*, 1> kDataName{"data"};
constexpr ArgParser kFeed("feed", kDataName, 1, 1);
constexpr auto kBytes = [](std::string bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
};
constexpr auto kSize = [](size_t n) { return PyLong_FromSize_t(n); };

PyObject* codec_continue_response(PyObject*, PyObject*) {
  static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
  return PyBytes_FromStringAndSize(kContinue, sizeof(kContinue) - 1);
}

PyObject* codec_connection_close(PyObject*, PyObject* headers) {
  HeaderMap snapshot;
  if (!header_map_snapshot(headers, &snapshot)) return nullptr;
  bool close = false;
  snapshot.for_each_value("connection", [&close](std::string_view value) {
    if (h1::has_token(value, "close")) close = true;
  });
  return new_bool(close);
}

// The headers argument of the encoders, as the encoder's own copy (converted as
// HeaderMap(headers) would read it).
bool headers_arg(PyObject* obj, HeaderMap* out) {
  return header_map_fill(obj, out);
}

// The body description shared by both encoders.
bool body_args(PyObject* content_length, PyObject* chunked, h1::BodySpec* body) {
  return arg_optional(arg_u64, content_length, "content_length", &body->content_length) &&
         (chunked == nullptr || arg_bool(chunked, "chunked", &body->chunked));
}

PyObject* new_bytes(const std::string& bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

PyObject* codec_serialize_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr std::array<const char*, 6> kNames{
      "method", "url", "headers", "http10", "content_length", "chunked"};
  static constexpr ArgParser kParser("serialize_request", kNames, 3, 2);
  PyObject* a[6];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  Text method;
  Text url;
  bool http10 = false;
  h1::BodySpec body;
  HeaderMap headers;
  if (!arg_str(a[0], "method", &method) || !arg_str(a[1], "url", &url) ||
      (a[3] != nullptr && !arg_bool(a[3], "http10", &http10)) || !body_args(a[4], a[5], &body) ||
      !headers_arg(a[2], &headers)) {
    return nullptr;
  }
  h1::RequestLine line;
  h1::RequestLineError line_error;
  UriError uri_error = UriError::kEmpty;
  if (!h1::make_request_line(method.bytes, url.bytes, &line, &line_error, &uri_error)) {
    if (line_error == h1::RequestLineError::kMethod) {
      PyErr_SetString(PyExc_ValueError, "invalid method: invalid HTTP method");
    } else {
      raise_message(PyExc_ValueError, {"invalid url: ", uri_error_reason(uri_error)});
    }
    return nullptr;
  }
  CodecState& s = codec_state(self);
  std::string out;
  bool encoded;
  {
    Guard guard(s.lock);
    encoded = s.codec.encode_request(line, headers, http10, body, &out);
  }
  if (!encoded) return raise_header_map_full();
  return new_bytes(out);
}

PyObject* codec_serialize_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 6> kNames{"status", "headers",        "keep_alive",
                                                     "http10", "content_length", "chunked"};
  static constexpr ArgParser kParser("serialize_response", kNames, 2, 1);
  PyObject* a[6];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  if (!PyLong_Check(a[0])) {
    PyErr_Format(PyExc_TypeError, "status must be an int, not %.100s", Py_TYPE(a[0])->tp_name);
    return nullptr;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(a[0], &overflow);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  h1::StatusCode status = h1::StatusCode::ok();
  if (!status_from(overflow != 0 || value < 0 ? 0 : uint64_t(value), &status)) return nullptr;
  bool keep_alive = true;
  bool http10 = false;
  h1::BodySpec body;
  HeaderMap headers;
  if ((a[2] != nullptr && !arg_bool(a[2], "keep_alive", &keep_alive)) ||
      (a[3] != nullptr && !arg_bool(a[3], "http10", &http10)) || !body_args(a[4], a[5], &body) ||
      !headers_arg(a[1], &headers)) {
    return nullptr;
  }
  CodecState& s = codec_state(self);
  std::string out;
  std::optional<h1::UserKind> failure;
  {
    Guard guard(s.lock);
    failure = s.codec.encode_response(status, keep_alive, http10, body, headers, &out);
  }
  if (failure) return raise_h1(h1::Error::user_error(*failure));
  return new_bytes(out);
}

// --- body framing ---

// A new bytes of `size` bytes to be filled, or nullptr with OverflowError when the size cannot
// be a bytes object at all.
PyObject* new_bytes_of(uint64_t size) {
  if (size > uint64_t(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "bytes size does not fit Py_ssize_t");
    return nullptr;
  }
  return PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size));
}

// The one terminator object every chunked body ends with. Made on first success: a failed
// attempt leaves its error set and the next call tries again.
PyObject* terminator() {
  static PyObject* shared = nullptr;
  if (shared == nullptr) {
    shared = PyBytes_FromStringAndSize(h1::kChunkedTerminator.data(),
                                       Py_ssize_t(h1::kChunkedTerminator.size()));
  }
  Py_XINCREF(shared);
  return shared;
}

PyObject* end_object(const h1::BodyEnd& end) {
  switch (end.kind) {
    case h1::BodyEnd::Kind::kNothing:
      return PyBytes_FromStringAndSize(nullptr, 0);
    case h1::BodyEnd::Kind::kTerminator:
      return terminator();
    case h1::BodyEnd::Kind::kTrailers:
      break;
  }
  PyObject* out = new_bytes_of(end.size());
  if (out != nullptr) end.write(PyBytes_AS_STRING(out));
  return out;
}

bool chunk_arg(const char* function, const char* name, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** obj, std::string_view* chunk) {
  const std::array<const char*, 1> names{name};
  const ArgParser parser(function, names, 1, 1);
  return parser.parse(args, nargs, kwnames, obj) && arg_bytes(*obj, name, chunk);
}

PyObject* codec_serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* obj;
  std::string_view chunk;
  if (!chunk_arg("serialize_data", "chunk", args, nargs, kwnames, &obj, &chunk)) return nullptr;
  if (chunk.empty()) return Py_NewRef(obj);  // nothing to frame, whatever the encoder
  CodecState& s = codec_state(self);
  h1::ChunkPlan plan;
  {
    Guard guard(s.lock);
    h1::BodyFraming* framing = s.codec.body_encoder();
    if (framing == nullptr) {
      guard.unlock();
      PyErr_SetString(PyExc_ValueError, "serialize_data with no request in flight");
      return nullptr;
    }
    plan = h1::plan_chunk(*framing, chunk.size());
  }
  switch (plan.kind) {
    case h1::ChunkPlan::Kind::kWhole:
      return Py_NewRef(obj);
    case h1::ChunkPlan::Kind::kPrefix:
      return PyBytes_FromStringAndSize(chunk.data(), Py_ssize_t(plan.size));
    case h1::ChunkPlan::Kind::kFramed:
      break;
  }
  PyObject* out = new_bytes_of(plan.size);
  if (out != nullptr) h1::write_chunk_frame(chunk, PyBytes_AS_STRING(out));
  return out;
}

PyObject* codec_serialize_end(PyObject* self, PyObject*) {
  CodecState& s = codec_state(self);
  h1::BodyEnd end;
  std::optional<h1::Error> error;
  {
    Guard guard(s.lock);
    const std::optional<h1::BodyFraming> framing = s.codec.take_body_encoder();
    error = h1::plan_end(framing ? &*framing : nullptr, &end);
  }
  if (error) return raise_h1(*error);
  return end_object(end);
}

PyObject* codec_serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"trailers"};
  static constexpr ArgParser kParser("serialize_trailers", kNames, 1, 1);
  PyObject* obj;
  HeaderMap trailers;  // copied under its own lock before ours is taken
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_header_map(obj, "trailers", &trailers)) {
    return nullptr;
  }
  CodecState& s = codec_state(self);
  h1::BodyEnd end;
  std::optional<h1::Error> error;
  {
    Guard guard(s.lock);
    const std::optional<h1::BodyFraming> framing = s.codec.take_body_encoder();
    error = h1::plan_trailers(framing ? &*framing : nullptr, s.codec.trailers_permitted(), trailers,
                              &end);
  }
  if (error) return raise_h1(*error);
  return end_object(end);
}

PyObject* codec_serialize_head_and_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames{"head", "body", "trailers"};
  static constexpr ArgParser kParser("serialize_head_and_body", kNames, 3, 1);
  PyObject* a[3];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  std::string_view head;
  std::string_view body;
  std::optional<HeaderMap> trailers;
  if (!arg_bytes(a[0], "head", &head)) return nullptr;
  if (a[1] != nullptr && a[1] != Py_None && !arg_bytes(a[1], "body", &body)) return nullptr;
  if (a[2] != nullptr && a[2] != Py_None) {
    trailers.emplace();
    if (!arg_header_map(a[2], "trailers", &*trailers)) return nullptr;
  }
  CodecState& s = codec_state(self);
  bool head_alone = false;
  h1::ChunkPlan plan;
  bool has_body = false;
  h1::BodyEnd end;
  std::optional<h1::Error> error;
  {
    Guard guard(s.lock);
    std::optional<h1::BodyFraming> framing = s.codec.take_body_encoder();
    if (!framing || (framing->kind == h1::BodyFraming::Kind::kLength && framing->length == 0)) {
      head_alone = true;  // no body goes out: body and trailers are ignored
    } else {
      if (!body.empty()) {
        plan = h1::plan_chunk(*framing, body.size());
        has_body = true;
      }
      error = trailers ? h1::plan_trailers(&*framing, s.codec.trailers_permitted(), *trailers, &end)
                       : h1::plan_end(&*framing, &end);
    }
  }
  if (head_alone) return Py_NewRef(a[0]);
  if (error) return raise_h1(*error);
  uint64_t body_size = 0;
  if (has_body) {
    body_size = plan.kind == h1::ChunkPlan::Kind::kWhole ? body.size() : plan.size;
  }
  const uint64_t total = uint64_t(head.size()) + body_size + end.size();
  PyObject* out = new_bytes_of(total);
  if (out == nullptr) return nullptr;
  char* p = PyBytes_AS_STRING(out);
  std::memcpy(p, head.data(), head.size());
  p += head.size();
  if (has_body) {
    if (plan.kind == h1::ChunkPlan::Kind::kFramed) {
      p = h1::write_chunk_frame(body, p);
    } else {
      std::memcpy(p, body.data(), size_t(body_size));
      p += body_size;
    }
  }
  end.write(p);
  return out;
}

PyObject* codec_body_is_eof(PyObject* self, PyObject*) {
  CodecState& s = codec_state(self);
  Guard guard(s.lock);
  const bool eof = s.codec.body_is_eof();
  guard.unlock();
  return new_bool(eof);
}

// Moves the read buffer into a body decoder: the codec's lock to take the bytes, then the
// decoder's to hand them over, never both at once.
PyObject* codec_take_body_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"decoder"};
  static constexpr ArgParser kParser("take_body_into", kNames, 1, 1);
  PyObject* decoder;
  if (!kParser.parse(args, nargs, kwnames, &decoder)) return nullptr;
  if (!body_decoder_check(decoder)) {
    PyErr_Format(PyExc_TypeError, "decoder must be an H1BodyDecoder, not %.100s",
                 Py_TYPE(decoder)->tp_name);
    return nullptr;
  }
  CodecState& s = codec_state(self);
  std::string bytes;
  {
    Guard guard(s.lock);
    bytes = s.codec.take_body();
  }
  if (!bytes.empty()) {
    BodyDecoderState& d = body_decoder_state(decoder);
    Guard guard(d.lock);
    d.decoder.feed_owned(std::move(bytes));
  }
  return new_none();
}

PyObject* codec_parse_error_status(PyObject* self, void*) {
  CodecState& s = codec_state(self);
  std::optional<uint16_t> status;
  {
    Guard guard(s.lock);
    status = s.codec.parse_error_status();
  }
  return status ? PyLong_FromLong(*status) : new_none();
}

PyObject* codec_max_buf_size(PyObject* self, void*) {
  return PyLong_FromSize_t(codec_state(self).codec.config().max_buf_size);
}

PyMethodDef kMethods[] = {
    {"receive_request_head", as_method<codec_receive_request_head>(), METH_FASTCALL | METH_KEYWORDS,
     "receive_request_head($self, /, data)\n--\n\n"
     "Buffer data and parse one request head: an H1RequestHead, or None while incomplete."},
    {"receive_head", as_method<codec_receive_head>(), METH_FASTCALL | METH_KEYWORDS,
     "receive_head($self, /, data)\n--\n\n"
     "Buffer data and parse one response head: an H1ResponseHead, or None while incomplete."},
    {"feed", Entries::call<member<&h1::Codec::feed>, none, Params<kFeed, arg_bytes>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "feed($self, /, data)\n--\n\nPut bytes back into the read buffer without parsing."},
    {"take_body", Entries::step<&h1::Codec::take_body, kBytes>(), METH_NOARGS,
     "take_body($self, /)\n--\n\nRemove and return everything in the read buffer, as bytes."},
    {"buffered", Entries::step<&h1::Codec::buffered, kSize>(), METH_NOARGS,
     "buffered($self, /)\n--\n\nThe number of bytes in the read buffer."},
    {"reset", Entries::step<&h1::Codec::reset, none>(), METH_NOARGS,
     "reset($self, /)\n--\n\n"
     "Start the next message; buffered bytes and the response verdicts stay."},
    {"serialize_request", as_method<codec_serialize_request>(), METH_FASTCALL | METH_KEYWORDS,
     "serialize_request($self, /, method, url, headers=None, *, http10=False, "
     "content_length=None, chunked=False)\n--\n\n"
     "Encode a request head (bytes) and fix its body framing."},
    {"serialize_response", as_method<codec_serialize_response>(), METH_FASTCALL | METH_KEYWORDS,
     "serialize_response($self, /, status, headers=None, *, keep_alive=True, http10=False, "
     "content_length=None, chunked=False)\n--\n\n"
     "Encode a response head (bytes) and fix its body framing."},
    {"serialize_data", as_method<codec_serialize_data>(), METH_FASTCALL | METH_KEYWORDS,
     "serialize_data($self, /, chunk)\n--\n\nOne chunk of body data, framed."},
    {"serialize_end", as_method<codec_serialize_end>(), METH_NOARGS,
     "serialize_end($self, /)\n--\n\nThe end of the body."},
    {"serialize_trailers", as_method<codec_serialize_trailers>(), METH_FASTCALL | METH_KEYWORDS,
     "serialize_trailers($self, /, trailers)\n--\n\n"
     "The end of the body with the declared trailer fields where they may be sent."},
    {"serialize_head_and_body", as_method<codec_serialize_head_and_body>(),
     METH_FASTCALL | METH_KEYWORDS,
     "serialize_head_and_body($self, /, head, body=None, trailers=None)\n--\n\n"
     "A whole message in one buffer."},
    {"body_is_eof", as_method<codec_body_is_eof>(), METH_NOARGS,
     "body_is_eof($self, /)\n--\n\nWhether no body bytes are to be sent."},
    {"take_body_into", as_method<codec_take_body_into>(), METH_FASTCALL | METH_KEYWORDS,
     "take_body_into($self, /, decoder)\n--\n\nMove the read buffer into an H1BodyDecoder."},
    {"continue_response", as_method<codec_continue_response>(), METH_NOARGS | METH_STATIC,
     "continue_response()\n--\n\nThe interim 100 Continue response."},
    {"connection_close", as_method<codec_connection_close>(), METH_O | METH_STATIC,
     "connection_close(headers, /)\n--\n\n"
     "Whether some connection field of a HeaderMap has the token close."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"parse_error_status", as_getter<codec_parse_error_status>(), nullptr,
     "The automatic status (400, 414, 431, 501) after a failed request head, else None.", nullptr},
    {"request_connection_close", Entries::property<&h1::Codec::request_connection_close>(), nullptr,
     "The last request head had a close token on a connection field.", nullptr},
    {"response_is_last", Entries::property<&h1::Codec::response_is_last>(), nullptr,
     "The connection closes after the last response head written or received.", nullptr},
    {"response_close_delimited", Entries::property<&h1::Codec::response_close_delimited>(), nullptr,
     "The last response's body ends by closing the connection.", nullptr},
    {"max_buf_size", as_getter<codec_max_buf_size>(), nullptr, "The cap on an incomplete head.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H1Codec(*, max_headers=None, ignore_invalid_headers=False, "
                       "title_case_headers=False, date_header=True, max_buf_size=417792)\n--\n\n"
                       "The HTTP/1 codec of one connection, for both roles.")},
    {Py_tp_new, as_slot<codec_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<CodecState>>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H1Codec"), sizeof(Boxed<CodecState>), 0, 0, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

bool status_from(uint64_t value, h1::StatusCode* out) {
  const std::optional<h1::StatusCode> status = h1::StatusCode::from(value);
  if (!status) {
    PyErr_SetString(PyExc_ValueError, "invalid status: invalid status code");
    return false;
  }
  *out = *status;
  return true;
}

PyTypeObject* codec_type() {
  return g_type.get();
}

bool codec_check(PyObject* obj) {
  PyTypeObject* type = codec_type();
  return type != nullptr && Py_IS_TYPE(obj, type);
}

CodecState& codec_state(PyObject* codec) {
  return unbox<CodecState>(codec);
}

}  // namespace quillet::py
