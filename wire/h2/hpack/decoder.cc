#include "wire/h2/hpack/decoder.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"
#include "wire/h2/hpack/primitives.h"
#include "wire/h2/hpack/static_table.h"

#include <array>

namespace quillet::h2::hpack {
namespace {

constexpr size_t kMaxNameLength = 65535;

// A received regular name: the token characters without upper-case letters (RFC 9113 section
// 8.2.1), plus the double quote, which is told apart afterwards as a malformed field.
constexpr std::array<bool, 256> kNameByte = [] {
  std::array<bool, 256> t{};
  for (unsigned c = 0; c < 256; ++c)
    t[c] = (chars::kToken[c] && !(c >= 'A' && c <= 'Z')) || c == '"';
  return t;
}();

bool all_of(std::string_view text, const std::array<bool, 256>& allowed) {
  for (const char c : text)
    if (!allowed[uint8_t(c)]) return false;
  return true;
}

bool is_status(std::string_view v) {
  return v.size() == 3 && v[0] >= '1' && v[0] <= '9' && v[1] >= '0' && v[1] <= '9' && v[2] >= '0' &&
         v[2] <= '9';
}

}  // namespace

std::optional<DecodeError> Decoder::lookup(uint32_t index, std::string_view* name,
                                           std::string_view* value) const noexcept {
  if (index == 0) return DecodeError::kInvalidTableIndex;
  if (index <= kStaticTableSize) {
    *name = static_entry(index).name;
    if (value) *value = static_entry(index).value;
    return std::nullopt;
  }
  const uint32_t i = index - kFirstDynamicIndex;
  if (i >= table_.count()) return DecodeError::kInvalidTableIndex;
  *name = table_.name(i);
  if (value) *value = table_.value(i);
  return std::nullopt;
}

std::optional<DecodeError> Decoder::accept(std::string_view name, std::string_view value,
                                           uint32_t max_list_size, HeaderAccumulator* list) {
  if (!name.empty() && name[0] == ':') {
    const std::optional<PseudoHeader> h = pseudo_header_from_name(name);
    if (!h) return DecodeError::kInvalidPseudoheader;
    switch (*h) {
      case PseudoHeader::kStatus:
        if (!is_status(value)) return DecodeError::kInvalidStatusCode;
        break;
      case PseudoHeader::kMethod:
        if (value.empty() || !all_of(value, chars::kToken)) return DecodeError::kInvalidUtf8;
        break;
      case PseudoHeader::kScheme:
      case PseudoHeader::kAuthority:
      case PseudoHeader::kPath:
      case PseudoHeader::kProtocol:
        if (!is_valid_utf8(value)) return DecodeError::kInvalidUtf8;
        // A control byte would reach a request target or a host name: refuse the request, not
        // the connection, as for any other malformed field.
        if (!all_of(value, chars::kFieldValue)) {
          list->mark_malformed();
          return std::nullopt;
        }
        break;
    }
    list->add_pseudo(*h, value, max_list_size);
    return std::nullopt;
  }
  if (name.size() > kMaxNameLength || !all_of(name, kNameByte)) return DecodeError::kInvalidUtf8;
  if (!all_of(value, chars::kFieldValue)) return DecodeError::kInvalidUtf8;
  // The empty name and the double quote pass the byte rule but are no field name: the block is
  // malformed, and decoding goes on so that the table stays in step.
  if (name.empty() || name.find('"') != std::string_view::npos) {
    list->mark_malformed();
    return std::nullopt;
  }
  list->add_regular(name, value, max_list_size);
  return std::nullopt;
}

std::optional<DecodeError> Decoder::read_literal(std::string_view in, size_t* pos,
                                                 unsigned prefix_bits, bool indexing,
                                                 uint32_t max_list_size, HeaderAccumulator* list) {
  size_t p = *pos;
  uint32_t name_index = 0;
  if (const auto error = read_integer(in, &p, prefix_bits, &name_index)) return error;
  std::string_view name;
  if (name_index == 0) {
    if (const auto error = read_string(in, &p, &name_scratch_, &name)) return error;
  } else if (const auto error = lookup(name_index, &name, nullptr)) {
    return error;
  }
  std::string_view value;
  if (const auto error = read_string(in, &p, &value_scratch_, &value)) return error;
  // The field goes to the list before the insertion, which may evict the entry `name` views.
  if (const auto error = accept(name, value, max_list_size, list)) return error;
  if (indexing) table_.insert(name, value);
  *pos = p;
  return std::nullopt;
}

DecodeResult Decoder::decode(std::string_view in, uint32_t max_list_size, HeaderAccumulator* list) {
  if (queued_max_) {
    allowed_max_ = *queued_max_;
    queued_max_.reset();
  }
  DecodeResult result;
  const auto fail = [&](DecodeError error) {
    result.status = DecodeStatus::kFailed;
    result.error = error;
    return result;
  };
  size_t pos = 0;
  while (pos < in.size() && !list->abuse()) {
    result.consumed = pos;
    const uint8_t first = uint8_t(in[pos]);
    if (first & 0x80) {  // indexed field
      list->mark_representation_seen();
      size_t p = pos;
      uint32_t index = 0;
      std::string_view name;
      std::string_view value;
      if (const auto error = read_integer(in, &p, 7, &index)) return fail(*error);
      if (const auto error = lookup(index, &name, &value)) return fail(*error);
      if (const auto error = accept(name, value, max_list_size, list)) return fail(*error);
      pos = p;
    } else if (first & 0x40) {  // literal with incremental indexing
      list->mark_representation_seen();
      if (const auto error = read_literal(in, &pos, 6, true, max_list_size, list))
        return fail(*error);
    } else if (first & 0x20) {  // dynamic table size update
      // Size updates may only open a block, whichever fragment they arrive in.
      if (list->representation_seen()) return fail(DecodeError::kInvalidMaxDynamicSize);
      uint32_t max_size = 0;
      if (const auto error = read_integer(in, &pos, 5, &max_size)) return fail(*error);
      if (max_size > allowed_max_) return fail(DecodeError::kInvalidMaxDynamicSize);
      table_.set_max_size(max_size);
    } else {  // literal without indexing (0000) or never indexed (0001)
      list->mark_representation_seen();
      if (const auto error = read_literal(in, &pos, 4, false, max_list_size, list))
        return fail(*error);
    }
  }
  result.consumed = pos;
  if (list->abuse())
    result.status = DecodeStatus::kAbuse;
  else if (list->malformed())
    result.status = DecodeStatus::kMalformed;
  return result;
}

}  // namespace quillet::h2::hpack
