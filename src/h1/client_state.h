// H1ClientState: the connection state of one HTTP/1 client connection.
#pragma once

#include "src/py/ref.h"

namespace quillet::py {

// The H1ClientState class (borrowed), made on first use; subclassable and garbage-collected.
PyTypeObject* client_state_type();

}  // namespace quillet::py
