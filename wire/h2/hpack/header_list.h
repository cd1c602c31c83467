// A header list as HPACK hands it over: the pseudo-header fields, then the regular fields in a
// HeaderMap core. The decoder fills a HeaderAccumulator with the rules RFC 9113 section 8.2
// and 8.3 set on a received header block, and with the budget that protects the connection
// from an oversized list; the encoder takes PseudoHeaders and a HeaderMap.
//
// The regular fields go straight into the map core, so a decoded block makes no Python object
// until the frame layer's caller asks for one. One accumulator serves one header block and lives
// in the frame layer's pending block while CONTINUATION frames are awaited.
#pragma once

#include "wire/common/header_map.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::h2::hpack {

// In the order the encoder writes them.
enum class PseudoHeader : uint8_t { kMethod, kScheme, kAuthority, kPath, kProtocol, kStatus };
inline constexpr size_t kPseudoHeaderCount = size_t(PseudoHeader::kStatus) + 1;

// Indexed by PseudoHeader.
inline constexpr std::string_view kPseudoHeaderNames[] = {
    ":method", ":scheme", ":authority", ":path", ":protocol", ":status",
};
static_assert(std::size(kPseudoHeaderNames) == kPseudoHeaderCount, "one name per pseudo-header");

constexpr std::string_view pseudo_header_name(PseudoHeader h) {
  return kPseudoHeaderNames[size_t(h)];
}
// The pseudo-header `name` spells (with its colon), if any.
std::optional<PseudoHeader> pseudo_header_from_name(std::string_view name) noexcept;

struct PseudoHeaders {
  std::array<std::optional<std::string>, kPseudoHeaderCount> values;

  const std::optional<std::string>& operator[](PseudoHeader h) const { return values[size_t(h)]; }
  std::optional<std::string>& operator[](PseudoHeader h) { return values[size_t(h)]; }
  bool operator==(const PseudoHeaders&) const = default;
};

// The running header-list size is budgeted against `max_list_size` (SETTINGS_MAX_HEADER_LIST_
// SIZE, counted as RFC 9113 section 6.5.2 does: name + value + 32 per field, pseudo-header
// names with their colon). Fields past the budget are dropped and the list is over size, which
// the peer is told nothing about; a list that grows past four times the budget is abuse, and
// decoding stops.
class HeaderAccumulator {
 public:
  const PseudoHeaders& pseudo() const noexcept { return pseudo_; }
  const HeaderMap& fields() const noexcept { return fields_; }
  HeaderMap& fields() noexcept { return fields_; }
  uint64_t list_size() const noexcept { return list_size_; }
  bool malformed() const noexcept { return malformed_; }
  bool over_size() const noexcept { return over_size_; }
  bool abuse() const noexcept { return abuse_; }

  // A pseudo-header field. Malformed when a regular field came first or the same pseudo-header
  // is already set; the field is then dropped.
  void add_pseudo(PseudoHeader h, std::string_view value, uint32_t max_list_size);
  // A regular field (a valid, lower-case name with its HeaderMap::hash_of, and a valid value).
  // A connection-specific field, or te other than "trailers", makes the list malformed and is
  // dropped (RFC 9113 section 8.2.2).
  void add_regular(std::string_view name, uint32_t name_hash, std::string_view value,
                   uint32_t max_list_size);
  // A field the decoder found unfit for the list; it is dropped.
  void mark_malformed() noexcept { malformed_ = true; }
  // A field representation of this block was read: a table size update may no longer come. Kept
  // here, with the block, because one block reaches the decoder in several fragments.
  void mark_representation_seen() noexcept { representation_seen_ = true; }
  bool representation_seen() const noexcept { return representation_seen_; }

  // Ready for the next block, keeping the map's memory, and that of the :path and :authority
  // values up to kKeptPseudoCapacity octets each: those two rarely fit a string's own small
  // buffer, so every request would allocate for them.
  void clear() noexcept;
  static constexpr size_t kKeptPseudoCapacity = 256;

 private:
  // Adds a field's size; false (and abuse) past the abuse limit.
  bool count(uint64_t size, uint32_t max_list_size) noexcept;

  // Where clear() keeps a value's memory for the next block, or null.
  std::string* kept(PseudoHeader h) noexcept {
    return h == PseudoHeader::kPath        ? &kept_path_
           : h == PseudoHeader::kAuthority ? &kept_authority_
                                           : nullptr;
  }

  PseudoHeaders pseudo_;
  std::string kept_path_;
  std::string kept_authority_;
  HeaderMap fields_;
  uint64_t list_size_ = 0;
  bool regular_seen_ = false;
  bool malformed_ = false;
  bool over_size_ = false;
  bool abuse_ = false;
  bool representation_seen_ = false;
};

}  // namespace quillet::h2::hpack
