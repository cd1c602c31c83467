#include "src/http/header_map.h"

#include "src/http/pair_cache.h"
#include "src/py/header_names.h"

#include "src/py/args.h"
#include "src/py/lock.h"
#include "src/py/types.h"
#include "wire/common/text.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quillet::py {
namespace {

constexpr const char kNameType[] = "header name must be str or bytes";
constexpr const char kNameInvalid[] = "invalid header name: invalid HTTP header name";
constexpr const char kValueType[] = "header value must be str or bytes";
constexpr const char kValueInvalid[] = "invalid header value: failed to parse header value";
constexpr const char kFull[] = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";

struct MapState {
  MapState() = default;
  explicit MapState(HeaderMap&& map) noexcept : core(std::move(map)) {}
  MapState(HeaderMap&& map, std::shared_ptr<PairCache>&& cache) noexcept
      : core(std::move(map)), pairs(std::move(cache)) {}
  MapState(FieldList&& fields, std::shared_ptr<PairCache>&& cache) noexcept
      : listed(std::move(fields)), pairs(std::move(cache)), is_listed(true) {}
  ObjectLock lock;
  HeaderMap core;
  // A parsed head's fields, not yet in `core` while `is_listed`: lists of pairs, names or values
  // are read straight from them when their names are distinct, and lookups of a name's first
  // value (get, [], in) always, since the first field of a name in wire order is the map's first
  // value; anything else settles them into `core` first.
  FieldList listed;
  // The pairs of the connection's last heads, which the raw list shares (and leaves its own new
  // pairs in); none for a map that is not a received head's.
  std::shared_ptr<PairCache> pairs;
  bool is_listed = false;
};

MapState& state(PyObject* self) {
  return unbox<MapState>(self);
}

// Moves listed fields into the core map, under the lock. May throw std::bad_alloc, leaving the
// fields listed.
void settle(MapState& s) {
  if (!s.is_listed) return;
  HeaderMap filled;
  // The parser lists no more fields than a map takes, so the map cannot fill up.
  if (!s.listed.fill(&filled)) throw std::bad_alloc();
  s.core = std::move(filled);
  s.listed = FieldList();
  s.is_listed = false;
}

// --- argument conversion -----------------------------------------------------------------------

enum class Conversion {
  kOk,
  kWrongType,
  kInvalid,
  kFailed,  // a Python error is set (out of memory)
};

Conversion view_name(PyObject* obj, std::string_view* out) {
  if (PyBytes_Check(obj)) {
    *out = std::string_view(PyBytes_AS_STRING(obj), size_t(PyBytes_GET_SIZE(obj)));
  } else if (PyUnicode_Check(obj)) {
    // a name is ASCII or invalid, so only an ASCII str needs looking at, and its characters
    // are its UTF-8 bytes
    if (!PyUnicode_IS_ASCII(obj)) return Conversion::kInvalid;
    *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                            size_t(PyUnicode_GET_LENGTH(obj)));
  } else {
    return Conversion::kWrongType;
  }
  return is_valid_header_name(*out) ? Conversion::kOk : Conversion::kInvalid;
}

Conversion view_value(PyObject* obj, std::string_view* out) {
  if (PyBytes_Check(obj)) {
    *out = std::string_view(PyBytes_AS_STRING(obj), size_t(PyBytes_GET_SIZE(obj)));
  } else if (PyUnicode_Check(obj)) {
    switch (str_utf8(obj, out)) {
      case Utf8::kOk:
        break;
      case Utf8::kNoUtf8:
        return Conversion::kInvalid;  // a lone surrogate has no UTF-8 form: no value either
      case Utf8::kFailed:
        return Conversion::kFailed;
    }
  } else {
    return Conversion::kWrongType;
  }
  return is_valid_header_value(*out) ? Conversion::kOk : Conversion::kInvalid;
}

bool raise_conversion(Conversion c, const char* type_message, const char* invalid_message) {
  if (c == Conversion::kWrongType) PyErr_SetString(PyExc_TypeError, type_message);
  if (c == Conversion::kInvalid) PyErr_SetString(PyExc_ValueError, invalid_message);
  return c == Conversion::kOk;
}

bool raise_value_conversion(Conversion c) {
  return raise_conversion(c, kValueType, kValueInvalid);
}

// --- results -------------------------------------------------------------------------------------

PyObject* new_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

