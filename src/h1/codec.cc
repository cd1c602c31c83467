#include "src/h1/codec.h"

#include "src/h1/heads.h"
#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/types.h"
#include "wire/h1/tokens.h"

#include <array>

namespace quillet::py {
namespace {

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "H1Codec() takes keyword arguments only");
    return nullptr;
  }
  static constexpr std::array<const char*, 5> kNames{
      "max_headers", "ignore_invalid_headers", "title_case_headers", "date_header",
      "max_buf_size"};
  PyObject* values[5] = {};
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      size_t k = 0;
      while (k < kNames.size() && PyUnicode_CompareWithASCIIString(key, kNames[k]) != 0) ++k;
      if (k == kNames.size()) {
        PyErr_Format(PyExc_TypeError, "H1Codec() got an unexpected keyword argument '%U'", key);
        return nullptr;
      }
      values[k] = value;
    }
  }
  h1::CodecConfig config;
  std::optional<size_t> max_headers;
  if (!arg_optional(arg_size, values[0], "max_headers", &max_headers)) return nullptr;
  if (max_headers) config.max_headers = *max_headers;
  if ((values[1] && !arg_bool(values[1], "ignore_invalid_headers", &config.ignore_invalid_headers)) ||
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

PyObject* codec_receive_request_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  std::string_view data;
  if (!data_arg("receive_request_head", args, nargs, kwnames, &data)) return nullptr;
  CodecState& s = codec_state(self);
  h1::RequestHead head;
  h1::ParseKind error = h1::ParseKind::kInternal;
  h1::HeadResult result;
  {
    Guard guard(s.lock);
    result = s.codec.receive_request_head(data, &head, &error);
  }
  switch (result) {
    case h1::HeadResult::kHead: return make_request_head(std::move(head));
    case h1::HeadResult::kNone: return new_none();
    case h1::HeadResult::kError: break;
  }
  return raise_h1(h1::Error::parse_error(error));
}

PyObject* codec_receive_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  std::string_view data;
  if (!data_arg("receive_head", args, nargs, kwnames, &data)) return nullptr;
  CodecState& s = codec_state(self);
  h1::ResponseHead head;
  h1::ParseKind error = h1::ParseKind::kInternal;
  h1::HeadResult result;
  {
    Guard guard(s.lock);
    result = s.codec.receive_response_head(data, &head, &error);
  }
  switch (result) {
    case h1::HeadResult::kHead: return make_response_head(std::move(head));
    case h1::HeadResult::kNone: return new_none();
    case h1::HeadResult::kError: break;
  }
  return raise_h1(h1::Error::parse_error(error));
}

PyObject* codec_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  std::string_view data;
  if (!data_arg("feed", args, nargs, kwnames, &data)) return nullptr;
  CodecState& s = codec_state(self);
  {
    Guard guard(s.lock);
    s.codec.feed(data);
  }
  return new_none();
}

PyObject* codec_take_body(PyObject* self, PyObject*) {
  CodecState& s = codec_state(self);
  std::string body;
  {
    Guard guard(s.lock);
    body = s.codec.take_body();
  }
  return PyBytes_FromStringAndSize(body.data(), Py_ssize_t(body.size()));
}

PyObject* codec_buffered(PyObject* self, PyObject*) {
  CodecState& s = codec_state(self);
  size_t n;
  {
    Guard guard(s.lock);
    n = s.codec.buffered();
  }
  return PyLong_FromSize_t(n);
}

PyObject* codec_reset(PyObject* self, PyObject*) {
  CodecState& s = codec_state(self);
  {
    Guard guard(s.lock);
    s.codec.reset();
  }
  return new_none();
}

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
    {"receive_request_head", as_method(codec_receive_request_head), METH_FASTCALL | METH_KEYWORDS,
     "receive_request_head(data) -> H1RequestHead | None: buffer `data` and parse one request "
     "head."},
    {"receive_head", as_method(codec_receive_head), METH_FASTCALL | METH_KEYWORDS,
     "receive_head(data) -> H1ResponseHead | None: buffer `data` and parse one response head."},
    {"feed", as_method(codec_feed), METH_FASTCALL | METH_KEYWORDS,
     "feed(data): put bytes back into the read buffer without parsing."},
    {"take_body", codec_take_body, METH_NOARGS,
     "take_body() -> bytes: remove and return everything in the read buffer."},
    {"buffered", codec_buffered, METH_NOARGS, "buffered() -> int: bytes in the read buffer."},
    {"reset", codec_reset, METH_NOARGS,
     "reset(): start the next message; buffered bytes and the response verdicts stay."},
    {"continue_response", codec_continue_response, METH_NOARGS | METH_STATIC,
     "continue_response() -> bytes: the interim 100 Continue response."},
    {"connection_close", codec_connection_close, METH_O | METH_STATIC,
     "connection_close(headers) -> bool: whether some connection field has the token close."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"parse_error_status", codec_parse_error_status, nullptr,
     "The automatic status (400, 414, 431) after a failed request head, else None.", nullptr},
    {"max_buf_size", codec_max_buf_size, nullptr, "The cap on an incomplete head.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "H1Codec(*, max_headers=None, ignore_invalid_headers=False, "
                    "title_case_headers=False, date_header=True, max_buf_size=417792)\n\n"
                    "The HTTP/1 codec of one connection, for both roles.")},
    {Py_tp_new, reinterpret_cast<void*>(codec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<CodecState>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H1Codec"), sizeof(Boxed<CodecState>), 0, 0, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* codec_type() { return g_type.get(); }

bool codec_check(PyObject* obj) {
  PyTypeObject* type = codec_type();
  return type != nullptr && Py_IS_TYPE(obj, type);
}

CodecState& codec_state(PyObject* codec) { return unbox<CodecState>(codec); }

}  // namespace quillet::py
