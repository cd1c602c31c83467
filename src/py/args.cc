#include "src/py/args.h"

#include <limits>

namespace quillet::py {
namespace {

template <class T>
bool arg_unsigned(PyObject* obj, const char* name, T* out, int bits,
                  T max = std::numeric_limits<T>::max()) {
  if (!PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.100s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long as_signed = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (as_signed == -1 && PyErr_Occurred()) return false;
  unsigned long long value;
  if (overflow < 0 || (overflow == 0 && as_signed < 0)) {
    PyErr_Format(PyExc_OverflowError, "%s must not be negative", name);
    return false;
  }
  if (overflow == 0) {
    value = static_cast<unsigned long long>(as_signed);
  } else {
    value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError, "%s does not fit in an unsigned %d-bit integer", name,
                   bits);
      return false;
    }
  }
  if (value > max) {
    PyErr_Format(PyExc_OverflowError, "%s does not fit in an unsigned %d-bit integer", name, bits);
    return false;
  }
  *out = static_cast<T>(value);
  return true;
}

}  // namespace

bool arg_bytes(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes, not %.100s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = std::string_view(PyBytes_AS_STRING(obj), size_t(PyBytes_GET_SIZE(obj)));
  return true;
}

Utf8 str_utf8(PyObject* str, std::string_view* out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Utf8::kFailed;
    PyErr_Clear();
    return Utf8::kNoUtf8;
  }
  *out = std::string_view(data, size_t(size));
  return Utf8::kOk;
}

bool arg_str(PyObject* obj, const char* name, Text* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  switch (str_utf8(obj, &out->bytes)) {
    case Utf8::kOk:
      return true;
    case Utf8::kFailed:
      return false;
    case Utf8::kNoUtf8:
      break;
  }
  out->owner = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  if (!out->owner) return false;
  out->bytes = std::string_view(PyBytes_AS_STRING(out->owner.get()),
                                size_t(PyBytes_GET_SIZE(out->owner.get())));
  return true;
}

bool arg_u16(PyObject* obj, const char* name, uint16_t* out) {
  return arg_unsigned(obj, name, out, 16);
}
bool arg_u32(PyObject* obj, const char* name, uint32_t* out) {
  return arg_unsigned(obj, name, out, 32);
}
bool arg_u64(PyObject* obj, const char* name, uint64_t* out) {
  return arg_unsigned(obj, name, out, 64);
}
bool arg_u31(PyObject* obj, const char* name, uint32_t* out) {
  return arg_unsigned(obj, name, out, 31, uint32_t{0x7fffffff});
}

bool arg_size(PyObject* obj, const char* name, size_t* out) {
  return arg_unsigned(obj, name, out, int(sizeof(size_t) * 8));
}

bool arg_bool(PyObject* obj, const char* name, bool* out) {
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bool, not %.100s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = obj == Py_True;
  return true;
}

bool ArgParser::check_positional(Py_ssize_t nargs) const {
  if (nargs <= max_positional_) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)",
               function_, max_positional_, max_positional_ == 1 ? "" : "s", nargs);
  return false;
}

bool ArgParser::place_keyword(PyObject* key, PyObject* value, PyObject** out) const {
  int slot = -1;
  for (int i = 0; i < count_; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names_[i]) == 0) {
      slot = i;
      break;
    }
  }
  if (slot < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
    return false;
  }
  if (out[slot] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_,
                 names_[slot]);
    return false;
  }
  out[slot] = value;
  return true;
}

bool ArgParser::check_required(PyObject* const* out) const {
  for (int i = 0; i < required_; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function_, names_[i]);
      return false;
    }
  }
  return true;
}

bool ArgParser::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** out) const {
  if (!check_positional(nargs)) return false;
  for (int i = 0; i < count_; ++i)
    out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_required(out);
}

bool ArgParser::parse_call(PyObject* args, PyObject* kwargs, PyObject** out) const {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional(nargs)) return false;
  for (int i = 0; i < count_; ++i)
    out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(key, value, out)) return false;
    }
  }
  return check_required(out);
}

bool no_args(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", function);
    return false;
  }
  return true;
}

}  // namespace quillet::py
