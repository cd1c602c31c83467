// What quillet._native takes from _quillet, and its own exception classes.
//
// The second module links its own copy of the boundary toolkit, so it never makes a _quillet
// class itself: at its execution step it imports _quillet and keeps the class objects it needs.
// Its exceptions derive from the QuilletError taken that way, so that `except QuilletError`
// catches them too.
#pragma once

#include "src/py/ref.h"

#include <cstdint>
#include <string_view>

namespace quillet::native {

// Imports _quillet and keeps QuilletError and HeaderMap, then makes WebSocketError and
// WebSocketProtocolError. False with the Python error set. Called once per process (again after
// a failure).
bool take_imports();

// The classes (borrowed; kept for the life of the process once take_imports succeeded).
PyObject* quillet_error_class();
PyObject* header_map_class();
PyObject* websocket_error_class();
PyObject* websocket_protocol_error_class();

// Raises WebSocketProtocolError(close_code, message); returns nullptr.
PyObject* raise_protocol_error(uint16_t close_code, std::string_view message);

}  // namespace quillet::native
