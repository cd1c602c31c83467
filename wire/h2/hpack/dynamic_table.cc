#include "wire/h2/hpack/dynamic_table.h"

#include <utility>

namespace quillet::h2::hpack {
namespace {

constexpr size_t kInitialRing = 16;

}  // namespace

void DynamicTable::reserve_one() {
  if (count_ < ring_.size()) return;
  std::vector<Entry> grown(ring_.empty() ? kInitialRing : ring_.size() * 2);
  for (size_t i = 0; i < count_; ++i)
    grown[i] = std::move(ring_[(oldest_ + i) & (ring_.size() - 1)]);
  ring_ = std::move(grown);
  oldest_ = 0;
}

void DynamicTable::push(std::string&& bytes, uint32_t name_len, uint32_t size,
                        EntryNote note) noexcept {
  Entry& e = ring_[(oldest_ + count_) & (ring_.size() - 1)];
  e.bytes = std::move(bytes);
  e.name_len = name_len;
  e.note = note;
  ++count_;
  ++next_number_;
  size_ += size;
}

void DynamicTable::pop_oldest() noexcept {
  Entry& e = ring_[oldest_];
  size_ -= uint32_t(entry_size(std::string_view(e.bytes.data(), e.name_len),
                               std::string_view(e.bytes).substr(e.name_len)));
  // Free the bytes rather than keep them for reuse: a slot's old capacity would otherwise stay
  // allocated for as long as the ring lives.
  std::string().swap(e.bytes);
  oldest_ = (oldest_ + 1) & (ring_.size() - 1);
  --count_;
}

}  // namespace quillet::h2::hpack
