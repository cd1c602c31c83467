// Integers, string literals and the Huffman code.
#include "wire/h2/hpack/huffman.h"
#include "wire/h2/hpack/octets.h"
#include "wire/h2/hpack/primitives.h"

#include "tests/cpp/h2/hpack_support.h"
#include "tests/support/huffman_bit_decoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quillet::h2::hpack {
namespace {

using test::hex;

struct IntegerRead {
  std::optional<DecodeError> error;
  uint32_t value = 0;
  size_t pos = 0;
};

IntegerRead read_int(std::string_view in, unsigned prefix_bits) {
  IntegerRead r;
  r.error = read_integer(in, &r.pos, prefix_bits, &r.value);
  return r;
}

TEST(HpackInteger, RfcExamplesAndPrefixBoundaries) {
  std::string out;
  write_integer(&out, 0xe0, 5, 10);  // RFC 7541 C.1.1, with pattern bits kept
  EXPECT_EQ(out, hex("ea"));
  out.clear();
  write_integer(&out, 0, 5, 1337);  // C.1.2
  EXPECT_EQ(out, hex("1f9a0a"));
  out.clear();
  write_integer(&out, 0, 8, 42);  // C.1.3
  EXPECT_EQ(out, hex("2a"));
  EXPECT_EQ(read_int(hex("ea"), 5).value, 10u);
  const IntegerRead big = read_int(hex("1f9a0a") + "x", 5);
  EXPECT_EQ(big.value, 1337u);
  EXPECT_EQ(big.pos, 3u);  // stops at the integer's end
  for (unsigned bits = 1; bits <= 8; ++bits) {
    const uint32_t full = (1u << bits) - 1;
    for (uint64_t v : {uint64_t(0), uint64_t(full) - 1, uint64_t(full), uint64_t(full) + 127,
                       uint64_t(full) + 128, uint64_t(UINT32_MAX)}) {
      std::string w;
      write_integer(&w, 0, bits, v);
      const IntegerRead r = read_int(w, bits);
      ASSERT_FALSE(r.error) << bits << " " << v;
      EXPECT_EQ(r.value, v) << bits;
      EXPECT_EQ(r.pos, w.size());
    }
  }
}

TEST(HpackInteger, LimitsAndTruncation) {
  // Four continuation octets carry 28 bits; a fifth may end the integer but not continue it.
  EXPECT_EQ(read_int(hex("1f 80808080 00"), 5).value, 31u);  // zero groups are allowed
  EXPECT_EQ(read_int(hex("1f 80808080 80 00"), 5).error, DecodeError::kIntegerOverflow);
  EXPECT_EQ(read_int(hex("1f 80808080 80"), 5).error, DecodeError::kIntegerOverflow);
  // 2^32 - 1 is the largest value: 31 + 0xffffffe0 fits, one more does not, also when the
  // fifth octet ends the integer (its high bit clear).
  EXPECT_EQ(read_int(hex("1f e0ffffff 0f"), 5).value, UINT32_MAX);
  EXPECT_EQ(read_int(hex("1f e1ffffff 0f"), 5).error, DecodeError::kIntegerOverflow);
  EXPECT_EQ(read_int(hex("1f ffffffff 7f"), 5).error, DecodeError::kIntegerOverflow);
  for (std::string_view cut : {"1f", "1f80", "1f808080", "1f80808080"}) {
    const IntegerRead r = read_int(hex(cut), 5);
    EXPECT_EQ(r.error, DecodeError::kIntegerUnderflow) << cut;
    EXPECT_EQ(r.pos, 0u);
  }
}

TEST(HpackString, RawHuffmanAndTruncation) {
  std::string scratch;
  std::string_view text;
  size_t pos = 0;
  ASSERT_FALSE(read_string(hex("03616263 ff"), &pos, &scratch, &text));
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(pos, 4u);
  pos = 0;  // "www.example.com" Huffman-coded (RFC 7541 C.4.1)
  ASSERT_FALSE(read_string(hex("8cf1e3c2e5f23a6ba0ab90f4ff"), &pos, &scratch, &text));
  EXPECT_EQ(text, "www.example.com");
  const std::pair<std::string_view, DecodeError> truncated[] = {
      {"", DecodeError::kUnexpectedEndOfStream},
      {"7f", DecodeError::kIntegerUnderflow},
      {"0361", DecodeError::kStringUnderflow},
      {"8cf1e3c2e5f23a6ba0ab90f4", DecodeError::kStringUnderflow},
      {"81ff", DecodeError::kInvalidHuffmanCode},  // eight one-bits: padding too long
  };
  for (const auto& [in, error] : truncated) {
    pos = 0;
    EXPECT_EQ(read_string(hex(in), &pos, &scratch, &text), error) << in;
    EXPECT_EQ(pos, 0u);
  }
  std::string out;
  write_string(&out, "");
  write_string(&out, "a");
  EXPECT_EQ(out, hex("00 81 1f"));  // 'a' is 00011, padded with ones
}

// write_string codes a text of up to 256 octets after a length prefix sized for the longest
// coding, then moves it up when the actual length needs a shorter prefix, and counts the bits of
// a longer one first: at every length, on both sides of that limit, for texts of short and of
// long codes, the literal is the minimal prefix and the coding, after what was there before.
TEST(HpackString, WrittenAtEveryLengthWithTheShortestPrefix) {
  for (size_t length = 1; length <= 400; ++length) {
    for (const char c : {'e', '%', '\x80', '\x0a'}) {  // codes of 5, 6, 20 and 30 bits
      std::string text(length, c);
      text[length / 2] = 'x';
      std::string expected = "xyz";
      write_integer(&expected, 0x80, 7, huffman_encoded_size(text));
      huffman_encode(text, &expected);
      std::string out = "xyz";
      write_string(&out, text);
      ASSERT_EQ(out, expected) << length << " " << int(c);
      std::string scratch;
      std::string_view back;
      size_t pos = 3;
      ASSERT_FALSE(read_string(out, &pos, &scratch, &back));
      ASSERT_EQ(back, text);
      ASSERT_EQ(pos, out.size());
    }
  }
}

// same_octets reads whole words, overlapping halves and single octets by length: a difference
// at any position of any length up to three words is seen, and so is a length difference.
TEST(HpackOctets, EqualityAtEveryLengthAndPosition) {
  for (size_t length = 0; length <= 24; ++length) {
    const std::string a(length, 'q');
    EXPECT_TRUE(same_octets(a, std::string(length, 'q')));
    EXPECT_FALSE(same_octets(a, std::string(length + 1, 'q')));
    for (size_t at = 0; at < length; ++at) {
      std::string b = a;
      b[at] = 'r';
      EXPECT_FALSE(same_octets(a, b)) << length << " " << at;
      EXPECT_FALSE(same_octets(b, a)) << length << " " << at;
    }
  }
}

// --- Huffman ------------------------------------------------------------------------------------

using test_support::BitDecoder;

std::optional<std::string> table_decode(std::string_view coded) {
  std::string out = "prefix";  // the decoder appends
  if (!huffman_decode(coded, &out)) return std::nullopt;
  return out.substr(6);
}

TEST(Huffman, AgreesWithBitByBitDecoderOnEveryShortInput) {
  const BitDecoder reference;
  std::string in;
  for (int a = 0; a < 256; ++a) {
    in.assign(1, char(a));
    ASSERT_EQ(table_decode(in), reference.decode(in)) << a;
    for (int b = 0; b < 256; ++b) {
      in.assign({char(a), char(b)});
      ASSERT_EQ(table_decode(in), reference.decode(in)) << a << " " << b;
    }
  }
}

TEST(Huffman, AgreesWithBitByBitDecoderOnRandomInput) {
  // Bytes drawn mostly from the all-ones end reach the long codes, EOS and bad padding.
  const BitDecoder reference;
  std::mt19937 rng(7541);
  const uint8_t high[] = {0xff, 0xfe, 0xfd, 0xfb, 0xf7, 0xef, 0xdf, 0xbf, 0x7f, 0xf0, 0xe0};
  size_t valid = 0;
  for (int round = 0; round < 60000; ++round) {
    std::string in(rng() % 16, '\0');
    for (char& c : in)
      c = char(rng() % 3 == 0 ? uint8_t(rng()) : high[rng() % std::size(high)]);
    const auto expected = reference.decode(in);
    ASSERT_EQ(table_decode(in), expected);
    valid += expected.has_value();
  }
  EXPECT_GT(valid, 5000u);  // both outcomes are well exercised
  EXPECT_LT(valid, 55000u);
}

// The decoder into a buffer of exactly the documented room (2 octets per coded octet), on the
// heap, so that a sanitizer build sees any write past it.
std::optional<std::string> buffer_decode(std::string_view coded) {
  const auto room = std::make_unique<char[]>(2 * coded.size() + (coded.empty() ? 1 : 0));
  size_t decoded = SIZE_MAX;
  const bool ok = huffman_decode(coded, room.get(), &decoded);
  EXPECT_LE(decoded, 2 * coded.size());
  if (!ok) return std::nullopt;
  return std::string(room.get(), decoded);
}

std::string coded_of(std::string_view text) {
  std::string coded;
  huffman_encode(text, &coded);
  return coded;
}

// Bits written out as '0' and '1', packed into octets (the last one filled with one-bits).
std::string pack_bits(std::string_view bits) {
  std::string out((bits.size() + 7) / 8, '\xff');
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[i] == '0') out[i / 8] = char(uint8_t(out[i / 8]) & ~(0x80u >> (i % 8)));
  return out;
}

