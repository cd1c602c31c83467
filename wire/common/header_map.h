// The header map core: an ordered, case-insensitive, multi-valued map from lower-case header
// names to byte-string values. The Python HeaderMap wraps one; the HTTP/1 parser, the HPACK
// decoder and the encoders fill and read it directly, without any Python object.
//
// Order: one entry per distinct name, in first-insertion order; each entry holds its first value
// and chains the later values of the same name in append order. Iteration yields each entry's
// values together. Removing a name moves the last entry into its place (swap removal).
//
// Size limit: the name index has at most kMaxIndexSlots slots and is doubled whenever the entry
// count reaches three quarters of its slots; an insertion or append that would need a bigger
// index fails (returns false) and leaves the map unchanged, even when the name is present.
//
// Names passed to the methods below must be valid header names (is_valid_header_name); they may
// carry upper-case letters, which are folded: lookups ignore ASCII case and stored names are
// lower case. Values must be valid header values (is_valid_header_value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// 1 to 65535 token characters.
bool is_valid_header_name(std::string_view name);
// HTAB, 0x20 to 0x7E and 0x80 to 0xFF only; the empty value is valid.
bool is_valid_header_value(std::string_view value);

// Storage: every stored byte (lower-case names and values) lives in one arena string; an entry
// records offsets into it, and the second and later values of a name are small records in one
// side vector, linked in append order. The name index is an open-addressing table (linear
// probing, backward-shift deletion) of 16-bit slots holding entry numbers, hashed with a
// per-process seed. A fresh map allocates nothing until its first insertion, which reserves room
// for a typical request head (32 slots, 16 entries, 512 bytes), so filling it with 10 to 20
// headers costs a handful of allocations in total, not one per header. Bytes and chain records
// left behind by removal and replacement are reclaimed by compacting once they outweigh the
// live ones.
//
// The limit: the index holds at most kMaxIndexSlots slots and at most three quarters of them
// are used, so a map holds at most kMaxNames distinct names. append and replace fail while the
// map holds kMaxNames names, whether or not the name is new; the number of values per name is
// bounded only by memory.
//
// Allocation failure throws std::bad_alloc and leaves the map as it was.
class HeaderMap {
 public:
  static constexpr size_t kMaxIndexSlots = 32768;
  static constexpr size_t kMaxNames = kMaxIndexSlots / 4 * 3;

  HeaderMap() noexcept = default;
  HeaderMap(const HeaderMap&) = default;
  HeaderMap& operator=(const HeaderMap&) = default;
  HeaderMap(HeaderMap&& other) noexcept;
  HeaderMap& operator=(HeaderMap&& other) noexcept;
  ~HeaderMap() = default;

  // Adds `value` after the existing values of `name`, or as a new entry at the end. False, with
  // the map unchanged, when the map is full.
  [[nodiscard]] bool append(std::string_view name, std::string_view value);
  // Makes `value` the only value of `name`: an existing entry keeps its position and drops its
  // chained values; a new name is appended. False, with the map unchanged, when the map is full.
  [[nodiscard]] bool replace(std::string_view name, std::string_view value);
  // The same as append for a name that is already lower case, with hash_of(name) computed
  // once by the caller (a decoder that meets the same names block after block keeps them with
  // its table entries): neither hashed nor folded again.
  [[nodiscard]] bool append_hashed(std::string_view lower_name, uint32_t hash,
                                   std::string_view value);
  // The hash a name is indexed by (as if it were lower case); the same for the map's whole
  // process, so it may be kept.
  static uint32_t hash_of(std::string_view name) noexcept;
  // Makes room for `names` more names holding `bytes` more bytes of names and values, so that
  // that many appends allocate nothing (may throw; the map is unchanged then).
  void reserve(size_t names, size_t bytes);
  // Removes `name` and all its values (swap removal); false when absent.
  bool remove(std::string_view name) noexcept;

  std::optional<std::string_view> first(std::string_view name) const noexcept;
  bool contains(std::string_view name) const noexcept { return find(name) != kNone; }

  // f(name, value) for every pair, in iteration order.
  template <class F>
  void for_each(F&& f) const;
  // f(name, hash, value, first) for every pair, in iteration order, with the name's hash_of
  // (kept in the map, so not computed again) and whether the value is the name's first.
  template <class F>
  void for_each_hashed(F&& f) const;
  // f(value) for every value of `name`, in append order.
  template <class F>
  void for_each_value(std::string_view name, F&& f) const;
  // f(name) for every distinct name, in entry order.
  template <class F>
  void for_each_name(F&& f) const;

