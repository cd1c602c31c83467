// The HPACK static table (RFC 7541 Appendix A): 61 fixed (name, value) pairs shared by every
// connection, indexes 1 to 61. The encoder looks names up here on every field it writes, so the
// lookup is a compile-time hash table rather than a scan.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillet::h2::hpack {

struct StaticEntry {
  std::string_view name;
  std::string_view value;
};

inline constexpr uint32_t kStaticTableSize = 61;

// Entry i + 1 of RFC 7541 Appendix A at position i.
inline constexpr std::array<StaticEntry, kStaticTableSize> kStaticTable = {{
    {":authority", ""},
    {":method", "GET"},
    {":method", "POST"},
    {":path", "/"},
    {":path", "/index.html"},
    {":scheme", "http"},
    {":scheme", "https"},
    {":status", "200"},
    {":status", "204"},
    {":status", "206"},
    {":status", "304"},
    {":status", "400"},
    {":status", "404"},
    {":status", "500"},
    {"accept-charset", ""},
    {"accept-encoding", "gzip, deflate"},
    {"accept-language", ""},
    {"accept-ranges", ""},
    {"accept", ""},
    {"access-control-allow-origin", ""},
    {"age", ""},
    {"allow", ""},
    {"authorization", ""},
    {"cache-control", ""},
    {"content-disposition", ""},
    {"content-encoding", ""},
    {"content-language", ""},
    {"content-length", ""},
    {"content-location", ""},
    {"content-range", ""},
    {"content-type", ""},
    {"cookie", ""},
    {"date", ""},
    {"etag", ""},
    {"expect", ""},
    {"expires", ""},
    {"from", ""},
    {"host", ""},
    {"if-match", ""},
    {"if-modified-since", ""},
    {"if-none-match", ""},
    {"if-range", ""},
    {"if-unmodified-since", ""},
    {"last-modified", ""},
    {"link", ""},
    {"location", ""},
    {"max-forwards", ""},
    {"proxy-authenticate", ""},
    {"proxy-authorization", ""},
    {"range", ""},
    {"referer", ""},
    {"refresh", ""},
    {"retry-after", ""},
    {"server", ""},
    {"set-cookie", ""},
    {"strict-transport-security", ""},
    {"transfer-encoding", ""},
    {"user-agent", ""},
    {"vary", ""},
    {"via", ""},
    {"www-authenticate", ""},
}};

// The entry at `index`, 1 to kStaticTableSize.
constexpr const StaticEntry& static_entry(uint32_t index) {
  return kStaticTable[index - 1];
}

// The first index whose name is `name` (exact bytes), or 0 when the name is not in the table.
uint32_t static_name_index(std::string_view name) noexcept;

// The index whose name is that of `name_index` (a first index from static_name_index) and whose
// non-empty value is `value`, or 0. Entries with an empty value never match: they name a field,
// they do not spell one.
uint32_t static_full_match(uint32_t name_index, std::string_view value) noexcept;

}  // namespace quillet::h2::hpack
