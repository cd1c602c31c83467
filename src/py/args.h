// Argument conversion at the boundary. Every converter returns false with a Python exception set
// when the argument is unusable, and names the argument in its message; nothing has changed yet
// when it fails, because methods convert all their arguments before they take a lock.
#pragma once

#include "src/py/ref.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet::py {

// Wire data: a `bytes` object (or a subclass). bytearray, memoryview and every other buffer are
// refused with TypeError, so a caller can never change the bytes while we look at them. The
// view borrows from `obj`.
bool arg_bytes(PyObject* obj, const char* name, std::string_view* out);

// A `str` seen as its UTF-8 encoding, borrowed from `str`. A str holding a lone surrogate has no
// UTF-8 form: kNoUtf8, with no Python error left set, and the caller treats it as the invalid
// input it is (an invalid header value, an unset proxy setting). kFailed: a Python error is set.
enum class Utf8 : uint8_t { kOk, kNoUtf8, kFailed };
Utf8 str_utf8(PyObject* str, std::string_view* out);

// Text given to a parser: its bytes, and the object that owns them while they are read.
struct Text {
  std::string_view bytes;
  Ref owner;  // set when the bytes are not the str's own UTF-8 cache
};

// Text: a `str`, seen as its UTF-8 encoding. A str holding a lone surrogate is seen through its
// "surrogatepass" encoding, whose bytes are ill-formed UTF-8 and so never a token, a URL or a
// known name: the parser that reads them refuses them with its own error (the invalid-method or
// invalid-url ValueError, an unknown body kind), never with UnicodeEncodeError.
bool arg_str(PyObject* obj, const char* name, Text* out);

// Unsigned integers: an int or an object with __index__. A negative or too-large value raises
// OverflowError, anything else TypeError.
bool arg_u16(PyObject* obj, const char* name, uint16_t* out);
bool arg_u32(PyObject* obj, const char* name, uint32_t* out);
bool arg_u64(PyObject* obj, const char* name, uint64_t* out);
// An HTTP/2 stream id: 31 bits, so at most 2147483647.
bool arg_u31(PyObject* obj, const char* name, uint32_t* out);
// An unsigned machine word (32 bits on a 32-bit build).
bool arg_size(PyObject* obj, const char* name, size_t* out);

// A strict bool: True or False only (an int is refused with TypeError).
bool arg_bool(PyObject* obj, const char* name, bool* out);

// The optional variant of a converter: None (or an absent argument, `obj == nullptr`) gives an
// empty optional.
template <class T>
bool arg_optional(bool (*convert)(PyObject*, const char*, T*), PyObject* obj, const char* name,
                  std::optional<T>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  T value;
  if (!convert(obj, name, &value)) return false;
  *out = value;
  return true;
}

// The argument parser for METH_FASTCALL | METH_KEYWORDS methods. Parameters are named in order;
// the first `max_positional` may be passed by position, the rest only by keyword, and the first
// `required` must be given. `parse` fills `out` with borrowed references, nullptr where an
// optional parameter was not given.
class ArgParser {
 public:
  template <size_t N>
  constexpr ArgParser(const char* function, const std::array<const char*, N>& names,
                      int max_positional, int required)
      : function_(function),
        names_(names.data()),
        count_(int(N)),
        max_positional_(max_positional),
        required_(required) {
    // Every slot names a parameter: a parser built as a constant with a missing name (a null
    // terminator out of habit) fails to compile instead of reading through a null pointer.
    for (const char* name : names) {
      if (name == nullptr) throw "ArgParser: a parameter name is missing";
    }
  }

  bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
  // The name of parameter `i`.
  constexpr const char* name(int i) const { return names_[i]; }
  // The same for a call given as a tuple and an optional dict (a class's tp_new).
  bool parse_call(PyObject* args, PyObject* kwargs, PyObject** out) const;

 private:
  bool check_positional(Py_ssize_t nargs) const;
  bool place_keyword(PyObject* key, PyObject* value, PyObject** out) const;
  bool check_required(PyObject* const* out) const;

  const char* function_;
  const char* const* names_;
  int count_;
  int max_positional_;
  int required_;
};

// Refuses every argument: for methods that take none but are declared METH_FASTCALL.
bool no_args(const char* function, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quillet::py
