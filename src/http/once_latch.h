#pragma once

#include "src/py/ref.h"

namespace quillet::py {

// The OnceLatch class (borrowed), made on first use.
PyTypeObject* once_latch_type();

}  // namespace quillet::py
