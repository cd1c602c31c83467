// Reprs of the form `ClassName(field=value, ...)`.
#pragma once

#include "src/py/ref.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::py {

inline const char* repr_bool(bool value) {
  return value ? "true" : "false";
}

// "Some(7)" or "None".
std::string repr_optional(const std::optional<uint64_t>& value);

// Builds a repr in C++ (no Python object until `finish`), so that a class can fill it while it
// holds its lock and make the str after unlocking.
class ReprWriter {
 public:
  explicit ReprWriter(std::string_view class_name);

  ReprWriter& field(std::string_view name, bool value);
  ReprWriter& field(std::string_view name, uint64_t value);
  ReprWriter& field(std::string_view name, const std::optional<uint64_t>& value);
  // A value written as it is (already a repr of its own).
  ReprWriter& raw_field(std::string_view name, std::string_view text);
  // A text value in double quotes, escaped.
  ReprWriter& quoted_field(std::string_view name, std::string_view text);

  const std::string& text();
  // The finished repr as a new str, or nullptr with the Python error set.
  PyObject* finish();

 private:
  void begin_field(std::string_view name);
  std::string text_;
  bool first_ = true;
  bool closed_ = false;
};

}  // namespace quillet::py
