#include "wire/h1/tokens.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"

namespace quillet::h1 {

std::string_view trim_whitespace(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
    ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
    --end;
  return text.substr(begin, end - begin);
}

namespace {

bool has_tokens(std::string_view value) {
  for (char c : value) {
    if (!chars::visible_ascii_or_space(c)) return false;
  }
  return true;
}

}  // namespace

bool has_token(std::string_view value, std::string_view token) {
  if (!has_tokens(value)) return false;
  while (true) {
    const size_t comma = value.find(',');
    if (equals_ignore_case(trim_whitespace(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) return false;
    value.remove_prefix(comma + 1);
  }
}

bool last_token_is(std::string_view value, std::string_view token) {
  if (!has_tokens(value)) return false;
  const size_t comma = value.rfind(',');
  const std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
  return equals_ignore_case(trim_whitespace(last), token);
}

void CodingList::add_line(std::string_view value) {
  if (!has_tokens(value)) {
    opaque_ = true;
    return;
  }
  while (true) {
    const size_t comma = value.find(',');
    const std::string_view coding = trim_whitespace(value.substr(0, comma));
    const bool last = comma == std::string_view::npos;
    if (equals_ignore_case(coding, "chunked")) {
      ++chunked_;
      last_chunked_ = true;
    } else if (!coding.empty() || last) {
      if (!coding.empty()) other_ = true;
      last_chunked_ = false;
    }
    if (last) return;
    value.remove_prefix(comma + 1);
  }
}

CodingList::Verdict CodingList::verdict() const {
  if (opaque_ || !last_chunked_ || chunked_ > 1) return Verdict::kInvalid;
  return other_ ? Verdict::kUnsupported : Verdict::kChunked;
}

std::optional<uint64_t> parse_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = uint64_t(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace quillet::h1
