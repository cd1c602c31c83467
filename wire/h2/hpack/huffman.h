// The static Huffman code of HPACK (RFC 7541 Appendix B) and the coders built on it.
//
// kHuffmanCodes is the code itself, one (code, length) pair per symbol: the 256 octets and EOS
// (256). The encoder reads it directly through a bit accumulator. The decoder does not walk the
// code bit by bit: huffman.cc derives from it, at compile time, fifteen lookup tables of 256
// entries that resolve eight input bits per step, and checks there that the code is prefix-free
// and complete, so that a typo in the table below cannot build.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::h2::hpack {

struct HuffmanCode {
  uint32_t bits;   // the code, right-aligned
  uint8_t length;  // in bits, 5 to 30
};

inline constexpr size_t kHuffmanSymbols = 257;
inline constexpr size_t kHuffmanEos = 256;

// Indexed by symbol.
inline constexpr std::array<HuffmanCode, kHuffmanSymbols> kHuffmanCodes = {{
    {0x1ff8, 13},     {0x7fffd8, 23},   {0xfffffe2, 28},  {0xfffffe3, 28},  // 0
    {0xfffffe4, 28},  {0xfffffe5, 28},  {0xfffffe6, 28},  {0xfffffe7, 28},  // 4
    {0xfffffe8, 28},  {0xffffea, 24},   {0x3ffffffc, 30}, {0xfffffe9, 28},  // 8
    {0xfffffea, 28},  {0x3ffffffd, 30}, {0xfffffeb, 28},  {0xfffffec, 28},  // 12
    {0xfffffed, 28},  {0xfffffee, 28},  {0xfffffef, 28},  {0xffffff0, 28},  // 16
    {0xffffff1, 28},  {0xffffff2, 28},  {0x3ffffffe, 30}, {0xffffff3, 28},  // 20
    {0xffffff4, 28},  {0xffffff5, 28},  {0xffffff6, 28},  {0xffffff7, 28},  // 24
    {0xffffff8, 28},  {0xffffff9, 28},  {0xffffffa, 28},  {0xffffffb, 28},  // 28
    {0x14, 6},        {0x3f8, 10},      {0x3f9, 10},      {0xffa, 12},      // 32 ' ' ! " #
    {0x1ff9, 13},     {0x15, 6},        {0xf8, 8},        {0x7fa, 11},      // 36 $ % & '
    {0x3fa, 10},      {0x3fb, 10},      {0xf9, 8},        {0x7fb, 11},      // 40 ( ) * +
    {0xfa, 8},        {0x16, 6},        {0x17, 6},        {0x18, 6},        // 44 , - . /
    {0x0, 5},         {0x1, 5},         {0x2, 5},         {0x19, 6},        // 48 0 1 2 3
    {0x1a, 6},        {0x1b, 6},        {0x1c, 6},        {0x1d, 6},        // 52 4 5 6 7
    {0x1e, 6},        {0x1f, 6},        {0x5c, 7},        {0xfb, 8},        // 56 8 9 : ;
    {0x7ffc, 15},     {0x20, 6},        {0xffb, 12},      {0x3fc, 10},      // 60 < = > ?
    {0x1ffa, 13},     {0x21, 6},        {0x5d, 7},        {0x5e, 7},        // 64 @ A B C
    {0x5f, 7},        {0x60, 7},        {0x61, 7},        {0x62, 7},        // 68 D E F G
    {0x63, 7},        {0x64, 7},        {0x65, 7},        {0x66, 7},        // 72 H I J K
    {0x67, 7},        {0x68, 7},        {0x69, 7},        {0x6a, 7},        // 76 L M N O
    {0x6b, 7},        {0x6c, 7},        {0x6d, 7},        {0x6e, 7},        // 80 P Q R S
    {0x6f, 7},        {0x70, 7},        {0x71, 7},        {0x72, 7},        // 84 T U V W
    {0xfc, 8},        {0x73, 7},        {0xfd, 8},        {0x1ffb, 13},     // 88 X Y Z [
    {0x7fff0, 19},    {0x1ffc, 13},     {0x3ffc, 14},     {0x22, 6},        // 92 \ ] ^ _
    {0x7ffd, 15},     {0x3, 5},         {0x23, 6},        {0x4, 5},         // 96 ` a b c
    {0x24, 6},        {0x5, 5},         {0x25, 6},        {0x26, 6},        // 100 d e f g
    {0x27, 6},        {0x6, 5},         {0x74, 7},        {0x75, 7},        // 104 h i j k
    {0x28, 6},        {0x29, 6},        {0x2a, 6},        {0x7, 5},         // 108 l m n o
    {0x2b, 6},        {0x76, 7},        {0x2c, 6},        {0x8, 5},         // 112 p q r s
    {0x9, 5},         {0x2d, 6},        {0x77, 7},        {0x78, 7},        // 116 t u v w
    {0x79, 7},        {0x7a, 7},        {0x7b, 7},        {0x7ffe, 15},     // 120 x y z {
    {0x7fc, 11},      {0x3ffd, 14},     {0x1ffd, 13},     {0xffffffc, 28},  // 124 | } ~ DEL
    {0xfffe6, 20},    {0x3fffd2, 22},   {0xfffe7, 20},    {0xfffe8, 20},    // 128
    {0x3fffd3, 22},   {0x3fffd4, 22},   {0x3fffd5, 22},   {0x7fffd9, 23},   // 132
    {0x3fffd6, 22},   {0x7fffda, 23},   {0x7fffdb, 23},   {0x7fffdc, 23},   // 136
    {0x7fffdd, 23},   {0x7fffde, 23},   {0xffffeb, 24},   {0x7fffdf, 23},   // 140
    {0xffffec, 24},   {0xffffed, 24},   {0x3fffd7, 22},   {0x7fffe0, 23},   // 144
    {0xffffee, 24},   {0x7fffe1, 23},   {0x7fffe2, 23},   {0x7fffe3, 23},   // 148
    {0x7fffe4, 23},   {0x1fffdc, 21},   {0x3fffd8, 22},   {0x7fffe5, 23},   // 152
    {0x3fffd9, 22},   {0x7fffe6, 23},   {0x7fffe7, 23},   {0xffffef, 24},   // 156
    {0x3fffda, 22},   {0x1fffdd, 21},   {0xfffe9, 20},    {0x3fffdb, 22},   // 160
    {0x3fffdc, 22},   {0x7fffe8, 23},   {0x7fffe9, 23},   {0x1fffde, 21},   // 164
    {0x7fffea, 23},   {0x3fffdd, 22},   {0x3fffde, 22},   {0xfffff0, 24},   // 168
    {0x1fffdf, 21},   {0x3fffdf, 22},   {0x7fffeb, 23},   {0x7fffec, 23},   // 172
    {0x1fffe0, 21},   {0x1fffe1, 21},   {0x3fffe0, 22},   {0x1fffe2, 21},   // 176
    {0x7fffed, 23},   {0x3fffe1, 22},   {0x7fffee, 23},   {0x7fffef, 23},   // 180
    {0xfffea, 20},    {0x3fffe2, 22},   {0x3fffe3, 22},   {0x3fffe4, 22},   // 184
    {0x7ffff0, 23},   {0x3fffe5, 22},   {0x3fffe6, 22},   {0x7ffff1, 23},   // 188
    {0x3ffffe0, 26},  {0x3ffffe1, 26},  {0xfffeb, 20},    {0x7fff1, 19},    // 192
    {0x3fffe7, 22},   {0x7ffff2, 23},   {0x3fffe8, 22},   {0x1ffffec, 25},  // 196
    {0x3ffffe2, 26},  {0x3ffffe3, 26},  {0x3ffffe4, 26},  {0x7ffffde, 27},  // 200
    {0x7ffffdf, 27},  {0x3ffffe5, 26},  {0xfffff1, 24},   {0x1ffffed, 25},  // 204
    {0x7fff2, 19},    {0x1fffe3, 21},   {0x3ffffe6, 26},  {0x7ffffe0, 27},  // 208
    {0x7ffffe1, 27},  {0x3ffffe7, 26},  {0x7ffffe2, 27},  {0xfffff2, 24},   // 212
    {0x1fffe4, 21},   {0x1fffe5, 21},   {0x3ffffe8, 26},  {0x3ffffe9, 26},  // 216
    {0xffffffd, 28},  {0x7ffffe3, 27},  {0x7ffffe4, 27},  {0x7ffffe5, 27},  // 220
    {0xfffec, 20},    {0xfffff3, 24},   {0xfffed, 20},    {0x1fffe6, 21},   // 224
    {0x3fffe9, 22},   {0x1fffe7, 21},   {0x1fffe8, 21},   {0x7ffff3, 23},   // 228
    {0x3fffea, 22},   {0x3fffeb, 22},   {0x1ffffee, 25},  {0x1ffffef, 25},  // 232
    {0xfffff4, 24},   {0xfffff5, 24},   {0x3ffffea, 26},  {0x7ffff4, 23},   // 236
    {0x3ffffeb, 26},  {0x7ffffe6, 27},  {0x3ffffec, 26},  {0x3ffffed, 26},  // 240
    {0x7ffffe7, 27},  {0x7ffffe8, 27},  {0x7ffffe9, 27},  {0x7ffffea, 27},  // 244
    {0x7ffffeb, 27},  {0xffffffe, 28},  {0x7ffffec, 27},  {0x7ffffed, 27},  // 248
    {0x7ffffee, 27},  {0x7ffffef, 27},  {0x7fffff0, 27},  {0x3ffffee, 26},  // 252
    {0x3fffffff, 30},                                                       // 256 EOS
}};

