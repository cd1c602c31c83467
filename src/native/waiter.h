// Waiter(loop): one task's wait on a protocol's input, ended without a turn of the event loop.
#pragma once

#include "src/py/ref.h"

namespace quillet::native {

// The class (borrowed; made on first use and kept for the life of the process), or nullptr with
// the Python error set.
PyTypeObject* waiter_type();

}  // namespace quillet::native
