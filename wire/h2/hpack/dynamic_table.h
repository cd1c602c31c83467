// The dynamic table of one HPACK context (RFC 7541 section 2.3.2 and 4): a FIFO of (name,
// value) entries, newest first, whose size (name + value + 32 octets per entry) never exceeds
// its maximum. Each connection has two, one in its decoder and one in its encoder.
//
// Entries are numbered in insertion order; a number is never reused, so the encoder's hash
// index can name an entry while newer ones push it to higher HPACK indexes. Insertions and
// maximum changes take an eviction hook, called with each evicted entry's number, name and note
// before it goes, so that such an index can follow.
//
// Storage: the entries' octets lie end to end, oldest first, in one buffer (an insertion
// appends, an eviction only moves the start on), so inserting costs no allocation of its own.
// When the end of the buffer is reached the live octets are moved back to its start; the
// buffer doubles only when that would leave less than an eighth of it free, so each octet is
// moved a bounded number of times on average, and the buffer stays within about twice the
// largest live contents. A table emptied by a change of its maximum lets the buffer go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::h2::hpack {

// The first dynamic index: 1 to 61 are the static table's.
inline constexpr uint32_t kFirstDynamicIndex = 62;
// The size every connection's tables start with (RFC 9113 section 6.5.2).
inline constexpr uint32_t kDefaultTableSize = 4096;
inline constexpr uint64_t kEntryOverhead = 32;

constexpr uint64_t entry_size(std::string_view name, std::string_view value) {
  return uint64_t(name.size()) + value.size() + kEntryOverhead;
}

// What the table's owner notes about an entry as it inserts it, kept with the entry: both
// record the name's HeaderMap::hash_of, which the encoder's index is keyed by and the decoder's
// header map takes; the decoder also records how the field passed the field rules, so that a
// field the peer refers to again is neither checked nor hashed again.
struct EntryNote {
  uint32_t name_hash = 0;
  uint8_t kind = 0;
};

struct NoEvictionHook {
  void operator()(uint64_t, std::string_view, EntryNote) const noexcept {}
};

// Allocation failure throws std::bad_alloc and leaves the table as it was.
class DynamicTable {
 public:
  explicit DynamicTable(uint32_t max_size = kDefaultTableSize) noexcept : max_size_(max_size) {}

  uint32_t max_size() const noexcept { return max_size_; }
  uint32_t size() const noexcept { return size_; }
  size_t count() const noexcept { return count_; }

  // Entry i, 0 being the newest (HPACK index kFirstDynamicIndex + i); i < count().
  std::string_view name(size_t i) const noexcept {
    const Entry& e = at(i);
    return std::string_view(bytes_.get() + e.offset, e.name_len);
  }
  std::string_view value(size_t i) const noexcept {
    const Entry& e = at(i);
    return std::string_view(bytes_.get() + e.offset + e.name_len, e.value_len);
  }
  EntryNote note(size_t i) const noexcept { return at(i).note; }

  // The number of entry i, and the position of a live entry's number.
  uint64_t number(size_t i) const noexcept { return next_number_ - 1 - i; }
  size_t position(uint64_t number) const noexcept { return size_t(next_number_ - 1 - number); }

  // Adds (name, value) as the newest entry, evicting the oldest entries until it fits. An entry
  // larger than the maximum empties the table and is not added (false). `name` and `value` may
  // view an entry of this table.
  template <class OnEvict = NoEvictionHook>
  bool insert(std::string_view name, std::string_view value, OnEvict&& on_evict = {},
              EntryNote note = {});

  // Sets the maximum and evicts the oldest entries until the size fits it.
  template <class OnEvict = NoEvictionHook>
  void set_max_size(uint32_t max_size, OnEvict&& on_evict = {});

 private:
  struct Entry {
    size_t offset = 0;  // in bytes_: the name, then the value
    uint32_t name_len = 0;
    uint32_t value_len = 0;
    EntryNote note;
  };

  const Entry& at(size_t i) const noexcept {
    return ring_[(oldest_ + count_ - 1 - i) & (ring_.size() - 1)];
  }
  bool views_bytes(std::string_view text) const noexcept;
  // Makes room in the ring for one more entry, and in the buffer for `octets` more live octets
  // after any eviction (may throw; the entries stay as they were).
  void reserve(size_t octets);
  // Appends an entry's octets after the live ones, first moving those back to the start of the
  // buffer when the end is reached; after reserve() and the evictions.
  void push(std::string_view name, std::string_view value, EntryNote note) noexcept;
  // Drops the oldest entry.
  void pop_oldest() noexcept;

  template <class OnEvict>
  void evict_until(uint64_t limit, OnEvict& on_evict) {
    while (size_ > limit) {
      const Entry& oldest = ring_[oldest_];
      on_evict(next_number_ - count_,
               std::string_view(bytes_.get() + oldest.offset, oldest.name_len), oldest.note);
      pop_oldest();
    }
  }

  std::vector<Entry> ring_;  // a power of two in size, or empty
  size_t oldest_ = 0;
  size_t count_ = 0;
  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;  // of bytes_
  size_t start_ = 0;     // of the oldest entry's octets
  size_t end_ = 0;       // past the newest entry's octets
  uint32_t size_ = 0;
  uint32_t max_size_;
  uint64_t next_number_ = 0;
};

template <class OnEvict>
bool DynamicTable::insert(std::string_view name, std::string_view value, OnEvict&& on_evict,
                          EntryNote note) {
  const uint64_t size = entry_size(name, value);
  if (size > max_size_) {
    evict_until(0, on_evict);
    return false;
  }
  // A name or value that views the table (the decoder's name taken from an entry for a new
  // value) is copied first: its entry may be evicted, and the buffer may move or be replaced.
  std::string copied_name;
  std::string copied_value;
  if (views_bytes(name)) name = copied_name.assign(name);
  if (views_bytes(value)) value = copied_value.assign(value);
  reserve(name.size() + value.size());
  evict_until(max_size_ - size, on_evict);
  push(name, value, note);
  return true;
}

template <class OnEvict>
void DynamicTable::set_max_size(uint32_t max_size, OnEvict&& on_evict) {
  max_size_ = max_size;
  evict_until(max_size, on_evict);
  if (count_ == 0) {
    bytes_.reset();
    capacity_ = 0;
  }
}

}  // namespace quillet::h2::hpack
