// The HPACK decoder of one connection (RFC 7541 sections 3, 4.3 and 6): it turns the header
// block fragments of received HEADERS and CONTINUATION frames into a header list, keeping its
// dynamic table in step with the peer's encoder.
//
// The frame layer calls decode() once per fragment with the block's accumulator; whatever a
// representation cut short by the end of a fragment left over, it hands back at the front of
// the next one. A decode always runs to the end of its input unless a connection error or
// abuse stops it, so that the table stays in step even for a block that will be refused.
//
// Outcomes: kComplete; kMalformed (the block breaks a header-list rule: a stream error, the
// connection goes on); kAbuse (the list outgrew four times its budget: ENHANCE_YOUR_CALM);
// kFailed with a DecodeError (a connection error, except a need-more kind on a fragment that
// CONTINUATION frames will extend).
//
// Allocation failure throws std::bad_alloc; the table may then be out of step with the peer,
// so the connection must not decode again.
#pragma once

#include "wire/h2/hpack/dynamic_table.h"
#include "wire/h2/hpack/error.h"
#include "wire/h2/hpack/header_list.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::h2::hpack {

enum class DecodeStatus : uint8_t { kComplete, kMalformed, kAbuse, kFailed };

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kComplete;
  DecodeError error = DecodeError::kInvalidTableIndex;  // meaningful for kFailed only
  // The octets at the front of the fragment that whole representations took; on a need-more
  // failure the rest is the start of a representation to decode again with more bytes.
  size_t consumed = 0;
};

class Decoder {
 public:
  // Decodes one fragment of a block into *list, budgeted by `max_list_size`.
  DecodeResult decode(std::string_view fragment, uint32_t max_list_size, HeaderAccumulator* list);

  // Our SETTINGS_HEADER_TABLE_SIZE changed: from the next fragment on, the peer may set its
  // table up to `max_size`. Queued twice before a fragment, the larger value counts, because
  // the peer may act on either setting.
  void queue_max_table_size(uint32_t max_size) noexcept {
    queued_max_ = queued_max_ ? std::max(*queued_max_, max_size) : max_size;
  }

  const DynamicTable& table() const noexcept { return table_; }
  uint32_t allowed_max_table_size() const noexcept { return allowed_max_; }

 private:
  // The name, value and note of a field on the table (static or dynamic), or kInvalidTableIndex.
  std::optional<DecodeError> lookup(uint32_t index, std::string_view* name, std::string_view* value,
                                    EntryNote* note) const noexcept;
  // Reads a literal representation after its first octet's kind; inserts when `indexing`.
  std::optional<DecodeError> read_literal(std::string_view in, size_t* pos, unsigned prefix_bits,
                                          bool indexing, uint32_t max_list_size,
                                          HeaderAccumulator* list);

  DynamicTable table_;
  uint32_t allowed_max_ = kDefaultTableSize;
  std::optional<uint32_t> queued_max_;
  // Huffman-decoded names and values; kept to reuse their memory.
  std::string name_scratch_;
  std::string value_scratch_;
};

}  // namespace quillet::h2::hpack
