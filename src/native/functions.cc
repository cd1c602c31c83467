#include "src/native/functions.h"

#include "src/native/support.h"

#include "src/http/header_map.h"
#include "src/native/imported.h"
#include "src/py/args.h"
#include "src/py/types.h"
#include "wire/common/header_map.h"
#include "wire/ws/frame.h"
#include "wire/ws/handshake.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::native {
namespace {

using namespace quillet::py;

PyObject* new_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogateescape");
}

// A payload: bytes as they are, or a str as its UTF-8 (a lone surrogate has none: ValueError).
bool arg_payload(PyObject* obj, const char* name, std::string_view* out) {
  if (PyBytes_Check(obj)) return arg_bytes(obj, name, out);
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes or str, not %.100s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  switch (str_utf8(obj, out)) {
    case Utf8::kOk:
      return true;
    case Utf8::kFailed:
      return false;
    case Utf8::kNoUtf8:
      break;
  }
  PyErr_Format(PyExc_ValueError, "%s is not valid text: it holds a lone surrogate", name);
  return false;
}

// A str argument that must have a UTF-8 form (close reasons).
bool arg_text(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  return arg_payload(obj, name, out);
}

bool arg_opcode(PyObject* obj, const char* name, ws::Opcode* out) {
  uint16_t value;
  if (!arg_u16(obj, name, &value)) return false;
  switch (value) {
    case uint16_t(ws::Opcode::kContinuation):
    case uint16_t(ws::Opcode::kText):
    case uint16_t(ws::Opcode::kBinary):
    case uint16_t(ws::Opcode::kClose):
    case uint16_t(ws::Opcode::kPing):
    case uint16_t(ws::Opcode::kPong):
      *out = ws::Opcode(value);
      return true;
    default:
      break;
  }
  PyErr_Format(PyExc_ValueError, "%s must be 0, 1, 2, 8, 9 or 10, not %u", name, unsigned(value));
  return false;
}

bool arg_mask(PyObject* obj, const char* name, std::optional<ws::MaskKey>* out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string_view key;
  if (!arg_bytes(obj, name, &key)) return false;
  if (key.size() != 4) {
    PyErr_Format(PyExc_ValueError, "%s must be 4 bytes, not %zu", name, key.size());
    return false;
  }
  ws::MaskKey mask;
  for (size_t i = 0; i < 4; ++i)
    mask[i] = uint8_t(key[i]);
  *out = mask;
  return true;
}

PyObject* raise_write_error(ws::WriteError error) {
  const std::string_view message = ws::write_error_message(error);
  Ref text = Ref::steal(new_str(message));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

// Fills `out` from a header argument: a _quillet.HeaderMap (read through its raw_items()
// method) or an iterable of (name, value) pairs of bytes or str.
bool arg_headers(PyObject* obj, quillet::HeaderMap* out) {
  Ref pairs;
  const int is_map = PyObject_IsInstance(obj, header_map_class());
  if (is_map < 0) return false;
  if (is_map) {
    pairs = Ref::steal(PyObject_CallMethod(obj, "raw_items", nullptr));
  } else if (PyBytes_Check(obj) || PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "headers must be a HeaderMap or an iterable of (name, value) pairs");
    return false;
  } else {
    pairs = Ref::borrow(obj);
  }
  if (!pairs) return false;
  Ref seq = Ref::steal(PySequence_Fast(
      pairs.get(), "headers must be a HeaderMap or an iterable of (name, value) pairs"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_Format(PyExc_TypeError, "a header must be a (name, value) tuple, not %.100s",
                   Py_TYPE(pair)->tp_name);
      return false;
    }
    std::string_view name;
    std::string_view value;
    if (!arg_header_name(PyTuple_GET_ITEM(pair, 0), &name) ||
        !arg_header_value(PyTuple_GET_ITEM(pair, 1), &value)) {
      return false;
    }
    if (!out->append(name, value)) {
      raise_header_map_full();
      return false;
    }
  }
  return true;
}

// --- writers ---