std::string bits_of(std::string_view text) {
  std::string bits;
  for (const char c : text) {
    const HuffmanCode& code = kHuffmanCodes[uint8_t(c)];
    for (int b = code.length - 1; b >= 0; --b)
      bits += (code.bits >> b) & 1 ? '1' : '0';
  }
  return bits;
}

// Every symbol, at every bit offset within and across the decoder's table steps, followed by
// more text or by nothing, decodes back; with no text after it, every last octet decodes as the
// bit-by-bit reference says.
TEST(Huffman, EverySymbolAtEveryBitOffset) {
  const BitDecoder reference;
  for (int sym = 0; sym < 256; ++sym) {
    for (size_t lead = 0; lead < 24; ++lead) {  // '0' is 5 bits: offsets 0 to 115
      for (std::string_view tail : {"", "0123456789abcdef"}) {
        std::string text(lead, '0');
        text += char(sym);
        text += tail;
        const std::string coded = coded_of(text);
        ASSERT_EQ(buffer_decode(coded), text) << sym << " " << lead;
        ASSERT_EQ(table_decode(coded), text);
        if (!tail.empty() || lead >= 8) continue;
        std::string changed = coded;
        for (int last = 0; last < 256; ++last) {
          changed.back() = char(last);
          ASSERT_EQ(buffer_decode(changed), reference.decode(changed)) << sym << " " << lead;
        }
      }
    }
  }
}

