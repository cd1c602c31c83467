#include "wire/h2/hpack/huffman.h"

#include <bit>
#include <cstddef>
#include <new>

namespace quillet::h2::hpack {
namespace {

// --- The code is what RFC 7541 Appendix B says it is -------------------------------------------

constexpr bool lengths_in_range() {
  for (const HuffmanCode& c : kHuffmanCodes)
    if (c.length < 5 || c.length > 30 || (uint64_t(c.bits) >> c.length) != 0) return false;
  return true;
}
static_assert(lengths_in_range(), "every code is 5 to 30 bits long and fits its length");
static_assert(kHuffmanCodes[kHuffmanEos].bits == 0x3fffffff &&
                  kHuffmanCodes[kHuffmanEos].length == 30,
              "EOS is thirty one-bits");

// Kraft's sum is exactly 1: no bit pattern is left without a code (except inside EOS).
constexpr bool kraft_sum_is_one() {
  uint64_t sum = 0;
  for (const HuffmanCode& c : kHuffmanCodes)
    sum += uint64_t(1) << (30 - c.length);
  return sum == uint64_t(1) << 30;
}
static_assert(kraft_sum_is_one(), "the code is complete");

// The code is canonical: ordered by (length, symbol), each code is the previous one plus one,
// shifted to its length. With the Kraft sum, this makes it prefix-free, and it means a wrong
// length or a wrong code in the table above cannot go unnoticed.
constexpr bool is_canonical() {
  std::array<uint16_t, kHuffmanSymbols> order{};
  for (size_t i = 0; i < kHuffmanSymbols; ++i)
    order[i] = uint16_t(i);
  for (size_t i = 1; i < kHuffmanSymbols; ++i) {  // insertion sort by (length, symbol)
    for (size_t j = i; j > 0 && kHuffmanCodes[order[j]].length < kHuffmanCodes[order[j - 1]].length;
         --j) {
      const uint16_t t = order[j];
      order[j] = order[j - 1];
      order[j - 1] = t;
    }
  }
  if (kHuffmanCodes[order[0]].bits != 0) return false;
  for (size_t i = 1; i < kHuffmanSymbols; ++i) {
    const HuffmanCode& prev = kHuffmanCodes[order[i - 1]];
    const HuffmanCode& cur = kHuffmanCodes[order[i]];
    if (uint64_t(cur.bits) != (uint64_t(prev.bits) + 1) << (cur.length - prev.length)) return false;
  }
  return true;
}
static_assert(is_canonical(), "the code is canonical");

// --- Decoding tables ----------------------------------------------------------------------------
//
// Table 0 is indexed by the first eight bits of a code. An entry is either a symbol (bits 0-7)
// with the number of the eight bits its code uses (bits 8-14), or, with bit 15 set, the number
// of the table that resolves the next eight bits of a longer code. A link to table 0 marks a
// pattern that no symbol starts with (only the end of EOS). Codes of up to 30 bits need at most
// four steps; the sub-tables are the 8-bit prefixes shared by longer codes.

constexpr uint16_t kLink = 0x8000;

// Bits 8-15 of a table entry.
inline unsigned high_octet(const uint16_t* entry) {
  if constexpr (std::endian::native == std::endian::little) {
    return reinterpret_cast<const uint8_t*>(entry)[1];
  } else {
    return *entry >> 8;
  }
}
constexpr size_t kDecodeTables = 15;

struct DecodeTables {
  std::array<std::array<uint16_t, 256>, kDecodeTables> entry{};
  size_t used = 1;
  bool conflict = false;  // two codes claimed one entry: the code would not be prefix-free
};

constexpr DecodeTables build_decode_tables() {
  DecodeTables d;
  for (auto& table : d.entry)
    table.fill(kLink);
  for (uint32_t sym = 0; sym < kHuffmanEos; ++sym) {
    const uint32_t code = kHuffmanCodes[sym].bits;
    unsigned left = kHuffmanCodes[sym].length;
    size_t t = 0;
    while (left > 8) {
      const uint32_t byte = (code >> (left - 8)) & 0xff;
      const uint16_t e = d.entry[t][byte];
      if (e == kLink) {
        if (d.used == kDecodeTables) {
          d.conflict = true;
          return d;
        }
        d.entry[t][byte] = uint16_t(kLink | d.used);
        t = d.used++;
      } else if (e & kLink) {
        t = e & 0xff;
      } else {
        d.conflict = true;  // a shorter code is a prefix of this one
        return d;
      }
      left -= 8;
    }
    const uint32_t base = (code & ((1u << left) - 1)) << (8 - left);
    for (uint32_t j = 0; j < (1u << (8 - left)); ++j) {
      if (d.entry[t][base + j] != kLink) d.conflict = true;
      d.entry[t][base + j] = uint16_t(sym | (left << 8));
    }
  }
  return d;
}

constexpr DecodeTables kTables = build_decode_tables();
static_assert(!kTables.conflict, "no code is a prefix of another");
static_assert(kTables.used == kDecodeTables, "a root table and fourteen sub-tables");

}  // namespace

uint64_t huffman_encoded_size(std::string_view text) noexcept {
  uint64_t bits = 0;
  for (const char c : text)
    bits += kHuffmanCodes[uint8_t(c)].length;
  return (bits + 7) / 8;
}

void huffman_encode(std::string_view text, std::string* out) {
  huffman_encode(text, huffman_encoded_size(text), out);
}

void huffman_encode(std::string_view text, uint64_t size, std::string* out) {
  const size_t start = out->size();
  // Up to 30 bits per octet: on a 32-bit build a text of more than a gigabyte could code to
  // more than the address space.
  if (size > SIZE_MAX - start) throw std::bad_alloc();
  out->resize(start + size_t(size));
  huffman_encode(text, out->data() + start);
}

size_t huffman_encode(std::string_view text, char* out) noexcept {
  char* w = out;
  // Fewer than 32 bits wait in the accumulator between symbols, so 31 + 30 bits fit in 64;
  // whole 32-bit words go out at once, and they lie within the coded size, which counts every
  // bit.
  uint64_t acc = 0;
  unsigned bits = 0;
  for (const char c : text) {
    const HuffmanCode& code = kHuffmanCodes[uint8_t(c)];
    acc = (acc << code.length) | code.bits;
    bits += code.length;
    if (bits >= 32) {
      bits -= 32;
      const uint32_t word = uint32_t(acc >> bits);
      w[0] = char(uint8_t(word >> 24));
      w[1] = char(uint8_t(word >> 16));
      w[2] = char(uint8_t(word >> 8));
      w[3] = char(uint8_t(word));
      w += 4;
    }
  }
  while (bits >= 8) {
    bits -= 8;
    *w++ = char(uint8_t(acc >> bits));
  }
  if (bits > 0) *w++ = char(uint8_t((acc << (8 - bits)) | (0xffu >> bits)));
  return size_t(w - out);
}

bool huffman_decode(std::string_view coded, std::string* out) {
  // Every code is at least 5 bits, so the octets decoded are fewer than twice the coded ones.
  const size_t start = out->size();
  if (coded.size() > (SIZE_MAX - start) / 2) throw std::bad_alloc();
  out->resize(start + 2 * coded.size());
  size_t decoded = 0;
  const bool ok = huffman_decode(coded, out->data() + start, &decoded);
  out->resize(start + decoded);
  return ok;
}

bool huffman_decode(std::string_view coded, char* out, size_t* decoded) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(coded.data());
  const uint8_t* const end = p + coded.size();
  char* w = out;
  const auto finish = [&](bool ok) {
    *decoded = size_t(w - out);
    return ok;
  };
  // `bits` unread bits wait at the top of `acc` (the next one is bit 63), zeros below them, so
  // every step indexes its table with the top eight bits and shifts out what its code used:
  // the chain from one table read to the next is a shift, not a recount of where the bits are.
  // While seven octets are left they come in whole (56 new bits below fewer than 8 old ones);
  // the steps are the same eight-bit table steps either way.
  uint64_t acc = 0;
  unsigned bits = 0;
  size_t table = 0;
  while (p != end) {
    if (end - p >= 7) {
      const uint64_t next = uint64_t(p[0]) << 48 | uint64_t(p[1]) << 40 | uint64_t(p[2]) << 32 |
                            uint64_t(p[3]) << 24 | uint64_t(p[4]) << 16 | uint64_t(p[5]) << 8 |
                            p[6];
      acc |= next << (8 - bits);
      p += 7;
      bits += 56;
    } else {
      acc |= uint64_t(*p++) << (56 - bits);
      bits += 8;
    }
    do {
      const uint16_t* entry = &kTables.entry[table][acc >> 56];
      const uint16_t e = *entry;
      if (e & kLink) {
        table = e & 0xff;
        if (table == 0) return finish(false);
        acc <<= 8;
        bits -= 8;
      } else {
        *w++ = char(e & 0xff);
        // Bit 15 is clear, so the count is the entry's high octet: read on its own, it comes
        // straight from the table instead of after the whole entry and a shift.
        const unsigned used = high_octet(entry);
        acc <<= used;
        bits -= used;
        table = 0;
      }
    } while (bits >= 8);
  }
  // Fewer than 8 bits are left: resolve the codes that fit in them, looking them up with
  // one-bits after them, then what remains must be padding.
  while (bits > 0) {
    const uint16_t e = kTables.entry[table][(acc >> 56) | (0xffu >> bits)];
    if ((e & kLink) || unsigned(e >> 8) > bits) break;
    *w++ = char(e & 0xff);
    acc <<= e >> 8;
    bits -= e >> 8;
    table = 0;
  }
  // A code still open from a previous octet would make the padding longer than 7 bits.
  if (table != 0) return finish(false);
  if (bits == 0) return finish(true);
  const uint64_t ones = (uint64_t(1) << bits) - 1;
  return finish((acc >> (64 - bits)) == ones);
}

}  // namespace quillet::h2::hpack
