// The quillet._native module: native code of the package beyond _quillet (the WebSocket codec).
// One execution step takes what it needs from _quillet, then registers every name in a fixed
// order and lists each in __all__ as it goes.
#include "src/native/asgi.h"
#include "src/native/decoder.h"
#include "src/native/functions.h"
#include "src/native/imported.h"
#include "src/native/waiter.h"
#include "src/py/ref.h"
#include "src/py/registration.h"
#include "src/py/types.h"
#include "wire/ws/frame.h"

namespace quillet::native {
namespace {

using py::Ref;

using py::Registration;

template <PyObject* (*kClass)()>
PyObject* make_imported(PyObject*) {
  return Ref::borrow(kClass()).release();
}

template <PyTypeObject* (*kType)()>
PyObject* make_class(PyObject*) {
  return Ref::borrow(reinterpret_cast<PyObject*>(kType())).release();
}

template <auto kValue>
PyObject* make_int(PyObject*) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(kValue));
}

// Every name the module exports, in registration order.
constexpr Registration kRegistrations[] = {
    {"WebSocketError", make_imported<websocket_error_class>},
    {"WebSocketProtocolError", make_imported<websocket_protocol_error_class>},
    {"WSDecoder", make_class<decoder_type>},
    {"Waiter", make_class<waiter_type>},
    {"ws_frame", make_frame_function},
    {"ws_frame_head", make_frame_head_function},
    {"ws_close_payload", make_close_payload_function},
    {"ws_accept", make_accept_function},
    {"ws_check_request", make_check_request_function},
    {"ws_check_connect", make_check_connect_function},
    {"ws_subprotocols", make_subprotocols_function},
    {"ws_extensions", make_extensions_function},
    {"ws_deflate_offers", make_deflate_offers_function},
    // opcodes, which also name the kinds of the decoder's tuple events
    {"WS_CONTINUATION", make_int<ws::Opcode::kContinuation>},
    {"WS_TEXT", make_int<ws::Opcode::kText>},
    {"WS_BINARY", make_int<ws::Opcode::kBinary>},
    {"WS_CLOSE", make_int<ws::Opcode::kClose>},
    {"WS_PING", make_int<ws::Opcode::kPing>},
    {"WS_PONG", make_int<ws::Opcode::kPong>},
    {"WS_DEFAULT_MAX_MESSAGE_SIZE", make_int<ws::kDefaultMaxMessageSize>},
    {"WS_MAX_CONTROL_PAYLOAD", make_int<ws::kMaxControlPayload>},
    // the native serve path
    {"H1Exchange", make_class<h1_exchange_type>},
    {"H1Reader", make_class<h1_reader_type>},
    {"run_app", make_run_app_function},
    {"asgi_scope", make_asgi_scope_function},
    {"ready", make_ready_function},
};

int exec_module(PyObject* module) {
  if (!take_imports()) return -1;
  return py::register_all(module, kRegistrations);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, py::as_slot<exec_module>()},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "quillet._native",  // m_name
    "",                 // m_doc
    0,                  // m_size: no module state
    nullptr,            // m_methods
    g_slots,            // m_slots
    nullptr,            // m_traverse
    nullptr,            // m_clear
    nullptr,            // m_free
};

}  // namespace
}  // namespace quillet::native

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&quillet::native::g_module);
}
