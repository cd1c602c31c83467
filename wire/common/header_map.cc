#include "wire/common/header_map.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <random>
#include <utility>

namespace quillet {
namespace {

// A first insertion reserves room for a typical request head.
constexpr size_t kInitialSlots = 32;
constexpr size_t kInitialEntries = 16;
constexpr size_t kInitialBytes = 512;

// Garbage left by removal and replacement is compacted away once it outweighs the live data and
// is worth a pass over the map.
constexpr size_t kCompactBytes = 1024;
constexpr size_t kCompactExtras = 32;

constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t kLowSeven = 0x7f7f7f7f7f7f7f7full;
constexpr uint64_t kMul = 0x9e3779b97f4a7c15ull;

static_assert(HeaderMap::kMaxNames < UINT16_MAX, "an index slot holds an entry number + 1");
static_assert((HeaderMap::kMaxIndexSlots & (HeaderMap::kMaxIndexSlots - 1)) == 0);

uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The first n < 8 bytes at p as a little-endian word, with fixed-size loads only (a memcpy of
// a variable size is a library call): overlapping loads write the same bytes twice.
uint64_t load_partial(const char* p, size_t n) {
  if (n >= 4) {
    uint32_t head;
    uint32_t tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    return uint64_t(head) | (uint64_t(tail) << ((n - 4) * 8));
  }
  if (n == 0) return 0;
  return uint64_t(uint8_t(p[0])) | (uint64_t(uint8_t(p[n / 2])) << (n / 2 * 8)) |
         (uint64_t(uint8_t(p[n - 1])) << ((n - 1) * 8));
}

// Lower-cases the ASCII letters among eight bytes at once and leaves every other byte alone:
// a byte is upper case when its low seven bits are at least 'A', not above 'Z', and its high
// bit is clear; adding 0x20 then equals setting bit 5.
uint64_t fold8(uint64_t x) {
  const uint64_t low = x & kLowSeven;
  const uint64_t at_least_a = low + 0x3f3f3f3f3f3f3f3full;  // 0x80 - 'A'
  const uint64_t above_z = low + 0x2525252525252525ull;     // 0x80 - ('Z' + 1)
  const uint64_t upper = at_least_a & ~above_z & ~x & kHighBits;
  return x | (upper >> 2);
}

// Seeded per process, so that the slots names land in cannot be chosen from outside.
uint64_t process_seed() {
  static const uint64_t seed = [] {
    uint64_t s = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) * kMul;
    try {
      std::random_device device;
      s ^= (uint64_t(device()) << 32) ^ device();
    } catch (...) {
      // no entropy source: the clock alone
    }
    return s;
  }();
  return seed;
}

// The hash of a name as if it were lower case.
uint32_t hash_name(std::string_view name) {
  uint64_t h = process_seed() ^ (uint64_t(name.size()) * kMul);
  const char* p = name.data();
  size_t n = name.size();
  for (; n >= 8; p += 8, n -= 8) {
    h = (h ^ fold8(load8(p))) * kMul;
    h ^= h >> 29;
  }
  if (n > 0) {
    h = (h ^ fold8(load_partial(p, n))) * kMul;
    h ^= h >> 29;
  }
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ull;
  h ^= h >> 32;
  return uint32_t(h);
}

// `stored` is lower case; `query` may not be.
bool equal_folded(const char* stored, const char* query, size_t n) {
  for (; n >= 8; stored += 8, query += 8, n -= 8) {
    if (load8(stored) != fold8(load8(query))) return false;
  }
  for (; n > 0; ++stored, ++query, --n) {
    if (*stored != ascii_lower(*query)) return false;
  }
  return true;
}

// Room for `extra` more elements, growing by doubling so that appends stay amortised whatever
// the library's own reserve policy is.
template <class V>
void reserve_more(V& v, size_t extra, size_t initial) {
  if (extra > v.max_size() - v.size()) throw std::bad_alloc();
  const size_t need = v.size() + extra;
  if (need <= v.capacity()) return;
  size_t want = std::max(initial, v.capacity());
  while (want < need)
    want = want > v.max_size() / 2 ? need : want * 2;
  v.reserve(want);
}

}  // namespace

bool is_valid_header_name(std::string_view name) {
  if (name.empty() || name.size() > 65535) return false;
  const char* p = name.data();
  size_t n = name.size();
  for (; n >= 4; p += 4, n -= 4) {
    if (!(chars::token(p[0]) && chars::token(p[1]) && chars::token(p[2]) && chars::token(p[3])))
      return false;
  }
  for (; n > 0; ++p, --n) {
    if (!chars::token(*p)) return false;
  }
  return true;
}

bool is_valid_header_value(std::string_view value) {
  // Eight bytes at a time: a word is looked at byte by byte only when it holds a byte below
  // 0x20 (HTAB among them) or DEL; bytes from 0x80 up are allowed and never flag a word.
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const char* p = value.data();
  size_t n = value.size();
  const auto bytes_ok = [](const char* q, size_t k) {
    for (size_t i = 0; i < k; ++i) {
      if (!chars::field_value(q[i])) return false;
    }
    return true;
  };
  for (; n >= 8; p += 8, n -= 8) {
    const uint64_t w = load8(p);
    const uint64_t below_space = (w - kOnes * 0x20) & ~w & kHigh;
    const uint64_t del = w ^ (kOnes * 0x7f);
    if ((below_space | ((del - kOnes) & ~del & kHigh)) != 0 && !bytes_ok(p, 8)) return false;
  }
  return bytes_ok(p, n);
}

HeaderMap::HeaderMap(HeaderMap&& other) noexcept
    : arena_(std::move(other.arena_)),
      entries_(std::move(other.entries_)),
      extras_(std::move(other.extras_)),
      index_(std::move(other.index_)),
      value_count_(std::exchange(other.value_count_, 0)),
      dead_bytes_(std::exchange(other.dead_bytes_, 0)),
      dead_extras_(std::exchange(other.dead_extras_, 0)) {
  other.arena_.clear();
  other.entries_.clear();
  other.extras_.clear();
  other.index_.clear();
}

HeaderMap& HeaderMap::operator=(HeaderMap&& other) noexcept {
  if (this != &other) {
    HeaderMap taken(std::move(other));
    arena_.swap(taken.arena_);
    entries_.swap(taken.entries_);
    extras_.swap(taken.extras_);
    index_.swap(taken.index_);
    std::swap(value_count_, taken.value_count_);
    std::swap(dead_bytes_, taken.dead_bytes_);
    std::swap(dead_extras_, taken.dead_extras_);
  }
  return *this;
}

uint32_t HeaderMap::find(std::string_view name) const noexcept {
  if (entries_.empty()) return kNone;
  return find_hashed(name, hash_name(name), false);
}

uint32_t HeaderMap::find_hashed(std::string_view name, uint32_t hash, bool folded) const noexcept {
  if (index_.empty()) return kNone;
  const size_t mask = index_.size() - 1;
  for (size_t s = hash & mask;; s = (s + 1) & mask) {
    const uint16_t slot = index_[s];
    if (slot == 0) return kNone;
    const Entry& e = entries_[slot - 1u];
    if (e.hash != hash || e.name_len != name.size()) continue;
    const char* stored = arena_.data() + e.name_off;
    if (folded ? std::memcmp(stored, name.data(), name.size()) == 0
               : equal_folded(stored, name.data(), name.size())) {
      return slot - 1u;
    }
  }
}

size_t HeaderMap::slot_of(uint32_t entry) const noexcept {
  const size_t mask = index_.size() - 1;
  size_t s = entries_[entry].hash & mask;
  while (index_[s] != entry + 1u)
    s = (s + 1) & mask;
  return s;
}

void HeaderMap::reserve_bytes(size_t bytes) {
  reserve_more(arena_, bytes, kInitialBytes);
}

void HeaderMap::reserve_extra() {
  if (extras_.size() >= kNone) throw std::bad_alloc();  // chain links are 32-bit
  reserve_more(extras_, 1, 8);
}

void HeaderMap::reserve(size_t names, size_t bytes) {
  const size_t total = std::min(entries_.size() + names, kMaxNames);
  size_t slots = index_.empty() ? kInitialSlots : index_.size();
  while (total > slots / 4 * 3 && slots < kMaxIndexSlots)
    slots *= 2;
  if (slots != index_.size()) grow_index(slots);
  reserve_more(entries_, total - entries_.size(), kInitialEntries);
  reserve_bytes(bytes);
}

void HeaderMap::reserve_entry(size_t bytes) {
  if (index_.empty()) {
    grow_index(kInitialSlots);
  } else if (entries_.size() + 1 > index_.size() / 4 * 3) {
    grow_index(index_.size() * 2);  // never past kMaxIndexSlots: callers check full() first
  }
  reserve_more(entries_, 1, kInitialEntries);
  reserve_bytes(bytes);
}

void HeaderMap::grow_index(size_t slots) {
  std::vector<uint16_t> fresh(slots, 0);
  index_.swap(fresh);
  for (uint32_t i = 0; i < entries_.size(); ++i)
    place_in_index(i);
}

void HeaderMap::place_in_index(uint32_t entry) noexcept {
  const size_t mask = index_.size() - 1;
  size_t s = entries_[entry].hash & mask;
  while (index_[s] != 0)
    s = (s + 1) & mask;
  index_[s] = uint16_t(entry + 1);
}

// Backward-shift deletion: every later slot of the probe run whose home is not cyclically in
// (hole, slot] moves into the hole, so lookups never meet a gap inside a run.
void HeaderMap::erase_slot(size_t hole) noexcept {
  const size_t mask = index_.size() - 1;
  for (size_t s = (hole + 1) & mask; index_[s] != 0; s = (s + 1) & mask) {
    const size_t home = entries_[index_[s] - 1u].hash & mask;
    if (((s - home) & mask) >= ((s - hole) & mask)) {
      index_[hole] = index_[s];
      hole = s;
    }
  }
  index_[hole] = 0;
}

size_t HeaderMap::store(std::string_view bytes) noexcept {
  const size_t off = arena_.size();
  arena_.append(bytes);
  return off;
}

size_t HeaderMap::store_folded(std::string_view name) noexcept {
  const size_t off = arena_.size();
  // Fold eight bytes at a time into a small buffer and append it whole: folding in place after
  // the append would read back bytes just written, which stalls.
  char folded[64];
  const char* p = name.data();
  size_t n = name.size();
  while (n > 0) {
    const size_t take = std::min(n, sizeof(folded));
    size_t i = 0;
    for (; i + 8 <= take; i += 8) {
      const uint64_t w = fold8(load8(p + i));
      std::memcpy(folded + i, &w, 8);
    }
    for (; i < take; ++i)
      folded[i] = ascii_lower(p[i]);
    arena_.append(folded, take);
    p += take;
    n -= take;
  }
  return off;
}

uint32_t HeaderMap::push_entry(size_t name_off, size_t name_len, uint32_t hash,
                               std::string_view value) noexcept {
  Entry e;
  e.name_off = name_off;
  e.value_off = store(value);
  e.value_len = value.size();
  e.name_len = uint32_t(name_len);
  e.hash = hash;
  e.first_extra = kNone;
  e.last_extra = kNone;
  entries_.push_back(e);
  return uint32_t(entries_.size() - 1);
}

void HeaderMap::add_entry(std::string_view name, uint32_t hash, std::string_view value) noexcept {
  place_in_index(push_entry(store_folded(name), name.size(), hash, value));
}

void HeaderMap::insert_entry(std::string_view name, uint32_t hash, std::string_view value) {
  reserve_entry(name.size() + value.size());  // may throw: nothing has changed yet
  add_entry(name, hash, value);
}

bool HeaderMap::append(std::string_view name, std::string_view value) {
  if (full()) return false;
  const uint32_t hash = hash_name(name);
  const uint32_t i = find_hashed(name, hash, false);
  if (i == kNone) {
    insert_entry(name, hash, value);
  } else {
    chain_value(i, value);
  }
  ++value_count_;
  return true;
}

uint32_t HeaderMap::hash_of(std::string_view name) noexcept {
  return hash_name(name);
}

size_t HeaderMap::lower_slot(std::string_view lower_name, uint32_t hash) const noexcept {
  const size_t mask = index_.size() - 1;
  for (size_t s = hash & mask;; s = (s + 1) & mask) {
    const uint16_t slot = index_[s];
    if (slot == 0) return s;
    const Entry& e = entries_[slot - 1u];
    if (e.hash == hash && e.name_len == lower_name.size() &&
        std::memcmp(arena_.data() + e.name_off, lower_name.data(), lower_name.size()) == 0)
      return s;
  }
}

void HeaderMap::chain_value(uint32_t entry, std::string_view value) {
  if (extras_.size() == extras_.capacity() || extras_.size() >= kNone) reserve_extra();
  if (arena_.capacity() - arena_.size() < value.size()) reserve_bytes(value.size());
  const auto x = uint32_t(extras_.size());
  extras_.push_back(Extra{store(value), value.size(), kNone});
  Entry& e = entries_[entry];
  if (e.last_extra == kNone) {
    e.first_extra = x;
  } else {
    extras_[e.last_extra].next = x;
  }
  e.last_extra = x;
}

bool HeaderMap::append_hashed(std::string_view lower_name, uint32_t hash, std::string_view value) {
  if (full()) return false;
  // One probe finds either the name's entry or the empty slot its new entry takes.
  size_t slot = index_.empty() ? 0 : lower_slot(lower_name, hash);
  if (!index_.empty() && index_[slot] != 0) {
    chain_value(index_[slot] - 1u, value);
  } else {
    // Usually the room is there already: asking reserve_entry costs two calls per field.
    const size_t bytes = lower_name.size() + value.size();
    if (entries_.size() + 1 > index_.size() / 4 * 3 || entries_.size() == entries_.capacity() ||
        arena_.capacity() - arena_.size() < bytes) {
      const size_t slots = index_.size();
      reserve_entry(bytes);  // may throw: nothing has changed yet
      if (index_.size() != slots) slot = lower_slot(lower_name, hash);  // the index was rebuilt
    }
    // The entry written here rather than through push_entry: this is the decoder's path for
    // every new name, and the call (with its two arena appends behind it) showed in profiles.
    const size_t name_off = arena_.size();
    arena_.append(lower_name.data(), lower_name.size());
    arena_.append(value.data(), value.size());
    entries_.push_back(Entry{name_off, name_off + lower_name.size(), value.size(),
                             uint32_t(lower_name.size()), hash, kNone, kNone});
    index_[slot] = uint16_t(entries_.size());
  }
  ++value_count_;
  return true;
}

bool HeaderMap::replace(std::string_view name, std::string_view value) {
  if (full()) return false;
  const uint32_t hash = hash_name(name);
  const uint32_t i = find_hashed(name, hash, false);
  if (i == kNone) {
    insert_entry(name, hash, value);
    ++value_count_;
    return true;
  }
  reserve_bytes(value.size());
  Entry& e = entries_[i];
  dead_bytes_ += e.value_len;
  value_count_ -= drop_chain(e);
  e.value_off = store(value);
  e.value_len = value.size();
  maybe_compact();
  return true;
}

size_t HeaderMap::drop_chain(Entry& e) noexcept {
  size_t dropped = 0;
  for (uint32_t x = e.first_extra; x != kNone; x = extras_[x].next) {
    dead_bytes_ += extras_[x].value_len;
    ++dead_extras_;
    ++dropped;
  }
  e.first_extra = kNone;
  e.last_extra = kNone;
  return dropped;
}

bool HeaderMap::remove(std::string_view name) noexcept {
  const uint32_t i = find(name);
  if (i == kNone) return false;
  Entry& e = entries_[i];
  dead_bytes_ += e.name_len + e.value_len;
  value_count_ -= 1 + drop_chain(e);
  erase_slot(slot_of(i));
  const auto last = uint32_t(entries_.size() - 1);
  if (i != last) {
    index_[slot_of(last)] = uint16_t(i + 1);
    entries_[i] = entries_[last];
  }
  entries_.pop_back();
  if (entries_.empty()) {
    clear();
  } else {
    maybe_compact();
  }
  return true;
}

std::optional<std::string_view> HeaderMap::first(std::string_view name) const noexcept {
  const uint32_t i = find(name);
  if (i == kNone) return std::nullopt;
  return value_at(entries_[i].value_off, entries_[i].value_len);
}

void HeaderMap::clear() noexcept {
  arena_.clear();
  entries_.clear();
  extras_.clear();
  std::fill(index_.begin(), index_.end(), uint16_t(0));
  value_count_ = 0;
  dead_bytes_ = 0;
  dead_extras_ = 0;
}

// Rewrites the live names, values and chains into fresh storage in iteration order. Skipped
// when the fresh storage cannot be had: the garbage is harmless, only wasteful.
void HeaderMap::maybe_compact() noexcept {
  const bool bytes_heavy = dead_bytes_ >= kCompactBytes && dead_bytes_ * 2 > arena_.size();
  const bool extras_heavy = dead_extras_ >= kCompactExtras && dead_extras_ * 2 > extras_.size();
  if (!bytes_heavy && !extras_heavy) return;
  std::string arena;
  std::vector<Extra> extras;
  try {
    arena.reserve(arena_.size() - dead_bytes_);
    extras.reserve(extras_.size() - dead_extras_);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (Entry& e : entries_) {
    const uint32_t chain = e.first_extra;
    const size_t name_off = arena.size();
    arena.append(name_of(e));
    const size_t value_off = arena.size();
    arena.append(value_at(e.value_off, e.value_len));
    e.name_off = name_off;
    e.value_off = value_off;
    uint32_t previous = kNone;
    for (uint32_t x = chain; x != kNone; x = extras_[x].next) {
      const auto moved = uint32_t(extras.size());
      extras.push_back(Extra{arena.size(), extras_[x].value_len, kNone});
      arena.append(value_at(extras_[x].value_off, extras_[x].value_len));
      if (previous == kNone) {
        e.first_extra = moved;
      } else {
        extras[previous].next = moved;
      }
      previous = moved;
    }
    e.last_extra = previous;
  }
  arena_.swap(arena);
  extras_.swap(extras);
  dead_bytes_ = 0;
  dead_extras_ = 0;
}

bool HeaderMap::operator==(const HeaderMap& other) const noexcept {
  if (this == &other) return true;
  if (value_count_ != other.value_count_ || entries_.size() != other.entries_.size()) return false;
  for (const Entry& e : entries_) {
    // both maps hash with the same process seed, so the stored hash is valid for `other`
    const uint32_t j = other.find_hashed(name_of(e), e.hash, true);
    if (j == kNone) return false;
    const Entry& f = other.entries_[j];
    if (value_at(e.value_off, e.value_len) != other.value_at(f.value_off, f.value_len)) {
      return false;
    }
    uint32_t x = e.first_extra;
    uint32_t y = f.first_extra;
    for (; x != kNone && y != kNone; x = extras_[x].next, y = other.extras_[y].next) {
      if (value_at(extras_[x].value_off, extras_[x].value_len) !=
          other.value_at(other.extras_[y].value_off, other.extras_[y].value_len)) {
        return false;
      }
    }
    if (x != kNone || y != kNone) return false;
  }
  return true;
}

}  // namespace quillet