// The number of octets the Huffman coding of `text` takes, padding included.
uint64_t huffman_encoded_size(std::string_view text) noexcept;

// Appends the Huffman coding of `text`, padded to an octet boundary with the most significant
// bits of EOS (one-bits). Throws std::bad_alloc when the result could not be addressed.
void huffman_encode(std::string_view text, std::string* out);
// The same, with `size` = huffman_encoded_size(text) already known.
void huffman_encode(std::string_view text, uint64_t size, std::string* out);
// The coding of `text`, padded, written to `out`, which has room for huffman_max_size(text)
// octets; returns the number written (huffman_encoded_size), found without a pass of its own.
size_t huffman_encode(std::string_view text, char* out) noexcept;
// Room for any text of this many octets: the longest code is 30 bits.
constexpr uint64_t huffman_max_size(uint64_t octets) {
  return (octets * 30 + 7) / 8;
}

// Appends the octets that `coded` spells. False, with *out holding a prefix of the decoding,
// when `coded` holds EOS, a bit pattern no code starts with, or padding that is longer than
// seven bits or not all one-bits (RFC 7541 section 5.2). Room for twice the coded length is
// made first (no code is shorter than 5 bits); std::bad_alloc when that cannot be had.
[[nodiscard]] bool huffman_decode(std::string_view coded, std::string* out);
// The same into `out`, which has room for 2 * coded.size() octets (all of which it may write);
// *decoded is the number of octets decoded, also when it fails.
[[nodiscard]] bool huffman_decode(std::string_view coded, char* out, size_t* decoded) noexcept;

}  // namespace quillet::h2::hpack
