// The header map core: an ordered, case-insensitive, multi-valued map from lower-case header
// names to byte-string values. The Python HeaderMap wraps one; the HTTP/1 parser, the HPACK
// decoder and the encoders fill and read it directly, without any Python object.
//
// Order: one entry per distinct name, in first-insertion order; each entry holds its first value
// and chains the later values of the same name in append order. Iteration yields each entry's
// values together. Removing a name moves the last entry into its place (swap removal).
//
// Size limit: the name index has at most kMaxIndexSlots slots and is doubled whenever the entry
// count reaches three quarters of its slots; an insertion or append that would need a bigger
// index fails (returns false) and leaves the map unchanged, even when the name is present.
//
// Names passed to the methods below must be valid header names (is_valid_header_name); they may
// carry upper-case letters, which are folded: lookups ignore ASCII case and stored names are
// lower case. Values must be valid header values (is_valid_header_value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet {

// 1 to 65535 token characters.
bool is_valid_header_name(std::string_view name);
// HTAB, 0x20 to 0x7E and 0x80 to 0xFF only; the empty value is valid.
bool is_valid_header_value(std::string_view value);

class HeaderMap {
 public:
  static constexpr size_t kMaxIndexSlots = 32768;

  // --- implementation to follow; the interface other code relies on: ---
  // HeaderMap(); copyable and movable.
  // [[nodiscard]] bool append(std::string_view name, std::string_view value);  // add()
  // [[nodiscard]] bool replace(std::string_view name, std::string_view value); // m[name] = value
  // bool remove(std::string_view name);                 // del m[name]; false when absent
  // std::optional<std::string_view> first(std::string_view name) const;
  // bool contains(std::string_view name) const;
  // template <class F> void for_each(F&& f) const;      // f(name, value), iteration order
  // template <class F> void for_each_value(std::string_view name, F&& f) const;  // f(value)
  // template <class F> void for_each_name(F&& f) const; // f(name), entry order
  // size_t size() const;        // number of values (pairs)
  // size_t name_count() const;  // number of distinct names
  // bool empty() const;
  // void clear();
  // bool operator==(const HeaderMap&) const;  // same size and the same value list per name
};

}  // namespace quillet
