#include "wire/h2/hpack/decoder.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"
#include "wire/h2/hpack/primitives.h"
#include "wire/h2/hpack/static_table.h"

#include <array>
#include <cstring>

namespace quillet::h2::hpack {
namespace {

constexpr size_t kMaxNameLength = 65535;

// A received regular name: the token characters without upper-case letters (RFC 9113 section
// 8.2.1).
constexpr std::array<bool, 256> kNameByte = [] {
  std::array<bool, 256> t{};
  for (unsigned c = 0; c < 256; ++c)
    t[c] = chars::kToken[c] && !(c >= 'A' && c <= 'Z');
  return t;
}();

bool all_of(std::string_view text, const std::array<bool, 256>& allowed) {
  for (const char c : text)
    if (!allowed[uint8_t(c)]) return false;
  return true;
}

// The field-value byte rule, eight octets at a time: only a word holding a control byte or DEL
// is looked at octet by octet (HTAB is the one control allowed).
bool is_field_value(std::string_view value) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const char* p = value.data();
  size_t n = value.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t below_space = (w - kOnes * 0x20) & ~w & kHigh;
    const uint64_t del = w ^ (kOnes * 0x7f);
    if (((below_space | ((del - kOnes) & ~del & kHigh))) != 0 &&
        !all_of(std::string_view(p, 8), chars::kFieldValue))
      return false;
  }
  return all_of(std::string_view(p, n), chars::kFieldValue);
}

bool is_status(std::string_view v) {
  return v.size() == 3 && v[0] >= '1' && v[0] <= '9' && v[1] >= '0' && v[1] <= '9' && v[2] >= '0' &&
         v[2] <= '9';
}

// An EntryNote's kind: what the field rules made of the name (bits 0-2), and whether the field
// as a whole was refused as malformed (bit 3). Static entries get the same notes, so that an
// indexed field costs no check at all.
constexpr uint8_t kRegularName = 0;
constexpr uint8_t kUnfitName = 1;   // no field name: the field is malformed whatever its value
constexpr uint8_t kPseudoName = 2;  // + PseudoHeader
constexpr uint8_t kNameMask = 7;
constexpr uint8_t kMalformedField = 8;
static_assert(kPseudoName + kPseudoHeaderCount - 1 <= kNameMask);

// A field that breaks the field rules (RFC 9113 section 8.2.1 and 8.3) makes its message
// malformed, a stream error; the connection and the table go on. So a name is only classified.
uint8_t classify_name(std::string_view name) {
  if (!name.empty() && name[0] == ':') {
    const std::optional<PseudoHeader> h = pseudo_header_from_name(name);
    return h ? uint8_t(kPseudoName + uint8_t(*h)) : kUnfitName;
  }
  const bool fit = !name.empty() && name.size() <= kMaxNameLength && all_of(name, kNameByte);
  return fit ? kRegularName : kUnfitName;
}

bool is_edge_whitespace(char c) {
  return c == ' ' || c == '\t';
}

// A value that is no field value: a control byte other than HTAB, DEL, or SP or HTAB at either
// end (RFC 9113 section 8.2.1).
bool is_bad_value(std::string_view value) {
  return !is_field_value(value) || (!value.empty() && (is_edge_whitespace(value.front()) ||
                                                       is_edge_whitespace(value.back())));
}

// The field's kind for a name of `name_kind`: the name's, with kMalformedField when the field
// is refused.
uint8_t check_value(uint8_t name_kind, std::string_view value) {
  bool fit = true;
  if (name_kind < kPseudoName) {
    fit = name_kind == kRegularName && !is_bad_value(value);
  } else {
    switch (PseudoHeader(name_kind - kPseudoName)) {
      case PseudoHeader::kStatus:
        fit = is_status(value);
        break;
      case PseudoHeader::kMethod:
        fit = !value.empty() && all_of(value, chars::kToken);
        break;
      case PseudoHeader::kScheme:
      case PseudoHeader::kAuthority:
      case PseudoHeader::kPath:
      case PseudoHeader::kProtocol:
        // A control byte would reach a request target or a host name.
        fit = is_valid_utf8(value) && !is_bad_value(value);
        break;
    }
  }
  return fit ? name_kind : uint8_t(name_kind | kMalformedField);
}

