#include "src/py/repr.h"

#include "wire/common/text.h"

namespace quillet::py {

std::string repr_optional(const std::optional<uint64_t>& value) {
  if (!value) return "None";
  std::string out = "Some(";
  append_decimal(out, *value);
  out += ')';
  return out;
}

ReprWriter::ReprWriter(std::string_view class_name) {
  text_.reserve(64);
  text_ += class_name;
  text_ += '(';
}

void ReprWriter::begin_field(std::string_view name) {
  if (!first_) text_ += ", ";
  first_ = false;
  text_ += name;
  text_ += '=';
}

ReprWriter& ReprWriter::field(std::string_view name, bool value) {
  return raw_field(name, repr_bool(value));
}

ReprWriter& ReprWriter::field(std::string_view name, uint64_t value) {
  begin_field(name);
  append_decimal(text_, value);
  return *this;
}

ReprWriter& ReprWriter::field(std::string_view name, const std::optional<uint64_t>& value) {
  return raw_field(name, repr_optional(value));
}

ReprWriter& ReprWriter::raw_field(std::string_view name, std::string_view text) {
  begin_field(name);
  text_ += text;
  return *this;
}

ReprWriter& ReprWriter::quoted_field(std::string_view name, std::string_view text) {
  begin_field(name);
  append_quoted(text_, text);
  return *this;
}

const std::string& ReprWriter::text() {
  if (!closed_) {
    text_ += ')';
    closed_ = true;
  }
  return text_;
}

PyObject* ReprWriter::finish() {
  const std::string& t = text();
  return PyUnicode_DecodeUTF8(t.data(), Py_ssize_t(t.size()), "replace");
}

}  // namespace quillet::py