PyObject* frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> kNames{"opcode", "payload", "fin", "rsv1", "mask"};
  static constexpr ArgParser kParser("ws_frame", kNames, 2, 2);
  PyObject* a[5];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  ws::FrameHead head;
  std::string_view payload;
  if (!arg_opcode(a[0], "opcode", &head.opcode) || !arg_payload(a[1], "payload", &payload) ||
      (a[2] != nullptr && !arg_bool(a[2], "fin", &head.fin)) ||
      (a[3] != nullptr && !arg_bool(a[3], "rsv1", &head.rsv1)) ||
      !arg_mask(a[4], "mask", &head.mask)) {
    return nullptr;
  }
  const size_t size = ws::frame_header_size(payload.size(), head.mask.has_value()) + payload.size();
  if (size > size_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
  if (!out) return nullptr;
  size_t written = 0;
  if (const std::optional<ws::WriteError> error =
          ws::write_frame(head, payload, PyBytes_AS_STRING(out.get()), size, &written)) {
    return raise_write_error(*error);
  }
  return out.release();
}

PyObject* frame_head(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 4> kNames{"opcode", "size", "fin", "rsv1"};
  static constexpr ArgParser kParser("ws_frame_head", kNames, 2, 2);
  PyObject* a[4];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  ws::FrameHead head;
  uint64_t size = 0;
  if (!arg_opcode(a[0], "opcode", &head.opcode) || !arg_u64(a[1], "size", &size) ||
      (a[2] != nullptr && !arg_bool(a[2], "fin", &head.fin)) ||
      (a[3] != nullptr && !arg_bool(a[3], "rsv1", &head.rsv1))) {
    return nullptr;
  }
  if (const std::optional<ws::WriteError> error = ws::check_frame_head(head, size)) {
    return raise_write_error(*error);
  }
  char out[ws::kMaxFrameHeaderSize];
  return new_bytes(std::string_view(out, ws::write_frame_header(head, size, out)));
}

PyObject* close_payload(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"code", "reason"};
  static constexpr ArgParser kParser("ws_close_payload", kNames, 2, 0);
  PyObject* a[2];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  std::optional<uint16_t> code;
  std::string_view reason;
  if (!arg_optional(arg_u16, a[0], "code", &code) ||
      (a[1] != nullptr && !arg_text(a[1], "reason", &reason))) {
    return nullptr;
  }
  std::string out;
  if (const std::optional<ws::WriteError> error = ws::write_close_payload(code, reason, &out)) {
    return raise_write_error(*error);
  }
  return new_bytes(out);
}

// --- the handshake ---

PyObject* accept(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"key"};
  static constexpr ArgParser kParser("ws_accept", kNames, 1, 1);
  PyObject* a[1];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  std::string_view key;
  if (!arg_payload(a[0], "key", &key)) return nullptr;
  return new_bytes(ws::accept_value(key));
}

PyObject* check_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames{"method", "headers", "http10"};
  static constexpr ArgParser kParser("ws_check_request", kNames, 2, 2);
  PyObject* a[3];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  Text method;
  bool http10 = false;
  quillet::HeaderMap headers;
  if (!arg_str(a[0], "method", &method) ||
      (a[2] != nullptr && !arg_bool(a[2], "http10", &http10)) || !arg_headers(a[1], &headers)) {
    return nullptr;
  }
  const ws::Handshake verdict = ws::check_upgrade_request(method.bytes, http10, headers);
  if (verdict == ws::Handshake::kNotWebSocket) Py_RETURN_NONE;
  const ws::HandshakeAnswer& answer = ws::handshake_answer(verdict);
  Ref message = Ref::steal(new_str(answer.message));
  if (!message) return nullptr;
  return Py_BuildValue("(iO)", int(answer.status), message.get());
}

PyObject* check_connect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 6> kNames{"method", "scheme",   "authority",
                                                     "path",   "protocol", "headers"};
  static constexpr ArgParser kParser("ws_check_connect", kNames, 6, 6);
  using PseudoHeader = h2::hpack::PseudoHeader;
  static constexpr PseudoHeader kFields[] = {PseudoHeader::kMethod, PseudoHeader::kScheme,
                                             PseudoHeader::kAuthority, PseudoHeader::kPath,
                                             PseudoHeader::kProtocol};
  PyObject* a[6];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  h2::hpack::PseudoHeaders pseudo;
  for (size_t i = 0; i < std::size(kFields); ++i) {
    Text text;
    if (a[i] == Py_None) continue;
    if (!arg_str(a[i], kNames[i], &text)) return nullptr;
    pseudo[kFields[i]] = std::string(text.bytes);
  }
  quillet::HeaderMap headers;
  if (!arg_headers(a[5], &headers)) return nullptr;
  const ws::HandshakeAnswer& answer =
      ws::handshake_answer(ws::check_connect_request(pseudo, headers));
  Ref message = Ref::steal(new_str(answer.message));
  if (!message) return nullptr;
  return Py_BuildValue("(iOO)", int(answer.h2_status), message.get(),
                       answer.names_version ? Py_True : Py_False);
}