// A stored name (lower-case ASCII) as str; also folds a name for the KeyError of an absent one.
PyObject* new_name_str(std::string_view name) {
  PyObject* s = PyUnicode_New(Py_ssize_t(name.size()), 127);
  if (s == nullptr) return nullptr;
  auto* data = static_cast<char*>(PyUnicode_DATA(s));
  for (size_t i = 0; i < name.size(); ++i)
    data[i] = ascii_lower(name[i]);
  return s;
}

// A stored (lower-case) name as str or bytes, shared when it is a common one.
PyObject* stored_name_str(std::string_view name) {
  PyObject* shared = shared_name_str(name);
  return shared != nullptr ? shared : new_name_str(name);
}

PyObject* stored_name_bytes(std::string_view name) {
  PyObject* shared = shared_name_bytes(name);
  return shared != nullptr ? shared : new_bytes(name);
}

PyObject* raise_key_error(std::string_view name) {
  Ref key = Ref::steal(new_name_str(name));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

// Byte strings copied out of a map under its lock, to become Python objects after unlocking.
struct Copied {
  std::string bytes;
  std::vector<size_t> lengths;

  // Room for every pair of `m` at once, so that copying never regrows the buffers.
  void reserve_for(const HeaderMap& m) {
    size_t total = 0;
    m.for_each([&](std::string_view n, std::string_view v) { total += n.size() + v.size(); });
    bytes.reserve(total);
    lengths.reserve(2 * m.size());
  }

  void add(std::string_view s) {
    bytes.append(s);
    lengths.push_back(s.size());
  }
};

enum class Shape { kNames, kValues, kItems, kRawItems };

// The list of `copied`: str names, bytes values, or (name, value) tuples from alternating
// entries.
PyObject* new_list(const Copied& copied, Shape shape) {
  const bool pairs = shape == Shape::kItems || shape == Shape::kRawItems;
  const size_t count = pairs ? copied.lengths.size() / 2 : copied.lengths.size();
  Ref list = Ref::steal(PyList_New(Py_ssize_t(count)));
  if (!list) return nullptr;
  const char* at = copied.bytes.data();
  auto next = [&](size_t k) {
    std::string_view s(at, copied.lengths[k]);
    at += copied.lengths[k];
    return s;
  };
  for (size_t i = 0; i < count; ++i) {
    PyObject* item;
    if (shape == Shape::kNames) {
      item = stored_name_str(next(i));
    } else if (shape == Shape::kValues) {
      item = new_bytes(next(i));
    } else {
      const std::string_view name = next(2 * i);
      Ref n = Ref::steal(shape == Shape::kItems ? stored_name_str(name) : stored_name_bytes(name));
      Ref v = Ref::steal(new_bytes(next(2 * i + 1)));
      if (!n || !v) return nullptr;
      item = PyTuple_New(2);
      if (item != nullptr) {
        PyTuple_SET_ITEM(item, 0, n.release());
        PyTuple_SET_ITEM(item, 1, v.release());
      }
    }
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  return list.release();
}

// Runs `work` on the core under the map's lock. C++ memory may run out while copying: the lock
// is released first, then MemoryError is raised.
template <class F>
bool locked(PyObject* self, F&& work) {
  MapState& s = state(self);
  bool ok = true;
  {
    Guard guard(s.lock);
    try {
      settle(s);
      work(s.core);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  if (!ok) PyErr_NoMemory();
  return ok;
}

// New references (or nullptr placeholders) collected under a lock and placed in a list after
// unlocking: room for a typical
// head's fields without a heap allocation.
class Collected {
 public:
  Collected() = default;
  Collected(const Collected&) = delete;
  Collected& operator=(const Collected&) = delete;
  ~Collected() {
    for (size_t i = placed_; i < size_; ++i)
      Py_XDECREF(at(i));
  }

  void reserve(size_t n) {
    if (n > kInline) heap_.resize(n);
  }
  void push(PyObject* obj) {
    at(size_) = obj;  // within what was reserved
    ++size_;
  }
  size_t size() const { return size_; }
  PyObject* peek(size_t i) { return at(i); }
  // Hands out the reference at `i`; those not handed out are dropped by the destructor.
  PyObject* take(size_t i) {
    placed_ = i + 1;
    return at(i);
  }

 private:
  static constexpr size_t kInline = 64;
  PyObject*& at(size_t i) { return heap_.empty() ? inline_[i] : heap_[i]; }

  PyObject* inline_[kInline];
  std::vector<PyObject*> heap_;
  size_t size_ = 0;
  size_t placed_ = 0;
};

PyObject* new_value(std::string_view name, std::string_view value) {
  PyObject* shared = shared_value_bytes(name, value);
  return shared != nullptr ? shared : new_bytes(value);
}

// The name and value objects of one pair, in `out`: false when one could not be made. A common
// pair of a raw list is pushed as its shared tuple followed by nullptr.
bool push_pair(Collected& out, Shape shape, std::string_view name, std::string_view value) {
  SharedField shared;
  if (shape == Shape::kRawItems) {
    const SharedRawField raw = shared_raw_field(name, value);
    if (raw.pair != nullptr) {
      out.push(raw.pair);
      out.push(nullptr);
      return true;
    }
    shared = raw.field;
  } else {
    shared = shared_field_str(name, value);
  }
  if (shared.name == nullptr) {
    shared.name = shape == Shape::kItems ? new_name_str(name) : new_bytes(name);
  }
  if (shared.value == nullptr) shared.value = new_bytes(value);
  if (shared.name == nullptr || shared.value == nullptr) {
    Py_XDECREF(shared.name);
    Py_XDECREF(shared.value);
    return false;
  }
  out.push(shared.name);
  out.push(shared.value);
  return true;
}

// The strings of `fields` (a HeaderMap, or a FieldList of distinct names) in `out`, in iteration
// order: false when one could not be made.
template <class Fields>
bool collect(const Fields& fields, size_t pairs, size_t names, Shape shape, Collected& out) {
  bool ok = true;
  if (shape == Shape::kNames) {
    out.reserve(names);
    auto name = [&](std::string_view n) {
      if (!ok) return;
      PyObject* obj = stored_name_str(n);
      if (obj == nullptr) ok = false;
      if (ok) out.push(obj);
    };
    if constexpr (std::is_same_v<Fields, HeaderMap>) {
      fields.for_each_name(name);
    } else {
      fields.for_each([&](std::string_view n, std::string_view) { name(n); });
    }
  } else if (shape == Shape::kValues) {
    out.reserve(pairs);
    fields.for_each([&](std::string_view n, std::string_view v) {
      if (!ok) return;
      PyObject* obj = new_value(n, v);
      if (obj == nullptr) ok = false;
      if (ok) out.push(obj);
    });
  } else {
    out.reserve(2 * pairs);
    fields.for_each([&](std::string_view n, std::string_view v) {
      if (ok) ok = push_pair(out, shape, n, v);
    });
  }
  return ok;
}

// The raw pairs of listed fields with the connection's pair cache: a field whose pair the cache
// has at the field's place, a common pair, or a pair the cache has elsewhere, is pushed as that
// pair followed by nullptr (the shared-tuple form); any other as for any raw list. `fresh` gets
// the places whose pairs the cache is to keep there once they exist (never a common pair's).
template <class Fields>
bool collect_cached(const Fields& fields, size_t pairs, const PairCache& cache, Collected& out,
                    std::vector<size_t>& fresh) {
  out.reserve(2 * pairs);
  bool ok = true;
  size_t at = 0;
  fields.for_each([&](std::string_view n, std::string_view v) {
    if (!ok) return;
    if (PyObject* pair = cache.find_at(at, n, v)) {
      out.push(pair);
      out.push(nullptr);
      ++at;
      return;
    }
    const SharedRawField raw = shared_raw_field(n, v);
    if (raw.pair != nullptr) {  // a common pair is shared anyway: the cache leaves it out
      out.push(raw.pair);
      out.push(nullptr);
      ++at;
      return;
    }
    if (PyObject* pair = cache.find(n, v)) {
      Py_XDECREF(raw.field.name);
      out.push(pair);
      out.push(nullptr);
    } else {
      PyObject* name = raw.field.name != nullptr ? raw.field.name : new_bytes(n);
      PyObject* value = name != nullptr ? new_bytes(v) : nullptr;
      if (value == nullptr) {
        Py_XDECREF(name);
        ok = false;
        return;
      }
      out.push(name);
      out.push(value);
    }
    if (PairCache::keeps(at, v.size())) fresh.push_back(at);
    ++at;
  });
  return ok;
}

// The strings of a list (names, values, or both, alternating) are made under the map's lock,
// straight from the map or its listed fields: str and bytes objects are not tracked by the
// cyclic collector, so making them runs no Python code. The tuples and the list, which are
// tracked, are made after unlocking.
PyObject* snapshot_list(PyObject* self, Shape shape) {
  prepare_shared_fields();  // before locking: it may make tuples
  MapState& s = state(self);
  Collected strings;
  std::shared_ptr<PairCache> cache;
  std::vector<size_t> fresh;  // with `cache`: the pairs to leave in it
  bool ok = true;
  {
    Guard guard(s.lock);
    try {
      if (s.is_listed && s.listed.distinct()) {
        if (shape == Shape::kRawItems && s.pairs) {
          cache = s.pairs;
          std::lock_guard<std::mutex> cache_guard(cache->lock);
          ok = collect_cached(s.listed, s.listed.size(), *cache, strings, fresh);
        } else {
          ok = collect(s.listed, s.listed.size(), s.listed.size(), shape, strings);
        }
      } else {
        settle(s);
        if (shape == Shape::kRawItems && s.pairs) {
          cache = s.pairs;
          std::lock_guard<std::mutex> cache_guard(cache->lock);
          ok = collect_cached(s.core, s.core.size(), *cache, strings, fresh);
        } else {
          ok = collect(s.core, s.core.size(), s.core.name_count(), shape, strings);
        }
      }
    } catch (const std::bad_alloc&) {
      guard.unlock();
      PyErr_NoMemory();
      return nullptr;
    }
  }
  if (!ok) return nullptr;
  const bool pairs = shape == Shape::kItems || shape == Shape::kRawItems;
  const size_t count = pairs ? strings.size() / 2 : strings.size();
  Ref list = Ref::steal(PyList_New(Py_ssize_t(count)));
  if (!list) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item;
    if (pairs && strings.peek(2 * i + 1) == nullptr) {
      item = strings.take(2 * i);  // a shared tuple
      strings.take(2 * i + 1);
    } else if (pairs) {
      item = PyTuple_New(2);
      if (item == nullptr) return nullptr;  // the strings not yet placed go with `strings`
      PyTuple_SET_ITEM(item, 0, strings.take(2 * i));
      PyTuple_SET_ITEM(item, 1, strings.take(2 * i + 1));
    } else {
      item = strings.take(i);
    }
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  if (!fresh.empty()) {
    std::array<PyObject*, PairCache::kSlots> replaced{};
    {
      std::lock_guard<std::mutex> cache_guard(cache->lock);
      for (size_t k = 0; k < fresh.size(); ++k) {
        replaced[k] = cache->keep(fresh[k], PyList_GET_ITEM(list.get(), Py_ssize_t(fresh[k])));
      }
    }
    for (PyObject* old : replaced)
      Py_XDECREF(old);
  }
  return list.release();
}

// --- construction --------------------------------------------------------------------------------

bool add_pair(HeaderMap* core, PyObject* name_obj, PyObject* value_obj) {
  std::string_view name;
  std::string_view value;
  if (!arg_header_name(name_obj, &name) || !arg_header_value(value_obj, &value)) return false;
  if (!core->append(name, value)) {
    raise_header_map_full();
    return false;
  }
  return true;
}

// One element `e` of an iterable initialiser: e[0] is the name and e[1] the value.
bool add_element(HeaderMap* core, PyObject* element) {
  if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) >= 2) {
    return add_pair(core, PyTuple_GET_ITEM(element, 0), PyTuple_GET_ITEM(element, 1));
  }
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref one = zero ? Ref::steal(PyLong_FromLong(1)) : Ref();
  if (!one) return false;
  Ref name = Ref::steal(PyObject_GetItem(element, zero.get()));
  if (!name) return false;
  Ref value = Ref::steal(PyObject_GetItem(element, one.get()));
  return value && add_pair(core, name.get(), value.get());
}

// Fills a fresh map from `init`: no other thread can see it yet, so it needs no lock.
bool fill(HeaderMap* core, PyObject* init) {
  if (init == nullptr || init == Py_None) return true;
  if (header_map_check(init)) return header_map_snapshot(init, core);
  try {
    if (PyDict_CheckExact(init)) {
      Py_ssize_t pos = 0;
      PyObject* key;
      PyObject* value;
      while (PyDict_Next(init, &pos, &key, &value)) {
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        if (!add_pair(core, k.get(), v.get())) return false;
      }
      return true;
    }
    if (PyList_CheckExact(init)) {
      // By place rather than through an iterator, the map sized for the list at once. An
      // element that is not a tuple may run Python code that changes the list: the size is
      // read again at every step, and the element held while it is read.
      core->reserve(size_t(PyList_GET_SIZE(init)), 0);
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(init); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(init, i));
        if (!add_element(core, element.get())) return false;
      }
      return true;
    }
    // a dict subclass (an OrderedDict, say) gives its items in its own order
    Ref source = PyDict_Check(init) ? Ref::steal(PyMapping_Items(init)) : Ref::borrow(init);
    if (!source) return false;
    Ref it = Ref::steal(PyObject_GetIter(source.get()));
    if (!it) return false;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
      if (!add_element(core, element.get())) return false;
    }
    return !PyErr_Occurred();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

PyObject* map_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames{"init"};
  static constexpr ArgParser kParser("HeaderMap", kNames, 1, 0);
  PyObject* a[1];
  if (!kParser.parse_call(args, kwargs, a)) return nullptr;
  HeaderMap core;
  if (!fill(&core, a[0])) return nullptr;
  return box_new<MapState>(type, std::move(core));
}

