// The module's exception classes and the one conversion from HTTP/1 error values to them.
#pragma once

#include "src/py/ref.h"
#include "wire/common/uri.h"
#include "wire/h1/error.h"
#include "wire/h2/error.h"
#include "wire/h2/frame.h"
#include "wire/h2/header_block.h"
#include "wire/h2/stream_state.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace quillet::py {

enum class Exc {
  kQuilletError,
  kConnectionClosedError,
  kH1Error,
  kH1ParseError,
  kH1BodyError,
  kH1IncompleteMessageError,
  kH1UnexpectedMessageError,
  kH1UserError,
  kH2Error,
  kH2ProtocolError,
  kH2StreamError,
  kH2UserError,
  kH2FlowControlError,
};
inline constexpr int kExcCount = int(Exc::kH2FlowControlError) + 1;

// The class (borrowed; it lives as long as the process), made on first use together with its
// bases; nullptr with the Python error set when it could not be made.
PyObject* exception_class(Exc which);

// The bare name of a class ("H1ParseError").
const char* exception_name(Exc which);

// Makes every class `module` holds by name its own from now on. The test probe, a module of its
// own, uses this to raise the very classes that _quillet exported; the module itself never needs
// it.
bool adopt_exception_classes(PyObject* module);

// The names of the HTTP/1 error kinds as they appear in exception args.
const char* parse_kind_name(h1::ParseKind kind);
const char* user_kind_name(h1::UserKind kind);
const char* io_kind_name(h1::IoKind kind);

// Turns an HTTP/1 error into its exception instance (new reference, or nullptr with the Python
// error set).
PyObject* h1_exception(const h1::Error& error);

// Raises `exc` with a message made of `parts` joined, built here rather than by a format string
// (before Python 3.12 the C API formatter has no star precision); always returns nullptr.
PyObject* raise_message(PyObject* exc, std::initializer_list<std::string_view> parts);

// Raises an HTTP/1 error; always returns nullptr, for `return raise_h1(e);`.
PyObject* raise_h1(const h1::Error& error);

// HTTP/2. Each raises and returns nullptr.

// The text of an RFC 9113 error code ("stream no longer needed" for 8, "unknown reason" past
// the codes the RFC defines).
const char* h2_reason_description(uint32_t reason);

// H2ProtocolError(reason, message).
PyObject* raise_h2_protocol(uint32_t reason, std::string_view message);
// H2ProtocolError(reason, <the reason's description>).
PyObject* raise_h2_protocol(uint32_t reason);
// H2StreamError(stream_id, reason, initiator).
PyObject* raise_h2_stream(uint32_t stream_id, uint32_t reason, h2::Initiator initiator);
// H2UserError(kind, <the kind's standard message>).
PyObject* raise_h2_user(h2::UserKind kind);
// H2FlowControlError(reason).
PyObject* raise_h2_flow_control(uint32_t reason);
// The error a stream ended with, as the receive side reports it: a reset as H2StreamError, a
// GOAWAY as H2ProtocolError, a transport failure as ConnectionClosedError.
PyObject* raise_h2_stream_failure(const h2::StreamError& error);
// H2ProtocolError(ENHANCE_YOUR_CALM, "too_many_data_frames"): a flood of small DATA frames.
PyObject* raise_h2_too_many_data_frames();
// ValueError for an initiator that is not "user", "library" or "remote".
PyObject* raise_h2_bad_initiator(std::string_view given);
// ValueError for a window size or change above 2^31 - 1.
PyObject* raise_h2_window_too_large(uint32_t size);
// H2ProtocolError(reason, message) for a connection error the frame decoder found.
PyObject* raise_h2_frame_error(const h2::FrameError& error);
// The refusal of a frame writer; `value` is the refused argument (the payload's size for
// kPayloadTooBig), `limit` the send max frame size.
PyObject* raise_h2_write_error(h2::WriteError error, uint64_t value, uint32_t limit);
// ValueError for a max_frame_size outside 16384..16777215.
PyObject* raise_h2_bad_max_frame_size(uint64_t size);
// ValueError for a role other than "client" or "server".
PyObject* raise_h2_bad_role(std::string_view given);
// ValueError "<repr> is not a valid H2Reason".
PyObject* raise_h2_bad_reason(PyObject* given);
// ValueError for a request target without scheme and authority on a connection without them.
PyObject* raise_h2_bare_path();
// ValueError "invalid method: invalid HTTP method".
PyObject* raise_invalid_method();
// ValueError "invalid url: <the URI parser's reason>".
PyObject* raise_invalid_url(UriError error);
// ValueError "invalid status: invalid status code".
PyObject* raise_invalid_status();
// H2UserError("malformed_headers", "malformed headers").
PyObject* raise_h2_malformed_headers();
// The refusal of a request's pseudo-header fields: ValueError, or H2UserError("rejected", ...)
// for :protocol on a method other than CONNECT.
PyObject* raise_request_block_error(h2::RequestBlockError error, UriError uri_error);
// ValueError for a connection window or initial window above 2^31 - 1.
PyObject* raise_h2_windows_too_large();
// The connection error or refusal a connection transition reported (kRequestHead is the
// caller's own to raise: here it is a RuntimeError).
PyObject* raise_h2_failure(const h2::Failure& failure);
// ValueError for a send offset past the end of its data.
PyObject* raise_h2_offset_past_end(uint64_t offset, size_t size);

}  // namespace quillet::py
