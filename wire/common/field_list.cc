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

}  // namespace

FieldList::FieldList(FieldList&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      used_(std::exchange(other.used_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      fields_(std::move(other.fields_)),
      filter_(other.filter_),
      compare_budget_(other.compare_budget_),
      distinct_(other.distinct_) {
  other.fields_.clear();
  other.filter_ = {};
  other.compare_budget_ = 0;
  other.distinct_ = true;
}

FieldList& FieldList::operator=(FieldList&& other) noexcept {
  if (this != &other) {
    FieldList taken(std::move(other));
    std::swap(bytes_, taken.bytes_);
    std::swap(used_, taken.used_);
    std::swap(capacity_, taken.capacity_);
    fields_.swap(taken.fields_);
    std::swap(filter_, taken.filter_);
    std::swap(compare_budget_, taken.compare_budget_);
    std::swap(distinct_, taken.distinct_);
  }
  return *this;
}

void FieldList::reserve(size_t fields, size_t bytes) {
  if (fields > fields_.max_size() - fields_.size() || bytes > SIZE_MAX / 2 - used_) {
    throw std::bad_alloc();
  }
  fields_.reserve(fields_.size() + fields);
  if (used_ + bytes <= capacity_) return;
  const size_t capacity = std::max(used_ + bytes, capacity_ * 2);
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (used_ != 0) std::memcpy(grown.get(), bytes_.get(), used_);
  bytes_ = std::move(grown);
  capacity_ = capacity;
}

void FieldList::add(std::string_view name, std::string_view value) {
  if (fields_.size() == fields_.capacity()) reserve(fields_.size() < 8 ? 8 : fields_.size(), 0);
  const size_t size = name.size() + value.size();
  if (capacity_ - used_ < size) reserve(0, size < 256 ? 256 : size);  // may throw: nothing changed
  const size_t name_off = used_;
  char* out = bytes_.get() + name_off;
  for (size_t i = 0; i < name.size(); ++i)
    out[i] = ascii_lower(name[i]);
  if (!value.empty()) std::memcpy(out + name.size(), value.data(), value.size());
  used_ += size;
  // The filter bit from the name as given, folded in registers: reading back the bytes just
  // stored would wait for the stores.
  const size_t n = name.size();
  const unsigned bit =
      filter_bit(ascii_lower(name[0]), ascii_lower(name[n / 2]), ascii_lower(name[n - 1]), n);
  if (distinct_ && seen_before(bit, name_off, n)) distinct_ = false;
  fields_.push_back(Field{name_off, n, name_off + n, value.size()});
}

bool FieldList::seen_before(unsigned bit, size_t off, size_t len) noexcept {
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
    if (std::memcmp(at(x.name_off), at(off), len) == 0) return true;
  }
  return false;
}

void FieldList::clear() noexcept {
  used_ = 0;
  fields_.clear();
  filter_ = {};
  compare_budget_ = 0;
  distinct_ = true;
}

bool FieldList::fill(HeaderMap* map) const {
  map->reserve(fields_.size(), used_);
  for (const Field& x : fields_) {
    if (!map->append(std::string_view(at(x.name_off), x.name_len),
                     std::string_view(at(x.value_off), x.value_len))) {
      return false;
    }
  }
  return true;
}

}  // namespace quillet
