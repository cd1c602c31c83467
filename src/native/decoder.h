// WSDecoder: the WebSocket frame decoder of one connection (wire/ws/frame.h) as a Python class.
#pragma once

#include "src/py/ref.h"

namespace quillet::native {

// The class (borrowed; made on first use and kept for the life of the process), or nullptr with
// the Python error set.
PyTypeObject* decoder_type();

}  // namespace quillet::native
