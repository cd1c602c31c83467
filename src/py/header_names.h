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

// The same for one field: shared objects for its name and, when the (name, value) pair is one
// that clients send all the time ("accept: */*", "connection: keep-alive"...), for its value.
// Each member is a new reference, or nullptr (no error set) when that part is not shared.
struct SharedField {
  PyObject* name;
  PyObject* value;
};
SharedField shared_field_str(std::string_view lower_name, std::string_view value);
// Only the value (new reference or nullptr): for lists of values.
PyObject* shared_value_bytes(std::string_view lower_name, std::string_view value);
// One field of a raw list of pairs, its name looked up once: `pair` is the shared (name, value)
// tuple of a common pair (a new reference; `field` is then empty), or nullptr, and `field` what
// a bytes pair shares otherwise (its name, when that is a common one; a value is shared only
// within a common pair). No error is ever set.
struct SharedRawField {
  PyObject* pair;
  SharedField field;
};
SharedRawField shared_raw_field(std::string_view lower_name, std::string_view value);

// Makes the shared objects of the common pairs, once per process. Call it with no lock held: it
// makes tuples, which the cyclic collector tracks. Until it has succeeded the functions above
// share no values (a field then gets objects of its own), and they never make a value object
// themselves, so they are safe under a lock.
void prepare_shared_fields();

}  // namespace quillet::py
