#include "wire/h2/hpack/dynamic_table.h"

#include <cstring>
#include <new>

namespace quillet::h2::hpack {
namespace {

constexpr size_t kInitialRing = 16;
constexpr size_t kInitialBytes = 256;

}  // namespace

bool DynamicTable::views_bytes(std::string_view text) const noexcept {
  // Compared as addresses: `text` may point anywhere.
  const auto p = reinterpret_cast<uintptr_t>(text.data());
  const auto b = reinterpret_cast<uintptr_t>(bytes_.get());
  return !text.empty() && bytes_ && p >= b && p < b + capacity_;
}

void DynamicTable::reserve(size_t octets) {
  if (count_ == ring_.size()) {
    std::vector<Entry> grown(ring_.empty() ? kInitialRing : ring_.size() * 2);
    for (size_t i = 0; i < count_; ++i)
      grown[i] = ring_[(oldest_ + i) & (ring_.size() - 1)];
    ring_ = std::move(grown);
    oldest_ = 0;
  }
  // Live octets now and the new ones, with an eighth of the buffer to spare, so that moving
  // the live octets back to the start is never done for just a few octets of room.
  const uint64_t live = end_ - start_;
  const auto enough = [&](uint64_t capacity) { return live + octets + capacity / 8 <= capacity; };
  if (enough(capacity_)) return;
  uint64_t capacity = capacity_ ? uint64_t(capacity_) * 2 : kInitialBytes;
  while (!enough(capacity))
    capacity *= 2;
  if (capacity > SIZE_MAX) throw std::bad_alloc();
  std::unique_ptr<char[]> grown(new char[size_t(capacity)]);
  if (live != 0) std::memcpy(grown.get(), bytes_.get() + start_, size_t(live));
  for (size_t i = 0; i < count_; ++i)
    ring_[(oldest_ + i) & (ring_.size() - 1)].offset -= start_;
  bytes_ = std::move(grown);
  capacity_ = size_t(capacity);
  end_ -= start_;
  start_ = 0;
}

void DynamicTable::push(std::string_view name, std::string_view value, EntryNote note) noexcept {
  const size_t octets = name.size() + value.size();
  if (capacity_ - end_ < octets) {
    // reserve() left room for these octets after the live ones once they are at the start.
    std::memmove(bytes_.get(), bytes_.get() + start_, end_ - start_);
    for (size_t i = 0; i < count_; ++i)
      ring_[(oldest_ + i) & (ring_.size() - 1)].offset -= start_;
    end_ -= start_;
    start_ = 0;
  }
  Entry& e = ring_[(oldest_ + count_) & (ring_.size() - 1)];
  e.offset = end_;
  e.name_len = uint32_t(name.size());
  e.value_len = uint32_t(value.size());
  e.note = note;
  if (!name.empty()) std::memcpy(bytes_.get() + end_, name.data(), name.size());
  if (!value.empty()) std::memcpy(bytes_.get() + end_ + name.size(), value.data(), value.size());
  end_ += octets;
  ++count_;
  ++next_number_;
  size_ += uint32_t(octets + kEntryOverhead);
}

void DynamicTable::pop_oldest() noexcept {
  const Entry& e = ring_[oldest_];
  const size_t octets = size_t(e.name_len) + e.value_len;
  size_ -= uint32_t(octets + kEntryOverhead);
  start_ += octets;
  oldest_ = (oldest_ + 1) & (ring_.size() - 1);
  if (--count_ == 0) start_ = end_ = 0;
}

}  // namespace quillet::h2::hpack
