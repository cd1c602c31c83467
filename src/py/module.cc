// The _quillet module: one execution step that registers every name, in a fixed order, and
// lists each in __all__ as it goes.
#include "src/h1/body_decoder.h"
#include "src/h1/client_state.h"
#include "src/h1/codec.h"
#include "src/h1/heads.h"
#include "src/h1/server_state.h"
#include "src/h2/codec.h"
#include "src/h2/connection.h"
#include "src/h2/frames.h"
#include "src/h2/streams.h"
#include "src/h2/verdicts.h"
#include "src/http/functions.h"
#include "src/http/header_map.h"
#include "src/http/once_latch.h"
#include "src/http/proxy.h"
#include "src/py/errors.h"
#include "src/py/ref.h"
#include "src/py/registration.h"
#include "src/py/types.h"
#include "wire/common/version.h"
#include "wire/h1/client_state.h"
#include "wire/h1/server_state.h"
#include "wire/h2/data_frame_budget.h"
#include "wire/h2/flow_control.h"
#include "wire/h2/frame.h"
#include "wire/h2/hpack/dynamic_table.h"
#include "wire/h2/preface.h"
#include "wire/h2/stream_state.h"
#include "wire/h2/verdict.h"

#include <string>

namespace quillet::py {
namespace {

PyObject* make_version(PyObject*) {
  const std::string version = python_version(package_version());
  return PyUnicode_FromStringAndSize(version.data(), Py_ssize_t(version.size()));
}

template <Exc kWhich>
PyObject* make_exception(PyObject*) {
  PyObject* cls = exception_class(kWhich);
  Py_XINCREF(cls);
  return cls;
}

template <PyTypeObject* (*kType)()>
PyObject* make_class(PyObject*) {
  PyTypeObject* type = kType();
  Py_XINCREF(type);
  return reinterpret_cast<PyObject*>(type);
}

template <long kValue>
PyObject* make_int(PyObject*) {
  return PyLong_FromLong(kValue);
}

// A verdict code defined by its enum in wire/.
template <auto kCode>
PyObject* make_code(PyObject*) {
  return PyLong_FromLong(long(kCode));
}

PyObject* make_h2_preface(PyObject*) {
  return PyBytes_FromStringAndSize(h2::kClientPreface.data(),
                                   Py_ssize_t(h2::kClientPreface.size()));
}

// Every name the module exports, in registration order. A class or function joins this table
// at its own place when it is built.
constexpr Registration kRegistrations[] = {
    {"__version__", make_version},
    {"QuilletError", make_exception<Exc::kQuilletError>},
    {"ConnectionClosedError", make_exception<Exc::kConnectionClosedError>},
    {"HeaderMap", make_class<header_map_type>},
    {"http_date", make_http_date_function},
    {"uri_parts", make_uri_parts_function},
    // HTTP/2 framing
    {"H2Codec", make_class<h2_codec_type>},
    {"H2FrameHeaders", make_class<frame_headers_type>},
    {"H2FrameData", make_class<frame_data_type>},
    {"H2FrameSettings", make_class<frame_settings_type>},
    {"H2FrameWindowUpdate", make_class<frame_window_update_type>},
    {"H2FramePing", make_class<frame_ping_type>},
    {"H2FrameGoAway", make_class<frame_go_away_type>},
    {"H2FrameRstStream", make_class<frame_rst_stream_type>},
    {"H2FramePriority", make_class<frame_priority_type>},
    {"H2FrameStreamError", make_class<frame_stream_error_type>},
    // HTTP/2 stream primitives
    {"H2StreamState", make_class<stream_state_type>},
    {"H2FlowControl", make_class<flow_control_type>},
    {"H2ContentLength", make_class<content_length_type>},
    {"H2DataFrameBudget", make_class<data_frame_budget_type>},
    // The HTTP/2 connection and its verdicts
    {"H2Streams", make_class<h2_streams_type>},
    {"H2Stopped", make_class<stopped_type>},
    {"H2RecvHeadersVerdict", make_class<recv_headers_verdict_type>},
    {"H2RecvDataVerdict", make_class<recv_data_verdict_type>},
    {"H2SendVerdict", make_class<send_verdict_type>},
    {"H2ResetVerdict", make_class<reset_verdict_type>},
    // HTTP/2 verdict flags and header kinds
    {"H2_FLAG_WAKE", make_code<h2::flag::kWake>},
    {"H2_FLAG_SLOT_FREED", make_code<h2::flag::kSlotFreed>},
    {"H2_FLAG_CONN_DONE", make_code<h2::flag::kConnDone>},
    {"H2_FLAG_STOP_ACCEPTING", make_code<h2::flag::kStopAccepting>},
    {"H2_FLAG_CAPACITY", make_code<h2::flag::kCapacity>},
    {"H2_HEADERS_IGNORED", make_code<h2::HeadersKind::kIgnored>},
    {"H2_HEADERS_OPENED", make_code<h2::HeadersKind::kOpened>},
    {"H2_HEADERS_HEAD", make_code<h2::HeadersKind::kHead>},
    {"H2_HEADERS_TRAILERS", make_code<h2::HeadersKind::kTrailers>},
    {"H2Error", make_exception<Exc::kH2Error>},
    {"H2ProtocolError", make_exception<Exc::kH2ProtocolError>},
    {"H2StreamError", make_exception<Exc::kH2StreamError>},
    {"H2UserError", make_exception<Exc::kH2UserError>},
    {"H2FlowControlError", make_exception<Exc::kH2FlowControlError>},
    {"H2Reason", make_class<reason_type>},
    // HTTP/2 defaults and limits
    {"H2_DEFAULT_HEADER_TABLE_SIZE", make_int<h2::hpack::kDefaultTableSize>},
    {"H2_DEFAULT_INITIAL_WINDOW_SIZE", make_int<h2::kDefaultInitialWindowSize>},
    {"H2_DEFAULT_MAX_FRAME_SIZE", make_int<h2::kDefaultMaxFrameSize>},
    {"H2_MAX_MAX_FRAME_SIZE", make_int<h2::kMaxMaxFrameSize>},
    {"H2_MAX_STREAM_ID", make_int<h2::kMaxStreamId>},
    {"H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", make_int<h2::kDataFrameOverheadThreshold>},
    {"H2_DEFAULT_DATA_FRAME_BUDGET", make_int<h2::kDefaultDataFrameBudget>},
    {"H2_MAX_RECV_EMPTY_DATA_FRAMES", make_int<h2::kMaxRecvEmptyDataFrames>},
    {"H2_PREFACE", make_h2_preface},
    {"H1Error", make_exception<Exc::kH1Error>},
    {"H1ParseError", make_exception<Exc::kH1ParseError>},
    {"H1BodyError", make_exception<Exc::kH1BodyError>},
    {"H1IncompleteMessageError", make_exception<Exc::kH1IncompleteMessageError>},
    {"H1UnexpectedMessageError", make_exception<Exc::kH1UnexpectedMessageError>},
    {"H1UserError", make_exception<Exc::kH1UserError>},
    {"H1Codec", make_class<codec_type>},
    {"H1ResponseHead", make_class<response_head_type>},
    {"H1RequestHead", make_class<request_head_type>},
    {"H1BodyDecoder", make_class<body_decoder_type>},
    {"H1ServerState", make_class<server_state_type>},
    {"H1ClientState", make_class<client_state_type>},
    {"OnceLatch", make_class<once_latch_type>},
    // HTTP/1 watcher verdicts, next steps, read codes and request claims
    {"H1_WATCH_HANDOFF", make_code<h1::WatchVerdict::kHandoff>},
    {"H1_WATCH_IDLE_EOF", make_code<h1::WatchVerdict::kIdleEof>},
    {"H1_WATCH_IDLE_BYTES", make_code<h1::WatchVerdict::kIdleBytes>},
    {"H1_WATCH_IDLE_ERROR", make_code<h1::WatchVerdict::kIdleError>},
    {"H1_WATCH_IGNORED", make_code<h1::WatchVerdict::kIgnored>},
    {"H1_NEXT_NONE", make_code<h1::NextStep::kNone>},
    {"H1_NEXT_RAISE", make_code<h1::NextStep::kRaise>},
    {"H1_NEXT_CLOSE", make_code<h1::NextStep::kClose>},
    {"H1_NEXT_DRAIN", make_code<h1::NextStep::kDrain>},
    {"H1_READ_PARSE", make_code<h1::NextStep::kParse>},
    {"H1_READ_SHUTDOWN", make_code<h1::NextStep::kShutdown>},
    {"H1_READ_WATCHER", make_code<h1::NextStep::kWatcher>},
    {"H1_READ_TRANSPORT", make_code<h1::NextStep::kTransport>},
    {"H1_READ_EOF", make_code<h1::NextStep::kEof>},
    {"H1_REQ_OK", make_code<h1::RequestVerdict::kOk>},
    {"H1_REQ_ALREADY", make_code<h1::RequestVerdict::kAlready>},
    {"H1_REQ_STALE", make_code<h1::RequestVerdict::kStale>},
    {"H1_REQ_PARKED", make_code<h1::RequestVerdict::kParked>},
    {"H1_REQ_PEER_CLOSED", make_code<h1::RequestVerdict::kPeerClosed>},
    {"H1_REQ_CONTINUE", make_code<h1::RequestVerdict::kContinue>},
    {"ProxyMatcher", make_class<proxy_matcher_type>},
    {"ProxyIntercept", make_class<proxy_intercept_type>},
};

int exec_module(PyObject* module) {
  return register_all(module, kRegistrations);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, as_slot<exec_module>()},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_quillet",  // m_name
    "",          // m_doc
    0,           // m_size: no module state
    nullptr,     // m_methods
    g_slots,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

}  // namespace
}  // namespace quillet::py

PyMODINIT_FUNC PyInit__quillet() {
  return PyModuleDef_Init(&quillet::py::g_module);
}
