// Helpers shared by the HPACK tests: hex blocks, header lists as plain pairs, table contents.
#pragma once

#include "wire/h2/hpack/decoder.h"
#include "wire/h2/hpack/encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::h2::hpack::test {

using Fields = std::vector<std::pair<std::string, std::string>>;

// "82 86 8441" -> the octets; spaces are ignored.
inline std::string hex(std::string_view text) {
  std::string out;
  int nibbles = 0;
  unsigned byte = 0;
  for (const char c : text) {
    if (c == ' ') continue;
    const unsigned v = c <= '9' ? unsigned(c - '0') : unsigned(c - 'a' + 10);
    byte = byte << 4 | v;
    if (++nibbles % 2 == 0) {
      out.push_back(char(byte));
      byte = 0;
    }
  }
  return out;
}

// The octets of `block` in hex, for failure messages.
inline std::string hex_of(std::string_view block) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : block.substr(0, 40)) {
    out += kDigits[uint8_t(c) >> 4];
    out += kDigits[uint8_t(c) & 15];
  }
  return out;
}

// The pseudo-header fields in PseudoHeader order, then the regular fields in map order.
inline Fields fields_of(const PseudoHeaders& pseudo, const HeaderMap& map) {
  Fields out;
  for (size_t i = 0; i < kPseudoHeaderCount; ++i)
    if (pseudo.values[i]) out.emplace_back(kPseudoHeaderNames[i], *pseudo.values[i]);
  map.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

inline Fields fields_of(const HeaderAccumulator& list) {
  return fields_of(list.pseudo(), list.fields());
}

// Splits a list into the encoder's input; names must be valid for a HeaderMap.
inline void split(const Fields& fields, PseudoHeaders* pseudo, HeaderMap* map) {
  for (const auto& [name, value] : fields) {
    if (const auto h = pseudo_header_from_name(name))
      (*pseudo)[*h] = value;
    else if (!map->append(name, value))
      ADD_FAILURE() << "map refused " << name;
  }
}

// A list as fields_of would give it back: pseudo-headers first, values of a name together.
inline Fields normalised(const Fields& fields) {
  PseudoHeaders pseudo;
  HeaderMap map;
  split(fields, &pseudo, &map);
  return fields_of(pseudo, map);
}

// The table's entries, newest first.
inline Fields entries_of(const DynamicTable& table) {
  Fields out;
  for (size_t i = 0; i < table.count(); ++i)
    out.emplace_back(table.name(i), table.value(i));
  return out;
}

inline std::string encode(Encoder& encoder, const Fields& fields) {
  PseudoHeaders pseudo;
  HeaderMap map;
  split(fields, &pseudo, &map);
  std::string out;
  encoder.encode(pseudo, map, &out);
  return out;
}

inline constexpr uint32_t kNoLimit = UINT32_MAX;

}  // namespace quillet::h2::hpack::test
