#include "wire/h2/hpack/huffman.h"

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
// The decoder looks at the next kPeek bits at once. Where they begin with one or two whole codes,
// kPeekTable gives those symbols outright; the common header characters have codes of 5 to 8
// bits, so a step usually yields two octets. Codes longer than kPeek bits (rare octets, and EOS)
// are resolved by length instead, which the canonical order of the code makes a short search:
// all codes of one length are consecutive numbers, and left-aligned they sort above every
// shorter code.

constexpr unsigned kPeek = 12;
constexpr unsigned kMaxCodeLength = 30;

// Sorted by (length, symbol), with where each length starts: the canonical layout.
struct CanonicalCode {
  std::array<uint16_t, kHuffmanSymbols> symbols{};
  std::array<uint32_t, kMaxCodeLength + 1> first_code{};  // the smallest code of each length
  std::array<uint16_t, kMaxCodeLength + 1> first_rank{};  // its position in `symbols`
  // One past the last code of each length, left-aligned in 32 bits: a window below it starts
  // with a code of this length or a shorter one.
  std::array<uint64_t, kMaxCodeLength + 1> limit{};
};

constexpr CanonicalCode build_canonical() {
  CanonicalCode c;
  size_t n = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    c.first_rank[len] = uint16_t(n);
    bool first = true;
    for (uint32_t sym = 0; sym < kHuffmanSymbols; ++sym) {
      if (kHuffmanCodes[sym].length != len) continue;
      if (first) c.first_code[len] = kHuffmanCodes[sym].bits;
      first = false;
      c.symbols[n++] = uint16_t(sym);
    }
    const uint64_t count = n - c.first_rank[len];
    c.limit[len] = (uint64_t(c.first_code[len]) + count) << (32 - len);
    if (count == 0) c.limit[len] = len == 1 ? 0 : c.limit[len - 1];
  }
  return c;
}

constexpr CanonicalCode kCanonical = build_canonical();

struct LongCode {
  uint16_t symbol;
  uint8_t length;
};

// The code at the front of a 32-bit window that holds no code of kPeek bits or fewer.
constexpr LongCode decode_long(uint32_t window) {
  unsigned len = kPeek + 1;
  while (window >= kCanonical.limit[len])
    ++len;
  const uint32_t code = window >> (32 - len);
  return {kCanonical.symbols[kCanonical.first_rank[len] + (code - kCanonical.first_code[len])],
          uint8_t(len)};
}

// An entry of kPeekTable: the bits its codes use (bits 0-5; the first code's alone when no
// second code fits after it; 0 when the first code is longer than kPeek bits), the number of
// symbols (bits 6-7), the length of the first code (bits 8-12), the first symbol (bits 16-23)
// and the second (bits 24-31). The bits used sit alone in the low six bits, which is all a
// 64-bit shift looks at: the decoder shifts by the entry itself, one step less between a
// lookup and the next.
constexpr uint32_t peek_entry(uint32_t first, uint32_t second, uint32_t first_len, uint32_t used,
                              uint32_t count) {
  return used | count << 6 | first_len << 8 | first << 16 | second << 24;
}
constexpr uint32_t used_bits(uint32_t e) {
  return e & 0x3f;
}
constexpr uint32_t symbol_count(uint32_t e) {
  return (e >> 6) & 3;
}
constexpr uint32_t first_length(uint32_t e) {
  return (e >> 8) & 0x1f;
}
constexpr char first_symbol(uint32_t e) {
  return char(uint8_t(e >> 16));
}
constexpr char second_symbol(uint32_t e) {
  return char(uint8_t(e >> 24));
}

struct PeekTable {
  std::array<uint32_t, 1u << kPeek> entry{};
  bool conflict = false;  // two codes claimed one pattern: the code would not be prefix-free
};

constexpr PeekTable build_peek_table() {
  // First the single codes of up to kPeek bits, each over every pattern it starts.
  std::array<uint16_t, 1u << kPeek> single{};  // symbol | length << 8; 0 for none
  PeekTable t;
  for (uint32_t sym = 0; sym < kHuffmanEos; ++sym) {
    const unsigned len = kHuffmanCodes[sym].length;
    if (len > kPeek) continue;
    const uint32_t base = kHuffmanCodes[sym].bits << (kPeek - len);
    for (uint32_t j = 0; j < (1u << (kPeek - len)); ++j) {
      if (single[base + j] != 0) t.conflict = true;
      single[base + j] = uint16_t(sym | len << 8);
    }
  }
  // Then a second code in the bits the first leaves, where it fits whole.
  for (uint32_t i = 0; i < (1u << kPeek); ++i) {
    const uint32_t a = single[i];
    if (a == 0) continue;
    const uint32_t len_a = a >> 8;
    const uint32_t rest = (i << len_a) & ((1u << kPeek) - 1);
    const uint32_t b = single[rest];
    if (b != 0 && len_a + (b >> 8) <= kPeek)
      t.entry[i] = peek_entry(a & 0xff, b & 0xff, len_a, len_a + (b >> 8), 2);
    else
      t.entry[i] = peek_entry(a & 0xff, 0, len_a, len_a, 1);
  }
  return t;
}