// Hands a field that passed the rules to the accumulator.
void deliver(EntryNote note, std::string_view name, std::string_view value, uint32_t max_list_size,
             HeaderAccumulator* list) {
  if (note.kind & kMalformedField) {
    list->mark_malformed();
  } else if (note.kind >= kPseudoName) {
    list->add_pseudo(PseudoHeader(note.kind - kPseudoName), value, max_list_size);
  } else {
    list->add_regular(name, note.name_hash, value, max_list_size);
  }
}

// The notes of the static entries, made once per process (the map's hash is seeded per
// process) by the same rules as the dynamic entries'.
using StaticNotes = std::array<EntryNote, kStaticTableSize + 1>;

StaticNotes make_static_notes() {
  StaticNotes notes{};
  for (uint32_t i = 1; i <= kStaticTableSize; ++i) {
    const StaticEntry& e = static_entry(i);
    const uint8_t kind = check_value(classify_name(e.name), e.value);
    notes[i].kind = kind;
    if (kind == kRegularName) notes[i].name_hash = HeaderMap::hash_of(e.name);
  }
  return notes;
}

const StaticNotes& static_notes() {
  static const StaticNotes notes = make_static_notes();
  return notes;
}

}  // namespace

std::optional<DecodeError> Decoder::lookup(uint32_t index, std::string_view* name,
                                           std::string_view* value,
                                           EntryNote* note) const noexcept {
  if (index == 0) return DecodeError::kInvalidTableIndex;
  if (index <= kStaticTableSize) {
    *name = static_entry(index).name;
    *value = static_entry(index).value;
    *note = static_notes()[index];
    return std::nullopt;
  }
  const uint32_t i = index - kFirstDynamicIndex;
  if (i >= table_.count()) return DecodeError::kInvalidTableIndex;
  *name = table_.name(i);
  *value = table_.value(i);
  *note = table_.note(i);
  return std::nullopt;
}

std::optional<DecodeError> Decoder::read_literal(std::string_view in, size_t* pos,
                                                 unsigned prefix_bits, bool indexing,
                                                 uint32_t max_list_size, HeaderAccumulator* list) {
  size_t p = *pos;
  uint32_t name_index = 0;
  if (const auto error = read_integer(in, &p, prefix_bits, &name_index)) return error;
  std::string_view name;
  EntryNote name_note;
  if (name_index == 0) {
    if (const auto error = read_string(in, &p, &name_scratch_, &name)) return error;
  } else {
    std::string_view unused;
    if (const auto error = lookup(name_index, &name, &unused, &name_note)) return error;
  }
  std::string_view value;
  if (const auto error = read_string(in, &p, &value_scratch_, &value)) return error;
  // The rules run once both strings are whole, so that a representation cut short by the end of
  // a fragment reports the missing part first. A name from the table passed them already.
  uint8_t name_kind = name_note.kind & kNameMask;
  if (name_index == 0) {
    name_kind = classify_name(name);
    if (name_kind == kRegularName) name_note.name_hash = HeaderMap::hash_of(name);
  }
  const EntryNote note{name_note.name_hash, check_value(name_kind, value)};
  // The field goes to the list before the insertion, which may evict the entry `name` views.
  deliver(note, name, value, max_list_size, list);
  if (indexing) table_.insert(name, value, NoEvictionHook{}, note);
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
    if (first & 0x80) {  // indexed field: it passed the rules when it entered the table
      list->mark_representation_seen();
      size_t p = pos;
      uint32_t index = 0;
      std::string_view name;
      std::string_view value;
      EntryNote note;
      if (const auto error = read_integer(in, &p, 7, &index)) return fail(*error);
      if (const auto error = lookup(index, &name, &value, &note)) return fail(*error);
      deliver(note, name, value, max_list_size, list);
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