// --- methods -------------------------------------------------------------------------------------

// The first value of `name` as bytes in `*out`, empty when the name is absent; false with an
// error set. Listed fields answer as they are, without settling. The bytes object is made under
// the lock: bytes are not tracked by the collector, so making one runs no Python code.
bool first_value(PyObject* self, std::string_view name, Ref* out) {
  MapState& s = state(self);
  Guard guard(s.lock);
  const std::optional<std::string_view> v = s.is_listed ? s.listed.first(name) : s.core.first(name);
  if (v) {
    *out = Ref::steal(new_bytes(*v));
    if (!*out) return false;
  }
  return true;
}

PyObject* map_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"name", "default"};
  static constexpr ArgParser kParser("get", kNames, 2, 1);
  PyObject* a[2];
  std::string_view name;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_header_name(a[0], &name)) return nullptr;
  Ref value;
  if (!first_value(self, name, &value)) return nullptr;
  return value ? value.release() : Py_NewRef(a[1] != nullptr ? a[1] : Py_None);
}

PyObject* map_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"name"};
  static constexpr ArgParser kParser("get_all", kNames, 1, 1);
  PyObject* a[1];
  std::string_view name;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_header_name(a[0], &name)) return nullptr;
  Copied copied;
  if (!locked(self, [&](const HeaderMap& m) {
        m.for_each_value(name, [&](std::string_view v) { copied.add(v); });
      })) {
    return nullptr;
  }
  return new_list(copied, Shape::kValues);
}

