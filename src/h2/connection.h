// H2Streams: the state of one HTTP/2 connection (h2::Connection) behind its state lock, with its
// frame decoder behind a lock of its own.
#pragma once

#include "src/py/ref.h"

namespace quillet::py {

// The class (borrowed type object, made on first use), or nullptr with the Python error set.
PyTypeObject* h2_streams_type();

}  // namespace quillet::py
