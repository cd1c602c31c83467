#include "wire/common/field_list.h"

#include "wire/common/text.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace quillet {
namespace {

// Byte comparisons a list may spend on names whose filter bit was already set, before it stops
// looking and calls itself not distinct: a head of thousands of look-alike names must not cost
// a quadratic walk.
constexpr size_t kCompareBudget = 4096;

// Eight bits from the length and the first, middle and last bytes of a folded name: names of
// one head that share all of those are rare, and an exact comparison settles the rest.
unsigned filter_bit(char first, char middle, char last, size_t n) {
  uint32_t h = uint32_t(n) * 0x9e37u;
  h += uint32_t(uint8_t(first)) * 0x85ebu + uint32_t(uint8_t(middle)) * 0x27d5u;
  h += uint32_t(uint8_t(last)) * 0xc2b3u;
  return (h ^ (h >> 8)) & 0xff;
}

// Copies `name` to `out` folded to lower case, eight bytes at a time: a byte from 'A' to 'Z' gets
// 0x20 added. Every byte of a name is a token byte, below 0x80, so no carry crosses a byte. The
// last word of a name of eight bytes or more overlaps the one before it rather than being read
// in part (a partial word put together in memory and read back whole stalls the load).
uint64_t fold_word(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  const uint64_t upper =
      ((x + (0x80 - 'A') * kOnes) ^ (x + (0x80 - 'Z' - 1) * kOnes)) & (0x80 * kOnes) & ~x;
  return x | (upper >> 2);
}

void copy_folded(const char* name, size_t n, char* out) {
  if (n < 8) {
    for (size_t i = 0; i < n; ++i)
      out[i] = ascii_lower(name[i]);
    return;
  }
  uint64_t x;
  for (size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&x, name + i, 8);
    x = fold_word(x);
    std::memcpy(out + i, &x, 8);
  }
  std::memcpy(&x, name + n - 8, 8);
  x = fold_word(x);
  std::memcpy(out + n - 8, &x, 8);
}

// Whether `stored` (folded) is `query` (any case), both `n` bytes long: a word at a time, the
// last word overlapping the one before it as in copy_folded. A query byte at or above 0x80 may
// carry into the fold of the byte after it, but keeps its own top bit, so it never equals a
// stored (token) byte: the answer is right for any query.
bool equal_folded(const char* stored, const char* query, size_t n) {
  if (n < 8) {
    for (size_t i = 0; i < n; ++i) {
      if (stored[i] != ascii_lower(query[i])) return false;
    }
    return true;
  }
  uint64_t a;
  uint64_t b;
  for (size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&a, stored + i, 8);
    std::memcpy(&b, query + i, 8);
    if (a != fold_word(b)) return false;
  }
  std::memcpy(&a, stored + n - 8, 8);
  std::memcpy(&b, query + n - 8, 8);
  return a == fold_word(b);
}

}  // namespace

FieldList::FieldList(FieldList&& other) noexcept
    : storage_(std::move(other.storage_)),
      count_(std::exchange(other.count_, 0)),
      field_capacity_(std::exchange(other.field_capacity_, 0)),
      used_(std::exchange(other.used_, 0)),
      byte_capacity_(std::exchange(other.byte_capacity_, 0)),
      filter_(std::exchange(other.filter_, {})),
      compare_budget_(std::exchange(other.compare_budget_, 0)),
      distinct_(std::exchange(other.distinct_, true)) {}

FieldList& FieldList::operator=(FieldList&& other) noexcept {
  if (this != &other) {
    FieldList taken(std::move(other));
    std::swap(storage_, taken.storage_);
    std::swap(count_, taken.count_);
    std::swap(field_capacity_, taken.field_capacity_);
    std::swap(used_, taken.used_);
    std::swap(byte_capacity_, taken.byte_capacity_);
    std::swap(filter_, taken.filter_);
    std::swap(compare_budget_, taken.compare_budget_);
    std::swap(distinct_, taken.distinct_);
  }
  return *this;
}

