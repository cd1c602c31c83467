// Header map operation sequences checked against a small model: a vector of names, each with
// its values, in first-insertion order, where removal moves the last name into the freed place.
#include "wire/common/header_map.h"
#include "fuzz/fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

using namespace quillet;

namespace {

struct Model {
  std::vector<std::pair<std::string, std::vector<std::string>>> entries;

  int find(const std::string& lower) const {
    for (size_t i = 0; i < entries.size(); ++i)
      if (entries[i].first == lower) return int(i);
    return -1;
  }
  size_t size() const {
    size_t n = 0;
    for (auto& e : entries)
      n += e.second.size();
    return n;
  }
};

std::string lower(std::string s) {
  for (char& c : s)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

constexpr const char* kNames[] = {
    "host",   "accept", "content-length", "x-a",  "x-b",
    "cookie", "te",     "set-cookie",     "x-c1", "Transfer-Encoding"};

std::string pick_name(FuzzedDataProvider& in) {
  std::string name;
  if (in.ConsumeBool()) {
    name = kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)];
  } else {
    name = in.ConsumeRandomLengthString(12);
  }
  // Mix the letter case so that lookups must fold it.
  const uint8_t mask = in.ConsumeIntegral<uint8_t>();
  for (size_t i = 0; i < name.size(); ++i)
    if (mask & (1u << (i % 8))) name[i] = char(std::toupper(static_cast<unsigned char>(name[i])));
  return name;
}

void check(const HeaderMap& map, const Model& model) {
  FUZZ_CHECK(map.size() == model.size());
  FUZZ_CHECK(map.name_count() == model.entries.size());
  FUZZ_CHECK(map.empty() == (model.size() == 0));
  // Walk the model alongside the map's iteration, without copying anything.
  size_t entry = 0;
  size_t value = 0;
  map.for_each([&](std::string_view n, std::string_view v) {
    while (entry < model.entries.size() && value == model.entries[entry].second.size()) {
      ++entry;
      value = 0;
    }
    FUZZ_CHECK(entry < model.entries.size());
    FUZZ_CHECK(n == model.entries[entry].first && v == model.entries[entry].second[value]);
    ++value;
  });
  while (entry < model.entries.size() && value == model.entries[entry].second.size()) {
    ++entry;
    value = 0;
  }
  FUZZ_CHECK(entry == model.entries.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  HeaderMap map;
  Model model;
  while (in.remaining_bytes() > 0) {
    const uint8_t op = in.ConsumeIntegralInRange<uint8_t>(0, 7);
    switch (op) {
      case 0:
      case 1: {  // append
        std::string name = pick_name(in);
        std::string value = in.ConsumeRandomLengthString(24);
        if (!is_valid_header_name(name) || !is_valid_header_value(value)) break;
        FUZZ_CHECK(map.append(name, value));
        int i = model.find(lower(name));
        if (i < 0)
          model.entries.push_back({lower(name), {value}});
        else
          model.entries[i].second.push_back(value);
        break;
      }
      case 2: {  // replace
        std::string name = pick_name(in);
        std::string value = in.ConsumeRandomLengthString(24);
        if (!is_valid_header_name(name) || !is_valid_header_value(value)) break;
        FUZZ_CHECK(map.replace(name, value));
        int i = model.find(lower(name));
        if (i < 0)
          model.entries.push_back({lower(name), {value}});
        else
          model.entries[i].second = {value};
        break;
      }
      case 3: {  // remove
        std::string name = pick_name(in);
        if (!is_valid_header_name(name)) break;
        int i = model.find(lower(name));
        FUZZ_CHECK(map.remove(name) == (i >= 0));
        if (i >= 0) {
          model.entries[i] = std::move(model.entries.back());
          model.entries.pop_back();
        }
        break;
      }
      case 4: {  // lookups
        std::string name = pick_name(in);
        if (!is_valid_header_name(name)) break;
        int i = model.find(lower(name));
        FUZZ_CHECK(map.contains(name) == (i >= 0));
        auto first = map.first(name);
        FUZZ_CHECK(first.has_value() == (i >= 0));
        if (i >= 0) {
          FUZZ_CHECK(*first == model.entries[i].second.front());
          std::vector<std::string> values;
          map.for_each_value(name, [&](std::string_view v) { values.emplace_back(v); });
          FUZZ_CHECK(values == model.entries[i].second);
        }
        break;
      }
      case 5: {  // copy, move, compare
        HeaderMap copy = map;
        FUZZ_CHECK(copy == map);
        HeaderMap moved = std::move(copy);
        FUZZ_CHECK(moved == map);
        if (!model.entries.empty()) {
          FUZZ_CHECK(moved.append(model.entries[0].first, "extra"));
          FUZZ_CHECK(!(moved == map));
        }
        break;
      }
      case 6: {  // many distinct names at once: grows the index
        // Bounded, so that the model's linear lookups stay cheap.
        if (model.entries.size() > 600) break;
        const size_t n = in.ConsumeIntegralInRange<size_t>(0, 200);
        const size_t base = model.entries.size();
        for (size_t i = 0; i < n; ++i) {
          std::string name = "n" + std::to_string(base) + "-" + std::to_string(i);
          if (model.find(name) >= 0) continue;
          FUZZ_CHECK(map.append(name, "v"));
          model.entries.push_back({name, {"v"}});
        }
        break;
      }
      default:
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
          map.clear();
          model.entries.clear();
        }
    }
    check(map, model);
  }
  return 0;
}
