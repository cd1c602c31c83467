// Shared objects for common header names: lists of names and ASGI header pairs reuse one bytes
// or str object per well-known name instead of making a new one for every field.
#pragma once

#include "src/py/ref.h"

#include <string_view>

namespace quillet::py {

// A new reference to the shared bytes (or str) of a lower-case header name, or nullptr with no
// error set when the name is not one of the common ones (the caller makes its own object).
PyObject* shared_name_bytes(std::string_view lower_name);
PyObject* shared_name_str(std::string_view lower_name);

}  // namespace quillet::py