PyObject* map_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"name", "value"};
  static constexpr ArgParser kParser("add", kNames, 2, 2);
  PyObject* a[2];
  std::string_view name;
  std::string_view value;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_header_name(a[0], &name) ||
      !arg_header_value(a[1], &value)) {
    return nullptr;
  }
  bool added = false;
  if (!locked(self, [&](HeaderMap& m) { added = m.append(name, value); })) return nullptr;
  return added ? new_none() : raise_header_map_full();
}

// The value is looked at before the lock, as every argument is, but its errors only count when
// the name turns out to be absent: a present name ignores the value entirely.
PyObject* map_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"name", "value"};
  static constexpr ArgParser kParser("setdefault", kNames, 2, 2);
  PyObject* a[2];
  std::string_view name;
  if (!kParser.parse(args, nargs, kwnames, a) || !arg_header_name(a[0], &name)) return nullptr;
  std::string_view value;
  const Conversion value_conversion = view_value(a[1], &value);
  if (value_conversion == Conversion::kFailed) return nullptr;
  std::string existing;
  bool present = false;
  bool added = false;
  if (!locked(self, [&](HeaderMap& m) {
        if (auto v = m.first(name)) {
          existing.assign(*v);
          present = true;
        } else if (value_conversion == Conversion::kOk) {
          added = m.append(name, value);
        }
      })) {
    return nullptr;
  }
  if (present) return new_bytes(existing);
  if (!raise_value_conversion(value_conversion)) return nullptr;
  if (!added) return raise_header_map_full();
  return PyBytes_CheckExact(a[1]) ? Py_NewRef(a[1]) : new_bytes(value);
}

