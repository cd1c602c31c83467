// The Huffman code of HPACK walked one bit at a time through a binary tree built from the
// per-symbol table: slow and plain, sharing nothing with the decoder's tables but the code
// itself, so that the table-driven decoder can be checked against it. Shared by the C++ tests
// and the hpack_decoder fuzz target.
#pragma once

#include "wire/h2/hpack/huffman.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::h2::hpack::test_support {

class BitDecoder {
 public:
  BitDecoder() {
    nodes_.push_back({});
    for (size_t sym = 0; sym < kHuffmanSymbols; ++sym) {
      size_t n = 0;
      for (int bit = kHuffmanCodes[sym].length - 1; bit >= 0; --bit) {
        const int b = (kHuffmanCodes[sym].bits >> bit) & 1;
        if (nodes_[n].child[b] == 0) {
          nodes_[n].child[b] = int(nodes_.size());
          nodes_.push_back({});
        }
        n = size_t(nodes_[n].child[b]);
      }
      nodes_[n].symbol = int(sym);
    }
  }

  // Fails on EOS, on padding of more than seven bits, or on padding with a zero-bit.
  std::optional<std::string> decode(std::string_view coded) const {
    std::string out;
    size_t n = 0;
    unsigned depth = 0;
    bool all_ones = true;
    for (const char c : coded) {
      for (int bit = 7; bit >= 0; --bit) {
        const int b = (uint8_t(c) >> bit) & 1;
        n = size_t(nodes_[n].child[b]);
        ++depth;
        all_ones = all_ones && b == 1;
        if (nodes_[n].symbol == int(kHuffmanEos)) return std::nullopt;
        if (nodes_[n].symbol >= 0) {
          out.push_back(char(nodes_[n].symbol));
          n = 0;
          depth = 0;
          all_ones = true;
        }
      }
    }
    if (depth > 7 || !all_ones) return std::nullopt;
    return out;
  }

 private:
  struct Node {
    int child[2] = {0, 0};
    int symbol = -1;
  };
  std::vector<Node> nodes_;
};

}  // namespace quillet::h2::hpack::test_support
