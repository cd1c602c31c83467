// The header fields of a parsed head as they came, names folded to lower case, kept until someone
// needs a HeaderMap. Most heads are read once as a list of pairs (an ASGI scope's headers): for
// them the map's index, hashing and chains are work nobody uses, and a list of fields in wire
// order is the same list the map would give, provided no name occurs twice.
//
// A list built with `add` knows whether its names are all distinct; when they are, iterating it
// yields exactly the pairs, in exactly the order, of a HeaderMap filled with the same fields.
// When they are not (or when telling would cost too much), `distinct()` is false and the caller
// fills a map instead. `fill` appends every field in order, as the parser would have. `first`
// answers a lookup from the list whether or not its names are distinct: the first field of a
// name in wire order is the first value the map would give.
#pragma once

#include "wire/common/header_map.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace quillet {

class FieldList {
 public:
  FieldList() = default;
  FieldList(FieldList&& other) noexcept;
  FieldList& operator=(FieldList&& other) noexcept;
  FieldList(const FieldList&) = delete;
  FieldList& operator=(const FieldList&) = delete;

  // Room for `fields` more fields holding `bytes` more bytes of names and values, so that that
  // many adds allocate nothing (may throw; the list is unchanged then).
  void reserve(size_t fields, size_t bytes);
  // Appends a field; `name` is a valid header name in any case, `value` a valid value.
  void add(std::string_view name, std::string_view value);
  void clear() noexcept;

  size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  // Every name differs from every other (ignoring case): the order of the list is then the
  // iteration order of a map filled from it. False may also mean "not worth finding out".
  bool distinct() const noexcept { return distinct_; }

  // The value of the first field named `name` (any case), in the order added; what a map filled
  // from the list gives as `first(name)`. Walks the fields: a head's few dozen, not a table.
  std::optional<std::string_view> first(std::string_view name) const noexcept;
  bool contains(std::string_view name) const noexcept { return first(name).has_value(); }

  // f(lower-case name, value) for every field, in the order added.
  template <class F>
  void for_each(F&& f) const;

  // Appends every field, in order, to `map`: false when the map fills up (may throw
  // std::bad_alloc; the map may then hold some of the fields).
  [[nodiscard]] bool fill(HeaderMap* map) const;

 private:
  // Field k's name starts at `off` in the bytes, and its value follows the name.
  struct Field {
    uint32_t off;
    uint32_t name_len;
    uint32_t value_len;
  };

  // Whether a name equal to the one at `off` (already stored, folded) was added before; `bit` is
  // its filter bit.
  bool seen_before(unsigned bit, size_t off, size_t len) noexcept;
  // The same past the filter: compares with the earlier names of that length.
  bool compare_earlier(size_t off, size_t len) noexcept;
  const Field* fields() const noexcept { return reinterpret_cast<const Field*>(storage_.get()); }
  Field* fields() noexcept { return reinterpret_cast<Field*>(storage_.get()); }
  const char* bytes() const noexcept { return storage_.get() + field_capacity_ * sizeof(Field); }
  char* bytes() noexcept { return storage_.get() + field_capacity_ * sizeof(Field); }
  const char* at(size_t off) const noexcept { return bytes() + off; }

  // One allocation holds the field records (room for `field_capacity_`) and, after them, the
  // names and values back to back (room for `byte_capacity_`): a parsed head reserves both at
  // once, and every byte is written once, by `add`, straight from the head.
  std::unique_ptr<char[]> storage_;
  size_t count_ = 0;
  size_t field_capacity_ = 0;
  size_t used_ = 0;
  size_t byte_capacity_ = 0;
  // A 256-bit filter of the names added: a name whose bit is clear is certainly new; one whose
  // bit is set is compared with the earlier names, within a budget of byte comparisons.
  std::array<uint64_t, 4> filter_{};
  size_t compare_budget_ = 0;
  bool distinct_ = true;
};

template <class F>
void FieldList::for_each(F&& f) const {
  const Field* x = fields();
  for (size_t k = 0; k < count_; ++k) {
    const char* name = at(x[k].off);
    const char* value = name + x[k].name_len;
    f(std::string_view(name, x[k].name_len), std::string_view(value, x[k].value_len));
  }
}

}  // namespace quillet