PyObject* map_keys(PyObject* self, PyObject*) {
  return snapshot_list(self, Shape::kNames);
}
PyObject* map_values(PyObject* self, PyObject*) {
  return snapshot_list(self, Shape::kValues);
}
PyObject* map_items(PyObject* self, PyObject*) {
  return snapshot_list(self, Shape::kItems);
}
PyObject* map_raw_items(PyObject* self, PyObject*) {
  return snapshot_list(self, Shape::kRawItems);
}

// --- protocols -----------------------------------------------------------------------------------

Py_ssize_t map_length(PyObject* self) {
  MapState& s = state(self);
  Guard guard(s.lock);
  return Py_ssize_t(s.is_listed ? s.listed.size() : s.core.size());
}

PyObject* map_subscript(PyObject* self, PyObject* key) {
  std::string_view name;
  if (!arg_header_name(key, &name)) return nullptr;
  Ref value;
  if (!first_value(self, name, &value)) return nullptr;
  return value ? value.release() : raise_key_error(name);
}

int map_ass_subscript(PyObject* self, PyObject* key, PyObject* value_obj) {
  std::string_view name;
  if (!arg_header_name(key, &name)) return -1;
  if (value_obj == nullptr) {
    bool removed = false;
    if (!locked(self, [&](HeaderMap& m) { removed = m.remove(name); })) return -1;
    if (!removed) raise_key_error(name);
    return removed ? 0 : -1;
  }
  std::string_view value;
  if (!arg_header_value(value_obj, &value)) return -1;
  bool replaced = false;
  if (!locked(self, [&](HeaderMap& m) { replaced = m.replace(name, value); })) return -1;
  if (!replaced) raise_header_map_full();
  return replaced ? 0 : -1;
}

