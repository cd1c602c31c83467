#include "wire/h2/hpack/header_list.h"

#include "wire/h2/connection_fields.h"
#include "wire/h2/hpack/dynamic_table.h"

#include <algorithm>
#include <utility>

namespace quillet::h2::hpack {

std::optional<PseudoHeader> pseudo_header_from_name(std::string_view name) noexcept {
  for (size_t i = 0; i < kPseudoHeaderCount; ++i)
    if (kPseudoHeaderNames[i] == name) return PseudoHeader(i);
  return std::nullopt;
}

bool HeaderAccumulator::count(uint64_t size, uint32_t max_list_size) noexcept {
  list_size_ += size;
  const uint64_t abuse_limit = std::min<uint64_t>(uint64_t(max_list_size) * 4, UINT32_MAX);
  if (list_size_ > abuse_limit) abuse_ = true;
  return !abuse_;
}

void HeaderAccumulator::add_pseudo(PseudoHeader h, std::string_view value, uint32_t max_list_size) {
  std::optional<std::string>& slot = pseudo_[h];
  if (regular_seen_ || slot) {
    malformed_ = true;
    return;
  }
  if (!count(entry_size(pseudo_header_name(h), value), max_list_size)) return;
  if (list_size_ >= max_list_size) {
    over_size_ = true;
  } else if (std::string* memory = kept(h)) {
    memory->assign(value);  // may throw: the slot stays empty
    slot.emplace(std::move(*memory));
  } else {
    slot.emplace(value);
  }
}

void HeaderAccumulator::add_regular(std::string_view name, uint32_t name_hash,
                                    std::string_view value, uint32_t max_list_size) {
  if (is_connection_specific(name, value)) {
    malformed_ = true;
    return;
  }
  regular_seen_ = true;
  if (!count(entry_size(name, value), max_list_size)) return;
  if (list_size_ < max_list_size && !over_size_) {
    if (!fields_.append_hashed(name, name_hash, value)) over_size_ = true;  // the map is full
  } else {
    over_size_ = true;
  }
}

void HeaderAccumulator::clear() noexcept {
  for (size_t i = 0; i < kPseudoHeaderCount; ++i) {
    std::optional<std::string>& v = pseudo_.values[i];
    std::string* memory = kept(PseudoHeader(i));
    if (v && memory && v->capacity() <= kKeptPseudoCapacity) *memory = std::move(*v);
    v.reset();
  }
  fields_.clear();
  list_size_ = 0;
  regular_seen_ = false;
  malformed_ = false;
  over_size_ = false;
  abuse_ = false;
  representation_seen_ = false;
}

}  // namespace quillet::h2::hpack