void FieldList::reserve(size_t fields, size_t more_bytes) {
  // Offsets and lengths are kept in 32 bits.
  constexpr size_t kMaxBytes = UINT32_MAX;
  constexpr size_t kMaxFields = (SIZE_MAX / 2) / sizeof(Field);
  if (fields > kMaxFields - count_ || more_bytes > kMaxBytes - used_) throw std::bad_alloc();
  const size_t need_fields = count_ + fields;
  const size_t need_bytes = used_ + more_bytes;
  if (need_fields <= field_capacity_ && need_bytes <= byte_capacity_) return;
  const size_t field_capacity =
      need_fields <= field_capacity_ ? field_capacity_ : std::max(need_fields, 2 * field_capacity_);
  const size_t byte_capacity =
      need_bytes <= byte_capacity_
          ? byte_capacity_
          : std::min(kMaxBytes, std::max(need_bytes, 2 * byte_capacity_));
  if (byte_capacity > SIZE_MAX / 2 - field_capacity * sizeof(Field)) throw std::bad_alloc();
  std::unique_ptr<char[]> grown(new char[field_capacity * sizeof(Field) + byte_capacity]);
  if (count_ != 0) std::memcpy(grown.get(), storage_.get(), count_ * sizeof(Field));
  if (used_ != 0) std::memcpy(grown.get() + field_capacity * sizeof(Field), bytes(), used_);
  storage_ = std::move(grown);
  field_capacity_ = field_capacity;
  byte_capacity_ = byte_capacity;
}

void FieldList::add(std::string_view name, std::string_view value) {
  if (count_ == field_capacity_) reserve(count_ < 8 ? 8 : count_, 0);
  const size_t size = name.size() + value.size();
  if (byte_capacity_ - used_ < size) reserve(0, size < 256 ? 256 : size);  // may throw
  const size_t name_off = used_;
  char* out = bytes() + name_off;
  copy_folded(name.data(), name.size(), out);
  if (!value.empty()) std::memcpy(out + name.size(), value.data(), value.size());
  used_ += size;
  // The filter bit from the name as given, folded in registers: reading back the bytes just
  // stored would wait for the stores.
  const size_t n = name.size();
  const unsigned bit =
      filter_bit(ascii_lower(name[0]), ascii_lower(name[n / 2]), ascii_lower(name[n - 1]), n);
  if (distinct_ && seen_before(bit, name_off, n)) distinct_ = false;
  fields()[count_] = Field{uint32_t(name_off), uint32_t(n), uint32_t(value.size())};
  ++count_;
}

bool FieldList::seen_before(unsigned bit, size_t off, size_t len) noexcept {
  uint64_t& word = filter_[bit / 64];
  const uint64_t mask = uint64_t(1) << (bit % 64);
  if ((word & mask) == 0) {
    word |= mask;
    return false;
  }
  return compare_earlier(off, len);
}

bool FieldList::compare_earlier(size_t off, size_t len) noexcept {
  const Field* x = fields();
  for (size_t k = 0; k < count_; ++k) {
    if (x[k].name_len != len) continue;
    if (compare_budget_ + len > kCompareBudget) return true;  // stop looking: call it a repeat
    compare_budget_ += len;
    if (std::memcmp(at(x[k].off), at(off), len) == 0) return true;
  }
  return false;
}

void FieldList::clear() noexcept {
  used_ = 0;
  count_ = 0;
  filter_ = {};
  compare_budget_ = 0;
  distinct_ = true;
}

std::optional<std::string_view> FieldList::first(std::string_view name) const noexcept {
  const Field* x = fields();
  const size_t n = name.size();
  for (size_t k = 0; k < count_; ++k) {
    if (x[k].name_len != n) continue;
    const char* stored = at(x[k].off);
    if (equal_folded(stored, name.data(), n)) return std::string_view(stored + n, x[k].value_len);
  }
  return std::nullopt;
}

bool FieldList::fill(HeaderMap* map) const {
  map->reserve(count_, used_);
  bool ok = true;
  for_each([&](std::string_view name, std::string_view value) {
    if (ok) ok = map->append(name, value);
  });
  return ok;
}

}  // namespace quillet
