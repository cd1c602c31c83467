#include "wire/h2/hpack/static_table.h"

#include "wire/h2/hpack/octets.h"

#include <type_traits>

namespace quillet::h2::hpack {
namespace {

// Open addressing over 128 slots (52 distinct names), hashed on the length and three bytes,
// which already tells almost all the names apart; a slot holds the first index of its name.
constexpr size_t kSlots = 128;

constexpr size_t name_hash(std::string_view name) {
  const size_t n = name.size();
  return (n * 31u + uint8_t(name[0]) * 7u + uint8_t(name[n / 2]) * 3u + uint8_t(name[n - 1])) &
         (kSlots - 1);
}

constexpr std::array<uint8_t, kSlots> build_index() {
  std::array<uint8_t, kSlots> slots{};
  for (uint32_t i = 1; i <= kStaticTableSize; ++i) {
    const std::string_view name = static_entry(i).name;
    if (i > 1 && static_entry(i - 1).name == name) continue;  // keep the first index
    size_t s = name_hash(name);
    while (slots[s] != 0)
      s = (s + 1) & (kSlots - 1);
    slots[s] = uint8_t(i);
  }
  return slots;
}

constexpr std::array<uint8_t, kSlots> kIndex = build_index();

constexpr uint32_t lookup(std::string_view name) {
  if (name.empty()) return 0;
  for (size_t s = name_hash(name);; s = (s + 1) & (kSlots - 1)) {
    const uint8_t i = kIndex[s];
    if (i == 0) return 0;
    if (std::is_constant_evaluated() ? static_entry(i).name == name
                                     : same_octets(static_entry(i).name, name))
      return i;
  }
}

// Every name of the table finds its first index, and names that share an index are
// neighbours, which static_full_match relies on.
constexpr bool index_is_complete() {
  for (uint32_t i = 1; i <= kStaticTableSize; ++i) {
    const uint32_t found = lookup(static_entry(i).name);
    if (found == 0 || found > i || static_entry(found).name != static_entry(i).name) return false;
    for (uint32_t j = found; j < i; ++j)
      if (static_entry(j).name != static_entry(i).name) return false;
  }
  return lookup("x-custom") == 0 && lookup(":protocol") == 0;
}
static_assert(index_is_complete(), "the static name index finds every static name");

}  // namespace

uint32_t static_name_index(std::string_view name) noexcept {
  return lookup(name);
}

uint32_t static_full_match(uint32_t name_index, std::string_view value) noexcept {
  if (name_index == 0) return 0;
  const std::string_view name = static_entry(name_index).name;
  for (uint32_t i = name_index; i <= kStaticTableSize && static_entry(i).name == name; ++i) {
    const std::string_view v = static_entry(i).value;
    if (!v.empty() && same_octets(v, value)) return i;
  }
  return 0;
}

}  // namespace quillet::h2::hpack
