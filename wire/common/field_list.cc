#include "wire/common/field_list.h"

#include "wire/common/text.h"

#include <cstring>
#include <new>

namespace quillet {
namespace {

// Byte comparisons a list may spend on names whose filter bit was already set, before it stops
// looking and calls itself not distinct: a head of thousands of look-alike names must not cost
// a quadratic walk.
constexpr size_t kCompareBudget = 4096;

// The first n <= 8 bytes at p as a word, with fixed-size loads only (a memcpy of a variable size
// is a library call): overlapping loads read some bytes twice.
uint64_t load_up_to_8(const char* p, size_t n) {
  if (n >= 4) {
    uint32_t head;
    uint32_t tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    return uint64_t(head) | (uint64_t(tail) << 32);
  }
  return uint64_t(uint8_t(p[0])) | (uint64_t(uint8_t(p[n / 2])) << 8) |
         (uint64_t(uint8_t(p[n - 1])) << 16);
}

// Eight bits from the length and the first and last bytes of a folded name (1 byte or more):
// names of one head that share all of those are rare.
unsigned filter_bit(const char* p, size_t n) {
  const size_t k = n < 8 ? n : 8;
  uint64_t h = load_up_to_8(p, k) * 0x9e3779b97f4a7c15ull;
  h ^= load_up_to_8(p + n - k, k) * 0xc2b2ae3d27d4eb4full;
  h ^= n;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  return unsigned(h >> 56);
}

}  // namespace

void FieldList::reserve(size_t fields, size_t bytes) {
  if (fields > fields_.max_size() - fields_.size() || bytes > bytes_.max_size() - bytes_.size()) {
    throw std::bad_alloc();
  }
  fields_.reserve(fields_.size() + fields);
  bytes_.reserve(bytes_.size() + bytes);
}

void FieldList::add(std::string_view name, std::string_view value) {
  if (fields_.size() == fields_.capacity()) reserve(fields_.size() < 8 ? 8 : fields_.size(), 0);
  const size_t name_off = bytes_.size();
  bytes_.append(name);  // may throw: nothing else has changed yet
  try {
    bytes_.append(value);
  } catch (...) {
    bytes_.resize(name_off);
    throw;
  }
  char* stored = bytes_.data() + name_off;
  for (size_t i = 0; i < name.size(); ++i)
    stored[i] = ascii_lower(stored[i]);
  if (distinct_ && seen_before(name_off, name.size())) distinct_ = false;
  fields_.push_back(Field{name_off, name.size(), name_off + name.size(), value.size()});
}

bool FieldList::seen_before(size_t off, size_t len) noexcept {
  const unsigned bit = filter_bit(bytes_.data() + off, len);
  uint64_t& word = filter_[bit / 64];
  const uint64_t mask = uint64_t(1) << (bit % 64);
  if ((word & mask) == 0) {
    word |= mask;
    return false;
  }
  for (const Field& x : fields_) {
    if (x.name_len != len) continue;
    if (compare_budget_ + len > kCompareBudget) return true;  // stop looking: call it a repeat
    compare_budget_ += len;
    if (std::memcmp(bytes_.data() + x.name_off, bytes_.data() + off, len) == 0) return true;
  }
  return false;
}

void FieldList::clear() noexcept {
  bytes_.clear();
  fields_.clear();
  filter_ = {};
  compare_budget_ = 0;
  distinct_ = true;
}

bool FieldList::fill(HeaderMap* map) const {
  map->reserve(fields_.size(), bytes_.size());
  for (const Field& x : fields_) {
    if (!map->append(std::string_view(bytes_.data() + x.name_off, x.name_len),
                     std::string_view(bytes_.data() + x.value_off, x.value_len))) {
      return false;
    }
  }
  return true;
}

}  // namespace quillet
