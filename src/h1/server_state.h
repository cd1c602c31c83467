// H1ServerState: one HTTP/1 server connection and its current request.
#pragma once

#include "src/py/ref.h"

namespace quillet::py {

PyTypeObject* server_state_type();

}  // namespace quillet::py
