#include "src/py/errors.h"

#include "wire/common/text.h"

#include <iterator>
#include <string>

namespace quillet::py {
namespace {

using h1::ErrorCategory;
using h1::IoKind;
using h1::ParseKind;
using h1::UserKind;

struct ExceptionDef {
  const char* name;  // bare name; the class is made as "_quillet.<name>"
  Exc base;          // kQuilletError's own base is Exception
  const char* doc;
};

// In the order of `Exc`.
constexpr ExceptionDef kExceptions[] = {
    {"QuilletError", Exc::kQuilletError,
     "Base of every error of the module, HTTP/1 and HTTP/2.\n\n"
     "args: as raised by a subclass."},
    {"ConnectionClosedError", Exc::kQuilletError,
     "The transport failed (reset, I/O error) with work still in flight.\n\n"
     "A transport failure, not a protocol violation (no GOAWAY is sent for it) and not the\n"
     "HTTP state noticing an early end of input; raised for both protocols.\n\n"
     "args: (message,), a str."},
    {"H1Error", Exc::kQuilletError,
     "Base of every HTTP/1 error; also raised itself for HTTP/1 conditions that have no\n"
     "subclass (a canceled operation, a closed channel, a head read timeout, a failed body\n"
     "write).\n\n"
     "args: (message,)."},
    {"H1ParseError", Exc::kH1Error,
     "A malformed HTTP/1 message head.\n\n"
     "A client sees it for a malformed response; a server answers such a request itself with\n"
     "400, 414, 431 or 501 and closes, so the server application never sees it.\n\n"
     "args: (kind, message). kind is one of: method, version, version_h2, uri, uri_too_long,\n"
     "header_token, header_content_length_invalid, header_transfer_encoding_invalid,\n"
     "header_transfer_encoding_unexpected, header_transfer_encoding_unsupported,\n"
     "header_host_missing, header_host_invalid, too_large, status, internal."},
    {"H1BodyError", Exc::kH1Error,
     "A body that could not be decoded: a framing error, or the transport ending before the\n"
     "body was complete.\n\n"
     "args: (io_kind, message). io_kind names the underlying input/output error kind in\n"
     "snake case: unexpected_eof (the transport closed mid-body), invalid_input or\n"
     "invalid_data (a malformed chunk-size line, extension, line ending or trailer block), or\n"
     "other when there is no underlying input/output error."},
    {"H1IncompleteMessageError", Exc::kH1Error,
     "The connection closed while a message was still expected: a client reached end of input\n"
     "before the response head, or a server's peer closed its side while the response was\n"
     "still being written.\n\n"
     "args: (message,)."},
    {"H1UnexpectedMessageError", Exc::kH1Error,
     "The peer sent bytes when none were expected (a server wrote on an idle client\n"
     "connection, outside any response), which poisons the connection.\n\n"
     "args: (message,)."},
    {"H1UserError", Exc::kH1Error,
     "Local misuse detected on the write path, after which the connection is closed.\n\n"
     "args: (kind, message). kind is one of: body, body_write_aborted, service,\n"
     "unexpected_header, unsupported_status_code, no_upgrade, manual_upgrade, dispatch_gone."},
    {"H2Error", Exc::kQuilletError,
     "Base of every HTTP/2 error.\n\n"
     "args: as raised by a subclass."},
    {"H2ProtocolError", Exc::kH2Error,
     "A connection-level HTTP/2 protocol violation; the connection answers with GOAWAY.\n\n"
     "args: (reason, message). reason is the RFC 9113 error code as an int, or None."},
    {"H2StreamError", Exc::kH2Error,
     "A stream-level HTTP/2 protocol violation; the stream is reset with RST_STREAM and the\n"
     "connection survives.\n\n"
     "args: (stream_id, reason, initiator): the stream id, the RFC 9113 error code as an int,\n"
     "and a str naming who reset the stream (user, library or remote)."},
    {"H2UserError", Exc::kH2Error,
     "Local misuse of the HTTP/2 interface; the connection and the stream stay usable unless\n"
     "the raising method says otherwise.\n\n"
     "args: (kind, message). kind is one of: inactive_stream_id, unexpected_frame_type,\n"
     "payload_too_big, rejected, release_capacity_too_big, overflowed_stream_id,\n"
     "malformed_headers, missing_uri_scheme_and_authority, poll_reset_after_send_response,\n"
     "send_ping_while_pending, send_settings_while_pending, peer_disabled_server_push,\n"
     "invalid_informational_status_code."},
    {"H2FlowControlError", Exc::kH2Error,
     "An HTTP/2 flow-control window over- or underflow.\n\n"
     "args: (reason,), the RFC 9113 error code as an int."},
};
static_assert(std::size(kExceptions) == kExcCount, "one row per kind");

PyObject* g_classes[kExcCount] = {};

// The message of a stream that ended with a transport failure, in the order of `h2::IoKind`.
constexpr const char* kH2IoMessages[] = {
    "stream closed because of a broken pipe",
};
static_assert(std::size(kH2IoMessages) == h2::kIoKindCount, "one message per kind");

struct KindText {
  const char* name;
  const char* text;
};

// In the order of `ParseKind`.
constexpr KindText kParseKinds[] = {
    {"method", "invalid HTTP method parsed"},
    {"version", "invalid HTTP version parsed"},
    {"version_h2", "invalid HTTP version parsed (found HTTP2 preface)"},
    {"uri", "invalid URI"},
    {"uri_too_long", "URI too long"},
    {"header_token", "invalid HTTP header parsed"},
    {"header_content_length_invalid", "invalid content-length parsed"},
    {"header_transfer_encoding_invalid", "invalid transfer-encoding parsed"},
    {"header_transfer_encoding_unexpected", "unexpected transfer-encoding parsed"},
    {"header_transfer_encoding_unsupported", "unsupported transfer-encoding parsed"},
    {"header_host_missing", "missing host header"},
    {"header_host_invalid", "invalid host header parsed"},
    {"too_large", "message head is too large"},
    {"status", "invalid HTTP status-code parsed"},
    {"internal", "internal error inside the HTTP/1 head parser"},
};
static_assert(std::size(kParseKinds) == h1::kParseKindCount, "one row per kind");

// In the order of `UserKind`.
constexpr KindText kUserKinds[] = {
    {"body", "error from user's Body stream"},
    {"body_write_aborted", "user body write aborted"},
    {"service", "error from user's Service"},
    {"unexpected_header", "user sent unexpected header"},
    {"unsupported_status_code", "response has 1xx status code, not supported by server"},
    {"no_upgrade", "no upgrade available"},
    {"manual_upgrade", "upgrade expected but low level API in use"},
    {"dispatch_gone", "dispatch task is gone"},
};
static_assert(std::size(kUserKinds) == h1::kUserKindCount, "one row per kind");

// In the order of `h2::UserKind`.
constexpr KindText kH2UserKinds[] = {
    {"inactive_stream_id", "inactive stream"},
    {"unexpected_frame_type", "unexpected frame type"},
    {"payload_too_big", "payload too big"},
    {"rejected", "rejected"},
    {"release_capacity_too_big", "release capacity too big"},
    {"overflowed_stream_id", "stream ID overflowed"},
    {"malformed_headers", "malformed headers"},
    {"missing_uri_scheme_and_authority", "request URI missing scheme and authority"},
    {"poll_reset_after_send_response", "poll_reset after send_response is illegal"},
    {"send_ping_while_pending", "send_ping before received previous pong"},
    {"send_settings_while_pending", "sending SETTINGS before received previous ACK"},
    {"peer_disabled_server_push", "sending PUSH_PROMISE to peer who disabled server push"},
    {"invalid_informational_status_code", "invalid informational status code"},
};
static_assert(std::size(kH2UserKinds) == h2::kUserKindCount, "one row per kind");

// In the order of `IoKind`.
constexpr const char* kIoKindNames[] = {
    "unexpected_eof",   "invalid_input",      "invalid_data",
    "connection_reset", "connection_aborted", "broken_pipe",
    "timed_out",        "write_zero",         "other",
};
static_assert(std::size(kIoKindNames) == h1::kIoKindCount, "one row per kind");

struct CategoryDef {
  const char* text;  // unused for parse and user, whose text comes from the sub-kind
  Exc exc;
};

// In the order of `ErrorCategory`.
constexpr CategoryDef kCategories[] = {
    {nullptr, Exc::kH1ParseError},
    {nullptr, Exc::kH1UserError},
    {"connection closed before message completed", Exc::kH1IncompleteMessageError},
    {"received unexpected message from connection", Exc::kH1UnexpectedMessageError},
    {"operation was canceled", Exc::kH1Error},
    {"channel closed", Exc::kH1Error},
    {"connection error", Exc::kConnectionClosedError},
    {"read header from client timeout", Exc::kH1Error},
    {"error reading a body from connection", Exc::kH1BodyError},
    {"error writing a body to connection", Exc::kH1Error},
    {"error shutting down connection", Exc::kConnectionClosedError},
};
static_assert(std::size(kCategories) == h1::kErrorCategoryCount, "one row per kind");

// An instance of the exception class `cls`. The classes are ordinary mutable exception types,
// so a program may have replaced their __new__; whatever it returns that is not an instance of
// `cls` (or an error it raises) is dropped, and the instance is made the way BaseException
// makes one, so that a parse error is still raised as one and never as a SystemError.
PyObject* instantiate(PyObject* cls, PyObject* args) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  PyObject* made = PyObject_Call(cls, args, nullptr);
  if (made != nullptr && PyObject_TypeCheck(made, type)) return made;
  Py_XDECREF(made);
  if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  PyErr_Clear();
  return reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_new(type, args, nullptr);
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
}

PyObject* new_u32(uint32_t value) {
  return PyLong_FromUnsignedLong(value);
}

// Raises an instance of `which` made from `items` (new references, all made: a null one means
// making it failed and its error is set).
PyObject* raise_with(Exc which, std::initializer_list<PyObject*> items) {
  Ref owned[3];
  size_t n = 0;
  bool complete = true;
  for (PyObject* item : items) {
    owned[n++] = Ref::steal(item);
    complete = complete && item != nullptr;
  }
  if (!complete) return nullptr;
  PyObject* cls = exception_class(which);
  if (cls == nullptr) return nullptr;
  Ref args = Ref::steal(PyTuple_New(Py_ssize_t(n)));
  if (!args) return nullptr;
  for (size_t i = 0; i < n; ++i)
    PyTuple_SET_ITEM(args.get(), Py_ssize_t(i), owned[i].release());
  Ref exc = Ref::steal(instantiate(cls, args.get()));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

}  // namespace

const char* exception_name(Exc which) {
  return kExceptions[int(which)].name;
}

PyObject* exception_class(Exc which) {
  const int i = int(which);
  if (g_classes[i] != nullptr) return g_classes[i];
  const ExceptionDef& def = kExceptions[i];
  PyObject* base = PyExc_Exception;
  if (which != Exc::kQuilletError) {
    base = exception_class(def.base);
    if (base == nullptr) return nullptr;
  }
  const std::string dotted = std::string("_quillet.") + def.name;
  g_classes[i] = PyErr_NewExceptionWithDoc(dotted.c_str(), def.doc, base, nullptr);
  return g_classes[i];
}

bool adopt_exception_classes(PyObject* module) {
  for (int i = 0; i < kExcCount; ++i) {
    PyObject* cls = PyObject_GetAttrString(module, kExceptions[i].name);
    if (cls == nullptr) return false;
    Py_XDECREF(g_classes[i]);
    g_classes[i] = cls;
  }
  return true;
}

const char* parse_kind_name(ParseKind kind) {
  return kParseKinds[int(kind)].name;
}
const char* user_kind_name(UserKind kind) {
  return kUserKinds[int(kind)].name;
}
const char* io_kind_name(IoKind kind) {
  return kIoKindNames[int(kind)];
}

PyObject* h1_exception(const h1::Error& error) {
  const CategoryDef& category = kCategories[int(error.category)];
  std::string message;
  const char* kind = nullptr;  // the first of two args, for the classes that have one
  switch (error.category) {
    case ErrorCategory::kParse:
      kind = kParseKinds[int(error.parse)].name;
      message = kParseKinds[int(error.parse)].text;
      break;
    case ErrorCategory::kUser:
      kind = kUserKinds[int(error.user)].name;
      message = kUserKinds[int(error.user)].text;
      break;
    case ErrorCategory::kBody:
      kind = error.cause && error.cause->io ? kIoKindNames[int(*error.cause->io)] : "other";
      message = category.text;
      break;
    case ErrorCategory::kIncompleteMessage:
    case ErrorCategory::kUnexpectedMessage:
    case ErrorCategory::kCanceled:
    case ErrorCategory::kChannelClosed:
    case ErrorCategory::kIo:
    case ErrorCategory::kHeadReadTimeout:
    case ErrorCategory::kBodyWrite:
    case ErrorCategory::kShutdown:
      message = category.text;
      break;
  }
  if (error.cause) {
    message += ": ";
    message += error.cause->text;
  }
  PyObject* cls = exception_class(category.exc);
  if (cls == nullptr) return nullptr;
  Ref text = Ref::steal(new_str(message));
  if (!text) return nullptr;
  Ref args;
  if (kind != nullptr) {
    Ref first = Ref::steal(PyUnicode_FromString(kind));
    if (!first) return nullptr;
    args = Ref::steal(PyTuple_Pack(2, first.get(), text.get()));
  } else {
    args = Ref::steal(PyTuple_Pack(1, text.get()));
  }
  if (!args) return nullptr;
  return instantiate(cls, args.get());
}

PyObject* raise_message(PyObject* exc, std::initializer_list<std::string_view> parts) {
  std::string message;
  for (std::string_view part : parts)
    message += part;
  Ref text = Ref::steal(new_str(message));
  if (text) PyErr_SetObject(exc, text.get());
  return nullptr;
}

PyObject* raise_h1(const h1::Error& error) {
  Ref exc = Ref::steal(h1_exception(error));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

const char* h2_reason_description(uint32_t reason) {
  if (!h2::known_error_code(reason)) return "unknown reason";
  return h2::kErrorCodeTexts[reason].description;
}

PyObject* raise_h2_protocol(uint32_t reason, std::string_view message) {
  return raise_with(Exc::kH2ProtocolError, {new_u32(reason), new_str(message)});
}

PyObject* raise_h2_protocol(uint32_t reason) {
  return raise_h2_protocol(reason, h2_reason_description(reason));
}

PyObject* raise_h2_stream(uint32_t stream_id, uint32_t reason, h2::Initiator initiator) {
  return raise_with(Exc::kH2StreamError,
                    {new_u32(stream_id), new_u32(reason), new_str(h2::initiator_name(initiator))});
}

PyObject* raise_h2_user(h2::UserKind kind) {
  const KindText& row = kH2UserKinds[size_t(kind)];
  return raise_with(Exc::kH2UserError, {PyUnicode_FromString(row.name), new_str(row.text)});
}

PyObject* raise_h2_flow_control(uint32_t reason) {
  return raise_with(Exc::kH2FlowControlError, {new_u32(reason)});
}

PyObject* raise_h2_stream_failure(const h2::StreamError& error) {
  switch (error.kind) {
    case h2::ErrorKind::kReset:
      return raise_h2_stream(error.stream_id, error.reason, error.initiator);
    case h2::ErrorKind::kGoAway:
      return raise_h2_protocol(error.reason);
    case h2::ErrorKind::kIo:
      return raise_with(Exc::kConnectionClosedError, {new_str(kH2IoMessages[size_t(error.io)])});
  }
  return nullptr;
}

PyObject* raise_h2_too_many_data_frames() {
  return raise_h2_protocol(h2::kEnhanceYourCalm, "too_many_data_frames");
}

PyObject* raise_h2_bad_initiator(std::string_view given) {
  return raise_message(PyExc_ValueError,
                       {"initiator must be 'user' | 'library' | 'remote', got ", quoted(given)});
}

PyObject* raise_h2_window_too_large(uint32_t size) {
  std::string message = "window size ";
  append_decimal(message, size);
  message += " exceeds the maximum 2147483647 (RFC 9113 6.9.1)";
  return raise_message(PyExc_ValueError, {message});
}

PyObject* raise_h2_frame_error(const h2::FrameError& error) {
  const uint32_t reason = h2::frame_error_reason(error.kind);
  switch (error.kind) {
    case h2::FrameErrorKind::kBadPreface:
      return raise_h2_protocol(reason, "bad client connection preface");
    case h2::FrameErrorKind::kFrameTooLarge:
      return raise_h2_protocol(reason, "frame length exceeds SETTINGS_MAX_FRAME_SIZE");
    case h2::FrameErrorKind::kExpectedContinuation:
      return raise_h2_protocol(reason, "expected CONTINUATION frame");
    case h2::FrameErrorKind::kLoad: {
      std::string message = "failed to load frame: ";
      message += h2::load_error_name(error.load);
      return raise_h2_protocol(reason, message);
    }
    case h2::FrameErrorKind::kPriorityStreamZero:
      return raise_h2_protocol(reason, "PRIORITY frame with stream ID 0");
    case h2::FrameErrorKind::kPushPromise:
      return raise_h2_protocol(reason, "PUSH_PROMISE received but server push is disabled");
    case h2::FrameErrorKind::kUnexpectedContinuation:
      return raise_h2_protocol(reason, "received unexpected CONTINUATION frame");
    case h2::FrameErrorKind::kContinuationStreamMismatch:
      return raise_h2_protocol(
          reason, "CONTINUATION frame stream ID does not match previous frame stream ID");
    case h2::FrameErrorKind::kTooManyContinuations:
      return raise_h2_protocol(reason, "too_many_continuations");
    case h2::FrameErrorKind::kContinuationOverLimit:
      return raise_h2_protocol(reason, "CONTINUATION frame header block size over ignorable limit");
    case h2::FrameErrorKind::kHeaderListAbuse:
      return raise_h2_protocol(reason, "decoded header list size over abuse limit");
    case h2::FrameErrorKind::kHpack: {
      std::string message = "HPACK decoding failed: Hpack(";
      message += h2::hpack::decode_error_name(error.hpack);
      message += ")";
      return raise_h2_protocol(reason, message);
    }
  }
  return raise_h2_protocol(reason);
}

PyObject* raise_h2_bad_max_frame_size(uint64_t size) {
  std::string message = "max_frame_size must be in [";
  append_decimal(message, h2::kDefaultMaxFrameSize);
  message += ", ";
  append_decimal(message, h2::kMaxMaxFrameSize);
  message += "], got ";
  append_decimal(message, size);
  return raise_message(PyExc_ValueError, {message});
}

PyObject* raise_h2_write_error(h2::WriteError error, uint64_t value, uint32_t limit) {
  std::string message;
  switch (error) {
    case h2::WriteError::kStreamIdZero:
      return raise_message(PyExc_ValueError, {"stream_id must not be 0"});
    case h2::WriteError::kStreamIdTooLarge:
      message = "stream_id must be <= 2147483647, got ";
      append_decimal(message, value);
      return raise_message(PyExc_ValueError, {message});
    case h2::WriteError::kPayloadTooBig: {
      message = "DATA payload ";
      append_decimal(message, value);
      message += " exceeds SETTINGS_MAX_FRAME_SIZE ";
      append_decimal(message, limit);
      const KindText& row = kH2UserKinds[size_t(h2::UserKind::kPayloadTooBig)];
      return raise_with(Exc::kH2UserError, {PyUnicode_FromString(row.name), new_str(message)});
    }
    case h2::WriteError::kPingPayloadSize:
      return raise_message(PyExc_ValueError, {"ping payload must be exactly 8 bytes"});
    case h2::WriteError::kSettingsMaxFrameSize:
      return raise_h2_bad_max_frame_size(value);
    case h2::WriteError::kSettingsInitialWindow:
      message = "initial_window_size must be <= 2147483647, got ";
      append_decimal(message, value);
      return raise_message(PyExc_ValueError, {message});
    case h2::WriteError::kWindowIncrement:
      message = "increment must be in [1, 2147483647], got ";
      append_decimal(message, value);
      return raise_message(PyExc_ValueError, {message});
    case h2::WriteError::kLastStreamIdTooLarge:
      message = "last_stream_id must be <= 2147483647, got ";
      append_decimal(message, value);
      return raise_message(PyExc_ValueError, {message});
    case h2::WriteError::kDebugDataTooLong:
      message = "debug_data must be at most 16777207 bytes, got ";
      append_decimal(message, value);
      return raise_message(PyExc_ValueError, {message});
  }
  return nullptr;
}

PyObject* raise_h2_bad_role(std::string_view given) {
  return raise_message(PyExc_ValueError,
                       {"role must be 'client' or 'server', got ", quoted(given)});
}

PyObject* raise_h2_bad_reason(PyObject* given) {
  Ref text = Ref::steal(PyObject_Repr(given));
  if (!text) return nullptr;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) return nullptr;
  return raise_message(PyExc_ValueError,
                       {std::string_view(data, size_t(size)), " is not a valid H2Reason"});
}

PyObject* raise_h2_bare_path() {
  return raise_message(PyExc_ValueError,
                       {"request target is a bare path but the connection has no authority; "
                        "pass authority=... to H2Connection or use an absolute-URL target"});
}

PyObject* raise_invalid_method() {
  return raise_message(PyExc_ValueError, {"invalid method: invalid HTTP method"});
}

PyObject* raise_invalid_url(UriError error) {
  return raise_message(PyExc_ValueError, {"invalid url: ", uri_error_reason(error)});
}

PyObject* raise_invalid_status() {
  return raise_message(PyExc_ValueError, {"invalid status: invalid status code"});
}

PyObject* raise_h2_malformed_headers() {
  return raise_h2_user(h2::UserKind::kMalformedHeaders);
}

namespace {

PyObject* raise_h2_rejected(const char* message) {
  const KindText& row = kH2UserKinds[size_t(h2::UserKind::kRejected)];
  return raise_with(Exc::kH2UserError, {PyUnicode_FromString(row.name), new_str(message)});
}

}  // namespace

PyObject* raise_request_block_error(h2::RequestBlockError error, UriError uri_error) {
  switch (error) {
    case h2::RequestBlockError::kMethod:
      return raise_invalid_method();
    case h2::RequestBlockError::kUri:
      return raise_invalid_url(uri_error);
    case h2::RequestBlockError::kBarePath:
      return raise_h2_bare_path();
    case h2::RequestBlockError::kProtocol:
      return raise_message(PyExc_ValueError, {"invalid protocol: not a token"});
    case h2::RequestBlockError::kProtocolWithoutConnect:
      return raise_h2_rejected("protocol is for an extended CONNECT: the method must be CONNECT");
  }
  return raise_message(PyExc_RuntimeError, {"internal error: an unknown request head refusal"});
}

PyObject* raise_h2_windows_too_large() {
  return raise_message(PyExc_ValueError, {"window sizes must be <= 2147483647 (RFC 9113 6.9.1)"});
}

PyObject* raise_h2_failure(const h2::Failure& failure) {
  // The message of a PROTOCOL_ERROR that names a stream.
  const auto on_stream = [&failure](const char* text) {
    std::string message = text;
    append_decimal(message, failure.value);
    return raise_h2_protocol(h2::kProtocolError, message);
  };
  switch (failure.kind) {
    case h2::FailureKind::kFlowControl:
      return raise_h2_flow_control(h2::kFlowControlError);
    case h2::FailureKind::kBadMaxFrameSize:
      return raise_h2_bad_max_frame_size(failure.value);
    case h2::FailureKind::kStreamIdsExhausted:
      return raise_h2_protocol(h2::kRefusedStream,
                               "stream ID space exhausted (OverflowedStreamId)");
    case h2::FailureKind::kRequestHead:
      break;
    case h2::FailureKind::kTooManyQueuedControlFrames:
      return raise_h2_protocol(h2::kEnhanceYourCalm, "too many queued control frames");
    case h2::FailureKind::kUnexpectedFrameType:
      return raise_h2_user(h2::UserKind::kUnexpectedFrameType);
    case h2::FailureKind::kIdleStream:
      return on_stream("frame on idle stream ");
    case h2::FailureKind::kInvalidNewStreamId:
      return on_stream("invalid new stream id ");
    case h2::FailureKind::kUnexpectedData:
      return on_stream("unexpected DATA on stream ");
    case h2::FailureKind::kStream:
      return raise_h2_stream(uint32_t(failure.value), failure.reason, h2::Initiator::kLibrary);
    case h2::FailureKind::kNoSpareHandle:
      return raise_message(PyExc_ValueError,
                           {"recv_headers: the server role needs a spare stream handle"});
    case h2::FailureKind::kTooManyPendingResets:
      return raise_h2_protocol(h2::kEnhanceYourCalm, "too_many_resets");
    case h2::FailureKind::kTooManyErrorResets:
      return raise_h2_protocol(h2::kEnhanceYourCalm, "too many stream resets");
    case h2::FailureKind::kDataFrameFlood:
      return raise_h2_too_many_data_frames();
    case h2::FailureKind::kGoAwayRaisedLastId:
      return raise_h2_protocol(h2::kProtocolError, "GOAWAY may not raise last_stream_id");
    case h2::FailureKind::kConnectProtocolWithdrawn:
      return raise_h2_protocol(h2::kProtocolError,
                               "SETTINGS_ENABLE_CONNECT_PROTOCOL may not go back to 0");
    case h2::FailureKind::kConnectProtocolNotAnnounced:
      return raise_h2_rejected(
          "extended CONNECT refused: the peer did not enable it "
          "(SETTINGS_ENABLE_CONNECT_PROTOCOL)");
  }
  return raise_message(PyExc_RuntimeError, {"internal error: an unreported request head refusal"});
}

PyObject* raise_h2_offset_past_end(uint64_t offset, size_t size) {
  std::string message = "offset must be <= len(data) (";
  append_decimal(message, size);
  message += "), got ";
  append_decimal(message, offset);
  return raise_message(PyExc_ValueError, {message});
}

}  // namespace quillet::py
