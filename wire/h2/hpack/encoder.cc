#include "wire/h2/hpack/encoder.h"

#include "wire/h2/hpack/octets.h"
#include "wire/h2/hpack/primitives.h"
#include "wire/h2/hpack/static_table.h"

#include <algorithm>
#include <array>

namespace quillet::h2::hpack {
namespace {

constexpr uint32_t first_static_index(std::string_view name) {
  for (uint32_t i = 1; i <= kStaticTableSize; ++i)
    if (static_entry(i).name == name) return i;
  return 0;
}

// Fields whose values are credentials, or differ from message to message, are never put in
// the table: an entry would only push useful ones out, and a secret in a shared compression
// context can be guessed from the block sizes (RFC 7541 section 7.1).
constexpr std::array<std::string_view, 9> kNeverIndexedNames = {
    "age",           "authorization", "content-length", "cookie", "etag", "if-modified-since",
    "if-none-match", "location",      "set-cookie",
};

constexpr uint32_t kPathIndex = first_static_index(":path");

constexpr std::array<bool, kStaticTableSize + 1> kNeverIndexed = [] {
  std::array<bool, kStaticTableSize + 1> t{};
  for (const std::string_view name : kNeverIndexedNames)
    t[first_static_index(name)] = true;
  return t;
}();
static_assert(first_static_index("age") == 21 && first_static_index("set-cookie") == 55);

// Indexed by PseudoHeader; 0 where the name is not in the static table.
constexpr std::array<uint32_t, kPseudoHeaderCount> kPseudoStaticIndex = [] {
  std::array<uint32_t, kPseudoHeaderCount> t{};
  for (size_t i = 0; i < kPseudoHeaderCount; ++i)
    t[i] = first_static_index(kPseudoHeaderNames[i]);
  return t;
}();
static_assert(kPseudoStaticIndex[size_t(PseudoHeader::kAuthority)] == 1 &&
              kPseudoStaticIndex[size_t(PseudoHeader::kProtocol)] == 0);

bool never_indexed(uint32_t static_index, std::string_view value) {
  if (static_index == kPathIndex) return value != "/" && value != "/index.html";
  return kNeverIndexed[static_index];
}

// The pseudo-header names' hashes, made once per process (the map's hash is seeded per process).
using PseudoHashes = std::array<uint32_t, kPseudoHeaderCount>;

const PseudoHashes& pseudo_hashes() {
  static const PseudoHashes hashes = [] {
    PseudoHashes h{};
    for (size_t i = 0; i < kPseudoHeaderCount; ++i)
      h[i] = HeaderMap::hash_of(kPseudoHeaderNames[i]);
    return h;
  }();
  return hashes;
}

uint32_t tag_of(uint32_t name_hash) {
  return name_hash | 0x80000000u;
}

void write_literal(std::string* out, uint8_t pattern, unsigned prefix_bits, uint32_t name_index,
                   std::string_view name, std::string_view value) {
  write_integer(out, pattern, prefix_bits, name_index);
  if (name_index == 0) write_string(out, name);
  write_string(out, value);
}

// Representation patterns (RFC 7541 section 6).
constexpr uint8_t kIndexed = 0x80;          // 7-bit index
constexpr uint8_t kIncremental = 0x40;      // 6-bit name index
constexpr uint8_t kWithoutIndexing = 0x00;  // 4-bit name index
constexpr uint8_t kSizeUpdate = 0x20;       // 5-bit size

}  // namespace

// --- TableIndex ---------------------------------------------------------------------------------

TableIndex::Match TableIndex::find(const DynamicTable& table, std::string_view name,
                                   uint32_t name_hash, std::string_view value) const {
  Match match;
  if (slots_.empty() || table.count() == 0) return match;
  const uint32_t tag = tag_of(name_hash);
  const uint64_t newest = table.number(0);
  for (size_t s = tag & (kSlots - 1); slots_[s].tag != 0; s = (s + 1) & (kSlots - 1)) {
    if (slots_[s].tag != tag) continue;
    // The live numbers span fewer than 2^32, so the low 32 bits name one of them.
    const uint64_t number = newest - uint32_t(uint32_t(newest) - slots_[s].number);
    const size_t pos = table.position(number);
    if (!same_octets(table.name(pos), name)) continue;
    match.name = std::min(match.name, pos);
    if (same_octets(table.value(pos), value)) match.exact = std::min(match.exact, pos);
  }
  return match;
}

void TableIndex::prepare() {
  if (slots_.empty()) slots_.resize(kSlots);
}

void TableIndex::add_newest(const DynamicTable& table) noexcept {
  const uint32_t tag = tag_of(table.note(0).name_hash);
  size_t s = tag & (kSlots - 1);
  while (slots_[s].tag != 0)
    s = (s + 1) & (kSlots - 1);
  slots_[s] = Slot{uint32_t(table.number(0)), tag};
}

void TableIndex::remove(uint64_t number, uint32_t name_hash) noexcept {
  const uint32_t tag = tag_of(name_hash);
  size_t hole = tag & (kSlots - 1);
  while (slots_[hole].tag != tag || slots_[hole].number != uint32_t(number))
    hole = (hole + 1) & (kSlots - 1);
  // Backward-shift deletion: move up each later slot of the run whose home does not lie
  // between the hole and itself, so that no probe run is cut short.
  for (size_t s = (hole + 1) & (kSlots - 1); slots_[s].tag != 0; s = (s + 1) & (kSlots - 1)) {
    const size_t home = slots_[s].tag & (kSlots - 1);
    if (((s - home) & (kSlots - 1)) >= ((s - hole) & (kSlots - 1))) {
      slots_[hole] = slots_[s];
      hole = s;
    }
  }
  slots_[hole] = Slot{};
}

// --- Encoder ------------------------------------------------------------------------------------

void Encoder::write_size_update(uint32_t max_size, std::string* out) {
  write_integer(out, kSizeUpdate, 5, max_size);
  table_.set_max_size(max_size, [this](uint64_t number, std::string_view, EntryNote note) {
    index_.remove(number, note.name_hash);
  });
}

uint32_t Encoder::encode_field(std::string_view name, uint32_t name_hash, uint32_t static_index,
                               std::string_view value, std::string* out) {
  if (never_indexed(static_index, value)) {
    write_literal(out, kWithoutIndexing, 4, static_index, name, value);
    return static_index;
  }
  if (const uint32_t full = static_full_match(static_index, value)) {
    write_integer(out, kIndexed, 7, full);
    return full;
  }
  if (entry_size(name, value) * 4 > uint64_t(table_.max_size()) * 3) {
    write_literal(out, kWithoutIndexing, 4, static_index, name, value);
    return static_index;
  }
  const TableIndex::Match match = index_.find(table_, name, name_hash, value);
  if (match.exact != SIZE_MAX) {
    const uint32_t index = kFirstDynamicIndex + uint32_t(match.exact);
    write_integer(out, kIndexed, 7, index);
    return index;
  }
  index_.prepare();
  // The name index is read by the peer before it inserts, so a dynamic one is taken now.
  const uint32_t name_index = static_index != 0        ? static_index
                              : match.name != SIZE_MAX ? kFirstDynamicIndex + uint32_t(match.name)
                                                       : 0;
  write_literal(out, kIncremental, 6, name_index, name, value);
  const bool inserted = table_.insert(
      name, value,
      [this](uint64_t number, std::string_view, EntryNote note) {
        index_.remove(number, note.name_hash);
      },
      EntryNote{name_hash, 0});
  if (inserted) index_.add_newest(table_);
  if (static_index != 0) return static_index;
  // Further values name the new entry, which is now the newest: the index the name had before
  // the insertion has moved on by one.
  return inserted ? kFirstDynamicIndex : 0;
}

void Encoder::encode(const PseudoHeaders& pseudo, const HeaderMap& fields, std::string* out) {
  switch (announcement_) {
    case Announcement::kNone:
      break;
    case Announcement::kOne:
      write_size_update(announce_first_, out);
      break;
    case Announcement::kPair:
      write_size_update(announce_first_, out);
      write_size_update(announce_final_, out);
      break;
  }
  announcement_ = Announcement::kNone;

  const PseudoHashes& hashes = pseudo_hashes();
  for (size_t i = 0; i < kPseudoHeaderCount; ++i) {
    if (const std::optional<std::string>& value = pseudo.values[i])
      encode_field(kPseudoHeaderNames[i], hashes[i], kPseudoStaticIndex[i], *value, out);
  }
  // The map yields the values of one name together, and each name once.
  uint32_t name_ref = 0;
  fields.for_each_hashed(
      [&](std::string_view name, uint32_t hash, std::string_view value, bool first) {
        if (first)
          name_ref = encode_field(name, hash, static_name_index(name), value, out);
        else
          write_literal(out, kWithoutIndexing, 4, name_ref, name, value);
      });
}

void Encoder::update_max_table_size(uint32_t max_size) noexcept {
  const uint32_t v = std::min(max_size, kEncoderTableCap);
  switch (announcement_) {
    case Announcement::kNone:
      if (v != table_.max_size()) {
        announcement_ = Announcement::kOne;
        announce_first_ = v;
      }
      break;
    case Announcement::kOne:
      // A shrink already announced must still reach the peer before the table grows again.
      if (v > announce_first_ && announce_first_ <= table_.max_size()) {
        announcement_ = Announcement::kPair;
        announce_final_ = v;
      } else {
        announce_first_ = v;
      }
      break;
    case Announcement::kPair:
      if (v < announce_first_) {
        announcement_ = Announcement::kOne;
        announce_first_ = v;
      } else {
        announce_final_ = v;
      }
      break;
  }
}

}  // namespace quillet::h2::hpack
