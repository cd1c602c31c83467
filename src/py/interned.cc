#include "src/py/interned.h"

namespace quillet::py {
namespace {

// In the order of `Str`.
constexpr const char* kTexts[kStrCount] = {
    "empty", "length", "chunked", "close",   "GET",   "HEAD",  "POST",
    "PUT",   "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH",
};

PyObject* g_strings[kStrCount] = {};

}  // namespace

PyObject* interned(Str which) {
  PyObject*& slot = g_strings[int(which)];
  if (slot == nullptr) slot = PyUnicode_InternFromString(kTexts[int(which)]);
  return slot;
}

}  // namespace quillet::py