// Never raises for a bad name: a name that cannot be converted is simply not in the map.
int map_contains(PyObject* self, PyObject* key) {
  std::string_view name;
  if (view_name(key, &name) != Conversion::kOk) return 0;
  MapState& s = state(self);
  Guard guard(s.lock);
  return (s.is_listed ? s.listed.contains(name) : s.core.contains(name)) ? 1 : 0;
}

PyObject* map_iter(PyObject* self) {
  Ref keys = Ref::steal(snapshot_list(self, Shape::kNames));
  return keys ? PyObject_GetIter(keys.get()) : nullptr;
}

PyObject* map_richcompare(PyObject* self, PyObject* other, int op) {
  if (op == Py_NE) {
    Ref equal = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
    if (!equal) return nullptr;
    const int truth = PyObject_IsTrue(equal.get());
    return truth < 0 ? nullptr : new_bool(truth == 0);
  }
  if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
  if (!header_map_check(other)) return new_bool(false);
  if (other == self) return new_bool(true);
  MapState& a = state(self);
  MapState& b = state(other);
  bool equal = false;
  bool settled = true;
  {
    PairGuard guard(a.lock, b.lock);
    try {
      settle(a);
      settle(b);
      equal = a.core == b.core;
    } catch (const std::bad_alloc&) {
      settled = false;
    }
  }
  if (!settled) return PyErr_NoMemory();
  return new_bool(equal);
}

PyObject* map_repr(PyObject* self) {
  Ref items = Ref::steal(snapshot_list(self, Shape::kItems));
  if (!items) return nullptr;
  Ref text = Ref::steal(PyObject_Repr(items.get()));
  return text ? PyUnicode_FromFormat("HeaderMap(%U)", text.get()) : nullptr;
}

// --- the class -----------------------------------------------------------------------------------