// The one argument of the functions that read a request's headers.
bool headers_only(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  quillet::HeaderMap* headers) {
  static constexpr std::array<const char*, 1> kNames{"headers"};
  const ArgParser parser(function, kNames, 1, 1);
  PyObject* a[1];
  return parser.parse(args, nargs, kwnames, a) && arg_headers(a[0], headers);
}

PyObject* subprotocols(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  quillet::HeaderMap headers;
  if (!headers_only("ws_subprotocols", args, nargs, kwnames, &headers)) return nullptr;
  const std::vector<std::string> offers = ws::subprotocol_offers(headers);
  Ref list = Ref::steal(PyList_New(Py_ssize_t(offers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < offers.size(); ++i) {
    PyObject* s = new_str(offers[i]);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), s);
  }
  return list.release();
}

PyObject* optional_str(const std::optional<std::string>& value) {
  if (!value) Py_RETURN_NONE;
  return new_str(*value);
}

PyObject* extensions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  quillet::HeaderMap headers;
  if (!headers_only("ws_extensions", args, nargs, kwnames, &headers)) return nullptr;
  const std::vector<ws::ExtensionOffer> offers = ws::extension_offers(headers);
  Ref list = Ref::steal(PyList_New(Py_ssize_t(offers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < offers.size(); ++i) {
    const ws::ExtensionOffer& offer = offers[i];
    Ref params = Ref::steal(PyList_New(Py_ssize_t(offer.params.size())));
    if (!params) return nullptr;
    for (size_t j = 0; j < offer.params.size(); ++j) {
      Ref name = Ref::steal(new_str(offer.params[j].first));
      Ref value = name ? Ref::steal(optional_str(offer.params[j].second)) : Ref();
      if (!value) return nullptr;
      PyList_SET_ITEM(params.get(), Py_ssize_t(j), PyTuple_Pack(2, name.get(), value.get()));
      if (PyList_GET_ITEM(params.get(), Py_ssize_t(j)) == nullptr) return nullptr;
    }
    Ref name = Ref::steal(new_str(offer.name));
    if (!name) return nullptr;
    PyObject* item = PyTuple_Pack(2, name.get(), params.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  return list.release();
}

PyObject* optional_bits(const std::optional<uint8_t>& bits) {
  if (!bits) Py_RETURN_NONE;
  return PyLong_FromLong(*bits);
}

PyObject* deflate_offers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  quillet::HeaderMap headers;
  if (!headers_only("ws_deflate_offers", args, nargs, kwnames, &headers)) return nullptr;
  const std::vector<ws::DeflateParams> offers = ws::deflate_offers(headers);
  Ref list = Ref::steal(PyList_New(Py_ssize_t(offers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < offers.size(); ++i) {
    const ws::DeflateParams& p = offers[i];
    Ref server_bits = Ref::steal(optional_bits(p.server_max_window_bits));
    Ref client_bits = server_bits ? Ref::steal(optional_bits(p.client_max_window_bits)) : Ref();
    if (!client_bits) return nullptr;
    PyObject* item =
        Py_BuildValue("(OOOOO)", p.server_no_context_takeover ? Py_True : Py_False,
                      p.client_no_context_takeover ? Py_True : Py_False, server_bits.get(),
                      p.client_max_window_bits_offered ? Py_True : Py_False, client_bits.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  return list.release();
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_frame_def = {
    "ws_frame", as_method<frame>(), kFast,
    "ws_frame($module, /, opcode, payload, *, fin=True, rsv1=False, mask=None)\n--\n\n"
    "One frame: its header and `payload` (bytes, or a str sent as its UTF-8), masked with\n"
    "`mask` (4 bytes) when given, as a client sends. Raises ValueError for a control frame\n"
    "over 125 octets or not final, and for RSV1 on a control or continuation frame."};

PyMethodDef g_frame_head_def = {
    "ws_frame_head", as_method<frame_head>(), kFast,
    "ws_frame_head($module, /, opcode, size, *, fin=True, rsv1=False)\n--\n\n"
    "The header of an unmasked frame of `size` payload octets, to send before the payload\n"
    "itself (a server's frame without copying its payload). Raises ValueError where\n"
    "ws_frame would."};

PyMethodDef g_close_payload_def = {
    "ws_close_payload", as_method<close_payload>(), kFast,
    "ws_close_payload($module, /, code=None, reason='')\n--\n\n"
    "The payload of a Close frame: empty without a code, else the code and the reason cut\n"
    "to 123 octets without splitting a character. Raises ValueError for a code that may not\n"
    "travel in a Close frame, and for a reason without a code."};

PyMethodDef g_accept_def = {
    "ws_accept", as_method<accept>(), kFast,
    "ws_accept($module, /, key)\n--\n\n"
    "The Sec-WebSocket-Accept value (28 bytes) answering the Sec-WebSocket-Key `key`."};

PyMethodDef g_check_request_def = {
    "ws_check_request", as_method<check_request>(), kFast,
    "ws_check_request($module, /, method, headers, *, http10=False)\n--\n\n"
    "Checks an HTTP/1.1 request that may open a WebSocket. None: it does not ask for\n"
    "WebSocket at all. Else (status, message): 101 to accept it, or the refusal (400, or\n"
    "426, which carries 'Sec-WebSocket-Version: 13'). headers: a HeaderMap or (name, value)\n"
    "pairs."};

PyMethodDef g_check_connect_def = {
    "ws_check_connect", as_method<check_connect>(), kFast,
    "ws_check_connect($module, /, method, scheme, authority, path, protocol, headers)\n--\n\n"
    "Checks an HTTP/2 extended CONNECT (its pseudo-header fields, each str or None, and its\n"
    "fields). (status, message, names_version): 200 to accept it, else the refusal (501 for a\n"
    "protocol other than websocket, 400 otherwise); names_version: the refusal carries\n"
    "'Sec-WebSocket-Version: 13'."};

PyMethodDef g_subprotocols_def = {
    "ws_subprotocols", as_method<subprotocols>(), kFast,
    "ws_subprotocols($module, /, headers)\n--\n\n"
    "The subprotocols a request offers, in order (Sec-WebSocket-Protocol tokens)."};

PyMethodDef g_extensions_def = {
    "ws_extensions", as_method<extensions>(), kFast,
    "ws_extensions($module, /, headers)\n--\n\n"
    "The Sec-WebSocket-Extensions elements of a request: [(name, [(param, value or None)])];\n"
    "an element that breaks the grammar is skipped."};

PyMethodDef g_deflate_offers_def = {
    "ws_deflate_offers", as_method<deflate_offers>(), kFast,
    "ws_deflate_offers($module, /, headers)\n--\n\n"
    "The permessage-deflate offers that can be accepted, in the client's order:\n"
    "[(server_no_context_takeover, client_no_context_takeover, server_max_window_bits,\n"
    "client_max_window_bits_offered, client_max_window_bits)]."};

}  // namespace

PyObject* make_frame_function(PyObject* module) {
  return make_module_function(&g_frame_def, module);
}
PyObject* make_frame_head_function(PyObject* module) {
  return make_module_function(&g_frame_head_def, module);
}
PyObject* make_close_payload_function(PyObject* module) {
  return make_module_function(&g_close_payload_def, module);
}
PyObject* make_accept_function(PyObject* module) {
  return make_module_function(&g_accept_def, module);
}
PyObject* make_check_request_function(PyObject* module) {
  return make_module_function(&g_check_request_def, module);
}
PyObject* make_check_connect_function(PyObject* module) {
  return make_module_function(&g_check_connect_def, module);
}
PyObject* make_subprotocols_function(PyObject* module) {
  return make_module_function(&g_subprotocols_def, module);
}
PyObject* make_extensions_function(PyObject* module) {
  return make_module_function(&g_extensions_def, module);
}
PyObject* make_deflate_offers_function(PyObject* module) {
  return make_module_function(&g_deflate_offers_def, module);
}

}  // namespace quillet::native