  size_t size() const noexcept { return value_count_; }
  size_t name_count() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return value_count_ == 0; }
  // True when append and replace would fail.
  bool full() const noexcept { return entries_.size() >= kMaxNames; }
  // Empties the map, keeping its memory for reuse.
  void clear() noexcept;

  // Same number of values and, for each name, the same values in the same order. The order of
  // different names does not matter.
  bool operator==(const HeaderMap& other) const noexcept;

  // The number of index slots (0 before the first insertion); for tests of the growth policy.
  size_t index_slots() const noexcept { return index_.size(); }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Entry {
    size_t name_off;
    size_t value_off;
    size_t value_len;
    uint32_t name_len;
    uint32_t hash;
    uint32_t first_extra;  // the chain of later values, or kNone
    uint32_t last_extra;
  };
  struct Extra {
    size_t value_off;
    size_t value_len;
    uint32_t next;
  };

  std::string_view name_of(const Entry& e) const noexcept {
    return std::string_view(arena_.data() + e.name_off, e.name_len);
  }
  std::string_view value_at(size_t off, size_t len) const noexcept {
    return std::string_view(arena_.data() + off, len);
  }

  // The entry number of `name` (any case), or kNone.
  uint32_t find(std::string_view name) const noexcept;
  uint32_t find_hashed(std::string_view name, uint32_t hash, bool folded) const noexcept;
  // The slot holding entry number `entry`.
  size_t slot_of(uint32_t entry) const noexcept;

  // Makes room for one more entry and `bytes` more arena bytes (may throw).
  void reserve_entry(size_t bytes);
  void reserve_bytes(size_t bytes);
  void reserve_extra();
  void grow_index(size_t slots);
  void place_in_index(uint32_t entry) noexcept;
  void erase_slot(size_t slot) noexcept;
  size_t store(std::string_view bytes) noexcept;  // after reserve_bytes
  size_t store_folded(std::string_view name) noexcept;
  void add_entry(std::string_view name, uint32_t hash, std::string_view value) noexcept;
  // Appends the entry of a name already in the arena and stores its first value (after room
  // was made); returns its number.
  uint32_t push_entry(size_t name_off, size_t name_len, uint32_t hash,
                      std::string_view value) noexcept;
  // A new entry for an absent name: room first, then the entry.
  void insert_entry(std::string_view name, uint32_t hash, std::string_view value);
  // For append_hashed: the slot of the entry of a lower-case name, or the empty slot that ends
  // its probe run (a map with an index).
  size_t lower_slot(std::string_view lower_name, uint32_t hash) const noexcept;
  // A value chained to an existing entry (may throw, leaving the map as it was).
  void chain_value(uint32_t entry, std::string_view value);
  // Marks the chain of `e` as garbage and detaches it; returns how many values it held.
  size_t drop_chain(Entry& e) noexcept;
  void maybe_compact() noexcept;

  std::string arena_;
  std::vector<Entry> entries_;
  std::vector<Extra> extras_;
  std::vector<uint16_t> index_;  // entry number + 1; 0 is an empty slot
  size_t value_count_ = 0;
  size_t dead_bytes_ = 0;
  size_t dead_extras_ = 0;
};

template <class F>
void HeaderMap::for_each(F&& f) const {
  for (const Entry& e : entries_) {
    const std::string_view name = name_of(e);
    f(name, value_at(e.value_off, e.value_len));
    for (uint32_t x = e.first_extra; x != kNone; x = extras_[x].next)
      f(name, value_at(extras_[x].value_off, extras_[x].value_len));
  }
}

template <class F>
void HeaderMap::for_each_hashed(F&& f) const {
  for (const Entry& e : entries_) {
    const std::string_view name = name_of(e);
    f(name, e.hash, value_at(e.value_off, e.value_len), true);
    for (uint32_t x = e.first_extra; x != kNone; x = extras_[x].next)
      f(name, e.hash, value_at(extras_[x].value_off, extras_[x].value_len), false);
  }
}

template <class F>
void HeaderMap::for_each_value(std::string_view name, F&& f) const {
  const uint32_t i = find(name);
  if (i == kNone) return;
  const Entry& e = entries_[i];
  f(value_at(e.value_off, e.value_len));
  for (uint32_t x = e.first_extra; x != kNone; x = extras_[x].next)
    f(value_at(extras_[x].value_off, extras_[x].value_len));
}

template <class F>
void HeaderMap::for_each_name(F&& f) const {
  for (const Entry& e : entries_)
    f(name_of(e));
}

}  // namespace quillet
