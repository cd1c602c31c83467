// Strings the module hands out over and over, made once per process and shared.
#pragma once

#include "src/py/ref.h"

namespace quillet::py {

enum class Str {
  // body kinds of heads and body decoders
  kEmpty,
  kLength,
  kChunked,
  kClose,
  // the standard request methods
  kGet,
  kHead,
  kPost,
  kPut,
  kDelete,
  kConnect,
  kOptions,
  kTrace,
  kPatch,
  kQuery,
};
inline constexpr int kStrCount = int(Str::kQuery) + 1;

// The shared str of a body kind: the first rows of `Str` are in the order of h1::BodyKind.
inline Str str_of_body_kind(int body_kind) {
  return Str(int(Str::kEmpty) + body_kind);
}

// The shared str (borrowed; lives as long as the process), or nullptr with the Python error set.
PyObject* interned(Str which);

// A new reference to the shared str.
inline PyObject* new_interned(Str which) {
  PyObject* s = interned(which);
  Py_XINCREF(s);
  return s;
}

}  // namespace quillet::py