// After the last code, one-bits are padding only up to seven of them; eight or more (which
// includes EOS itself) are refused, and so is a zero-bit among them unless it completes a code.
// Checked after codes ending at every bit position of the input.
TEST(Huffman, PaddingAndEosAtEveryBitBoundary) {
  const BitDecoder reference;
  for (size_t length = 0; length <= 40; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
      text += "e0a;%Az\\"[i % 8];  // 5 to 19 bits: every end position mod 8 comes up
    const std::string bits = bits_of(text);
    for (size_t ones = 0; ones <= 40; ++ones) {
      const std::string padded = bits + std::string(ones, '1');
      const size_t pad = (8 - padded.size() % 8) % 8;
      const std::string coded = pack_bits(padded);
      const bool valid = ones + pad <= 7;
      ASSERT_EQ(buffer_decode(coded).has_value(), valid) << length << " " << ones;
      if (valid) {
        EXPECT_EQ(buffer_decode(coded), text);
      }
      ASSERT_EQ(reference.decode(coded).has_value(), valid);
      // A zero-bit after some of the ones: what follows decides, as for the reference.
      const std::string with_zero = pack_bits(bits + std::string(ones, '1') + "0");
      ASSERT_EQ(buffer_decode(with_zero), reference.decode(with_zero)) << length << " " << ones;
    }
    // EOS between two codes, at this bit position.
    const std::string eos = pack_bits(bits + std::string(30, '1') + bits_of("a"));
    EXPECT_EQ(buffer_decode(eos), std::nullopt) << length;
  }
}

// Long inputs: whole encoded texts of every kind of octet, with one bit flipped or the end cut
// off, against the reference; the inputs run well past the eight-octet refills.
TEST(Huffman, LongInputsAgreeWithBitByBitDecoder) {
  const BitDecoder reference;
  std::mt19937 rng(9113);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 120, '\0');
    for (char& c : text)
      c = char(round % 3 == 0 ? uint8_t(rng()) : uint8_t("etaoin /:;=-_0129AZ\"%"[rng() % 21]));
    const std::string coded = coded_of(text);
    ASSERT_EQ(buffer_decode(coded), text);
    if (coded.empty()) continue;
    std::string flipped = coded;
    flipped[rng() % flipped.size()] ^= char(1u << (rng() % 8));
    ASSERT_EQ(buffer_decode(flipped), reference.decode(flipped)) << round;
    const std::string cut = coded.substr(0, rng() % coded.size());
    ASSERT_EQ(buffer_decode(cut), reference.decode(cut)) << round;
  }
}

TEST(Huffman, EncodesEverySymbolAndPairBack) {
  const BitDecoder reference;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b <= 256; ++b) {  // 256: the symbol alone
      const std::string text = b == 256 ? std::string(1, char(a)) : std::string{char(a), char(b)};
      std::string coded;
      huffman_encode(text, &coded);
      ASSERT_EQ(coded.size(), huffman_encoded_size(text));
      ASSERT_EQ(table_decode(coded), text) << a << " " << b;
      ASSERT_EQ(reference.decode(coded), text);
    }
  }
}

// Longer texts go out 32 bits at a time: every length across several words, mixing the 5-bit
// and the 30-bit codes, appended after bytes already in the output.
TEST(Huffman, EncodesLongTextsAfterAPrefix) {
  const BitDecoder reference;
  uint32_t seed = 12345;
  for (size_t length = 0; length <= 80; ++length) {
    for (int round = 0; round < 20; ++round) {
      std::string text;
      for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        text.push_back(char(round % 2 ? (seed >> 16) & 0xff : "aeiou0123"[(seed >> 16) % 9]));
      }
      std::string coded = "xyz";
      huffman_encode(text, &coded);
      ASSERT_EQ(coded.substr(0, 3), "xyz");
      ASSERT_EQ(coded.size() - 3, huffman_encoded_size(text));
      ASSERT_EQ(reference.decode(coded.substr(3)), text) << length << " " << round;
    }
  }
}

}  // namespace
}  // namespace quillet::h2::hpack
