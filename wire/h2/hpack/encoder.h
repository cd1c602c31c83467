// The HPACK encoder of one connection (RFC 7541 sections 4, 6 and 7): it turns an outgoing
// header list into one header block and keeps the dynamic table the peer's decoder mirrors.
//
// Its choices, field by field: fields whose values are secrets or change with every message
// (authorization, cookie, content-length, a :path other than / ...) are never indexed; fields
// that spell a static entry are written as that index; a field too large to be worth a table
// slot (entry size above three quarters of the table) is a plain literal; anything else is
// found in the dynamic table, or inserted there. Every non-empty string is Huffman-coded.
// Further values of a name reuse the name's index. A change of the table's maximum is
// announced at the start of the next block.
//
// Allocation failure throws std::bad_alloc; the table may then hold entries of a block that
// was never sent, so the connection must not send another block.
#pragma once

#include "wire/common/header_map.h"
#include "wire/h2/hpack/dynamic_table.h"
#include "wire/h2/hpack/header_list.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::h2::hpack {

// The largest table the encoder uses, whatever the peer allows: the memory each connection
// spends on compression stays fixed.
inline constexpr uint32_t kEncoderTableCap = 4096;

// Finds the entries of the encoder's table by name, and by name and value, without scanning
// it: open addressing with linear probing over the name's hash (HeaderMap::hash_of, which the
// header map already holds for every name it yields and the table keeps in each entry's note),
// each slot holding an entry's number (its low 32 bits, which tell apart the at most
// kMaxEntries live ones) and the hash. Entries of one name share a probe run, so a lookup walks
// only that run.
class TableIndex {
 public:
  struct Match {
    size_t exact = SIZE_MAX;  // the newest entry with the name and the value (a table position)
    size_t name = SIZE_MAX;   // the newest entry with the name
  };
  Match find(const DynamicTable& table, std::string_view name, uint32_t name_hash,
             std::string_view value) const;
  // Allocates the slots once (may throw), so that adding and removing never fail.
  void prepare();
  // Indexes the table's newest entry, by the hash in its note; after prepare().
  void add_newest(const DynamicTable& table) noexcept;
  void remove(uint64_t number, uint32_t name_hash) noexcept;

  // Room for every entry a table of the encoder's largest size can hold, at most half full.
  static constexpr uint32_t kMaxEntries = kEncoderTableCap / kEntryOverhead;
  static constexpr size_t kSlots = 256;
  static_assert(kMaxEntries * 2 <= kSlots);

 private:
  struct Slot {
    uint32_t number = 0;
    uint32_t tag = 0;  // the name's hash with the top bit set; 0 is an empty slot
  };
  std::vector<Slot> slots_;  // kSlots once prepared
};

class Encoder {
 public:
  // Appends one complete header block: the pending size announcement, the pseudo-header fields
  // that are present in PseudoHeader order, then the fields in the map's iteration order.
  void encode(const PseudoHeaders& pseudo, const HeaderMap& fields, std::string* out);

  // The peer's SETTINGS_HEADER_TABLE_SIZE (or a local request): the table's new maximum,
  // capped at kEncoderTableCap, is announced at the start of the next block. Several changes before
  // that block are merged, keeping the smallest when the table must shrink before it grows
  // again, so that the peer sees the eviction (RFC 7541 section 4.2).
  void update_max_table_size(uint32_t max_size) noexcept;

  const DynamicTable& table() const noexcept { return table_; }

 private:
  // Writes one field; returns the name index further values of the name use (0: a literal).
  uint32_t encode_field(std::string_view name, uint32_t name_hash, uint32_t static_index,
                        std::string_view value, std::string* out);
  void write_size_update(uint32_t max_size, std::string* out);

  enum class Announcement : uint8_t { kNone, kOne, kPair };

  DynamicTable table_;
  TableIndex index_;
  Announcement announcement_ = Announcement::kNone;
  uint32_t announce_first_ = 0;  // kOne: the value; kPair: the smallest
  uint32_t announce_final_ = 0;  // kPair: the final value
};

}  // namespace quillet::h2::hpack
