#include "src/http/pair_cache.h"

#include <cstring>

namespace quillet::py {
namespace {

std::string_view bytes_view(PyObject* bytes) {
  return std::string_view(PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes)));
}

bool same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

PairCache::~PairCache() {
  for (PyObject* pair : pairs_)
    Py_XDECREF(pair);
}

bool PairCache::matches(PyObject* pair, std::string_view name, std::string_view value) {
  return pair != nullptr && same(bytes_view(PyTuple_GET_ITEM(pair, 1)), value) &&
         same(bytes_view(PyTuple_GET_ITEM(pair, 0)), name);
}

PyObject* PairCache::find_at(size_t at, std::string_view name, std::string_view value) const {
  if (at < kSlots && matches(pairs_[at], name, value)) return Py_NewRef(pairs_[at]);
  return nullptr;
}

PyObject* PairCache::find(std::string_view name, std::string_view value) const {
  if (value.size() > kMaxValue) return nullptr;
  for (PyObject* pair : pairs_) {
    if (matches(pair, name, value)) return Py_NewRef(pair);
  }
  return nullptr;
}

PyObject* PairCache::keep(size_t at, PyObject* pair) {
  PyObject* old = pairs_[at];
  pairs_[at] = Py_NewRef(pair);
  return old;
}

}  // namespace quillet::py