constexpr PeekTable kPeekTable = build_peek_table();
static_assert(!kPeekTable.conflict, "no short code is a prefix of another");
static_assert(kPeekTable.entry.size() == 4096 && kCanonical.symbols.size() == kHuffmanSymbols);

// Every symbol's code, followed by zero-bits or by one-bits, is read back as that symbol with
// its length, through whichever table serves its length.
constexpr bool tables_read_every_code() {
  for (uint32_t sym = 0; sym < kHuffmanSymbols; ++sym) {
    const HuffmanCode& c = kHuffmanCodes[sym];
    const uint32_t zeros = c.bits << (32 - c.length);
    const uint32_t ones = zeros | (c.length == 32 ? 0 : (~uint32_t(0) >> c.length));
    for (const uint32_t window : {zeros, ones}) {
      if (c.length <= kPeek) {
        const uint32_t e = kPeekTable.entry[window >> (32 - kPeek)];
        if (uint8_t(first_symbol(e)) != sym || first_length(e) != c.length) return false;
      } else {
        const LongCode l = decode_long(window);
        if (l.symbol != sym || l.length != c.length) return false;
      }
    }
  }
  return true;
}
static_assert(tables_read_every_code(), "the decoding tables read every code back");

// The next eight octets as a big-endian number.
inline uint64_t load_be64(const uint8_t* p) {
  return uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
         uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | uint64_t(p[7]);
}

// huffman_decode's work, from the octets [p, end) to w on: where the output ends, and whether
// the input was a valid coding. Apart from its caller, so that no more than the decoding's own
// state is live in its loops, and the bit accumulator stays in a register.
struct DecodeEnd {
  char* w;
  bool ok;
};

DecodeEnd decode_codes(const uint8_t* p, const uint8_t* const end, char* w) noexcept {
  // The unread bits sit at the top of `acc`, `bits` of them (at most 63); below them lie either
  // zero-bits or input bits not yet counted, which a later refill puts there again.
  uint64_t acc = 0;
  unsigned bits = 0;
  // While the input lasts, every step sees at least the longest code's worth of bits.
  for (;;) {
    if (bits < kMaxCodeLength) {
      if (end - p >= 8) {
        // Eight octets at once; only the whole ones that fit are counted.
        acc |= load_be64(p) >> bits;
        p += (63 - bits) >> 3;
        bits |= 56;
      } else {
        for (; p != end && bits <= 55; ++p, bits += 8)
          acc |= uint64_t(*p) << (56 - bits);
        if (bits < kMaxCodeLength) break;
      }
    }
    const uint32_t e = kPeekTable.entry[acc >> (64 - kPeek)];
    if (const unsigned used = used_bits(e); used != 0) {
      w[0] = first_symbol(e);
      w[1] = second_symbol(e);
      w += symbol_count(e);
      acc <<= used;
      bits -= used;
    } else {
      const LongCode c = decode_long(uint32_t(acc >> 32));
      if (c.symbol == kHuffmanEos) return {w, false};
      *w++ = char(c.symbol);
      acc <<= c.length;
      bits -= c.length;
    }
  }
  // The input is used up and fewer bits are left than the longest code. Past them the code
  // reads one-bits, which start no code shorter than EOS: a code that reaches into them is cut
  // short, and they are what padding must look like.
  for (;;) {
    const uint64_t window = acc | (~uint64_t(0) >> bits);
    const uint32_t e = kPeekTable.entry[window >> (64 - kPeek)];
    if (const unsigned used = used_bits(e); used != 0 && used <= bits) {
      w[0] = first_symbol(e);
      w[1] = second_symbol(e);
      w += symbol_count(e);
      acc <<= used;
      bits -= used;
    } else {
      // One code at most: a short one that fits without its successor, or a long one. EOS
      // never fits here (it is the longest code), so all-one bits end the loop as padding;
      // so does any long code when no more than kPeek bits are left, which is how every
      // string ends, and needs no search.
      const unsigned len = first_length(e);
      if (len == 0 && bits <= kPeek) break;
      const LongCode c = len != 0 ? LongCode{uint8_t(first_symbol(e)), uint8_t(len)}
                                  : decode_long(uint32_t(window >> 32));
      if (c.length > bits) break;
      *w++ = char(c.symbol);
      acc <<= c.length;
      bits -= c.length;
    }
  }
  // What is left starts no whole code: it must be padding, at most seven one-bits.
  return {w, bits <= 7 && (acc | (~uint64_t(0) >> bits)) == ~uint64_t(0)};
}

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
  // A step that decodes one symbol still writes two octets: a decoded symbol took at least 5
  // bits, so the second octet lands within the room of 2 * coded.size() all the same.
  const auto* p = reinterpret_cast<const uint8_t*>(coded.data());
  const DecodeEnd r = decode_codes(p, p + coded.size(), out);
  *decoded = size_t(r.w - out);
  return r.ok;
}

}  // namespace quillet::h2::hpack