PyMethodDef g_methods[] = {
    {"get", as_method<map_get>(), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get($self, name, default=None)\n--\n\n"
               "The first value of name as bytes, or default when the name is absent.")},
    {"get_all", as_method<map_get_all>(), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_all($self, name)\n--\n\n"
               "Every value of name, in the order they were added; [] when absent.")},
    {"add", as_method<map_add>(), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("add($self, name, value)\n--\n\n"
               "Appends value to the values of name, keeping the existing ones. A new name is\n"
               "added at the end.")},
    {"setdefault", as_method<map_setdefault>(), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("setdefault($self, name, value)\n--\n\n"
               "The first value of name when present (value is then ignored, not even\n"
               "checked); otherwise adds value and returns it as bytes.")},
    {"keys", as_method<map_keys>(), METH_NOARGS,
     PyDoc_STR("keys($self)\n--\n\nThe distinct names as lower-case str, in entry order.")},
    {"values", as_method<map_values>(), METH_NOARGS,
     PyDoc_STR(
         "values($self)\n--\n\nEvery value as bytes, in iteration order, duplicates included.")},
    {"items", as_method<map_items>(), METH_NOARGS,
     PyDoc_STR(
         "items($self)\n--\n\nEvery (name, value) pair as (str, bytes), in iteration order.")},
    {"raw_items", as_method<map_raw_items>(), METH_NOARGS,
     PyDoc_STR("raw_items($self)\n--\n\n"
               "Every pair as (bytes, bytes), in iteration order: the shape of an ASGI scope's\n"
               "headers.")},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "HeaderMap(init=None)\n--\n\n"
    "An ordered, case-insensitive, multi-valued map of header names to values.\n\n"
    "Names are str or bytes made of token characters and are stored in lower case; values are\n"
    "str (encoded as UTF-8) or bytes without control characters other than tab, and are handed\n"
    "out as bytes. Each distinct name keeps the place where it was first added and its values\n"
    "come out together, in the order they were added. Deleting a name moves the last name into\n"
    "its place. len() counts values, not names. init is None, another HeaderMap (copied), a\n"
    "dict, or an iterable of (name, value) pairs.";

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, as_slot<map_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<MapState>>()},
    {Py_tp_repr, as_slot<map_repr>()},
    {Py_tp_richcompare, as_slot<map_richcompare>()},
    {Py_tp_hash, as_slot<PyObject_HashNotImplemented>()},
    {Py_tp_iter, as_slot<map_iter>()},
    {Py_tp_methods, g_methods},
    {Py_mp_length, as_slot<map_length>()},
    {Py_mp_subscript, as_slot<map_subscript>()},
    {Py_mp_ass_subscript, as_slot<map_ass_subscript>()},
    {Py_sq_contains, as_slot<map_contains>()},
    {0, nullptr},
};

PyType_Spec g_spec = {
    QUILLET_CLASS_NAME("HeaderMap"),
    int(sizeof(Boxed<MapState>)),
    0,
    0,  // flags: set by TypeHolder
    g_slots,
};

TypeHolder g_type(&g_spec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* header_map_type() {
  return g_type.get();
}

PyObject* header_map_from_core(HeaderMap&& core, std::shared_ptr<PairCache> pairs) {
  PyTypeObject* type = header_map_type();
  if (type == nullptr) return nullptr;
  if (pairs) return box_new<MapState>(type, std::move(core), std::move(pairs));
  return box_new<MapState>(type, std::move(core));
}

PyObject* header_map_from_fields(FieldList&& fields, std::shared_ptr<PairCache> pairs) {
  PyTypeObject* type = header_map_type();
  if (type == nullptr) return nullptr;
  return box_new<MapState>(type, std::move(fields), std::move(pairs));
}

bool header_map_check(PyObject* obj) {
  PyTypeObject* type = header_map_type();
  if (type == nullptr) {
    PyErr_Clear();  // the class could not be made, so nothing is an instance of it
    return false;
  }
  return PyObject_TypeCheck(obj, type);
}

bool header_map_snapshot(PyObject* obj, HeaderMap* out) {
  if (!header_map_check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a HeaderMap, not %.100s", Py_TYPE(obj)->tp_name);
    return false;
  }
  return locked(obj, [&](const HeaderMap& m) { *out = m; });
}

bool arg_header_map(PyObject* obj, const char* name, HeaderMap* out) {
  if (!header_map_check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a HeaderMap, not %.100s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  return header_map_snapshot(obj, out);
}

bool arg_header_name(PyObject* obj, std::string_view* out) {
  return raise_conversion(view_name(obj, out), kNameType, kNameInvalid);
}

bool arg_header_value(PyObject* obj, std::string_view* out) {
  return raise_value_conversion(view_value(obj, out));
}

bool header_map_fill(PyObject* init, HeaderMap* out) {
  return fill(out, init);
}

PyObject* raise_header_map_full() {
  PyErr_SetString(PyExc_ValueError, kFull);
  return nullptr;
}

}  // namespace quillet::py
