// PairCache: the raw (name, value) pairs of a connection's last request head, for the next
// head's list of pairs to share.
#pragma once

#include "src/py/ref.h"

#include <array>
#include <cstddef>
#include <mutex>
#include <string_view>

namespace quillet::py {

// A keep-alive client repeats most of its fields on every request (host, user-agent, the accept
// fields, often its cookies), so the raw list of each head can hand out the tuples of the last
// one instead of making a value bytes and a tuple per field. Entry k holds the pair of field k of
// the last head listed, so a client that sends its fields in the same order finds each one at
// its own place; a field that moved is looked for among the others. Bounded: kSlots pairs, each
// with a value of at most kMaxValue bytes.
//
// A codec and the header maps of the heads it parsed share one (the maps may outlive the codec).
// `lock` is a leaf: nothing else is taken while it is held, and under it the cache only compares
// bytes and takes or moves references; what `keep` replaces is released by the caller after
// unlocking. The destructor drops the pairs, so it runs with the interpreter lock held.
class PairCache {
 public:
  static constexpr size_t kSlots = 16;
  static constexpr size_t kMaxValue = 256;

  PairCache() = default;
  PairCache(const PairCache&) = delete;
  PairCache& operator=(const PairCache&) = delete;
  ~PairCache();

  // A new reference to the pair (name, value) if entry `at` (the field's place in its head) is
  // that pair, else nullptr.
  PyObject* find_at(size_t at, std::string_view name, std::string_view value) const;
  // The same, looking through every entry.
  PyObject* find(std::string_view name, std::string_view value) const;

  // Whether a pair of field `at` with a value of `value_size` bytes would be kept.
  static bool keeps(size_t at, size_t value_size) { return at < kSlots && value_size <= kMaxValue; }

  // Keeps `pair` (a tuple of two bytes, borrowed) as entry `at` (keeps() must hold); returns the
  // pair it replaces, to be released after unlocking, or nullptr.
  PyObject* keep(size_t at, PyObject* pair);

  std::mutex lock;

 private:
  static bool matches(PyObject* pair, std::string_view name, std::string_view value);

  std::array<PyObject*, kSlots> pairs_{};
};

}  // namespace quillet::py
