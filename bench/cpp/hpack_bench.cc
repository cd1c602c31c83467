// HPACK alone: one pass over the browser corpus of bench/hpack_corpus.txt (19 requests, then 19
// responses, each direction with its own compression context, so the dynamic table fills as it
// goes), encoded and decoded by wire/h2/hpack and by nghttp2's deflater and inflater (a
// baseline, through its public API). A new context per pass, for both.
//
// Each side takes its natural input: ours a PseudoHeaders and a HeaderMap per list (built
// before timing), nghttp2 an nghttp2_nv array over the same strings. Decoding, ours fills a
// HeaderAccumulator (validating every field and indexing the map), nghttp2 hands out each
// field, whose lengths we add up. Both decoders decode both encoders' blocks; before timing,
// every combination is checked to give back the corpus.
#include "wire/h2/hpack/decoder.h"
#include "wire/h2/hpack/encoder.h"
#include "wire/h2/hpack/header_list.h"

#include <benchmark/benchmark.h>
#include <nghttp2/nghttp2.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using quillet::HeaderMap;
using quillet::h2::hpack::DecodeStatus;
using quillet::h2::hpack::Decoder;
using quillet::h2::hpack::Encoder;
using quillet::h2::hpack::HeaderAccumulator;
using quillet::h2::hpack::PseudoHeaders;
using quillet::h2::hpack::pseudo_header_from_name;

using Fields = std::vector<std::pair<std::string, std::string>>;

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "hpack_bench: %s\n", why.c_str());
  std::exit(1);
}

struct Corpus {
  std::vector<Fields> lists[2];  // requests, responses
};

Corpus load_corpus() {
  std::ifstream in(QUILLET_HPACK_CORPUS);
  if (!in) die("cannot read " QUILLET_HPACK_CORPUS);
  Corpus corpus;
  int section = -1;
  Fields fields;
  std::string line;
  auto flush = [&] {
    if (!fields.empty()) {
      if (section < 0) die("a header list before the first section");
      corpus.lists[section].push_back(std::move(fields));
      fields.clear();
    }
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '#') continue;
    if (line.empty()) {
      flush();
    } else if (line == "[requests]") {
      section = 0;
    } else if (line == "[responses]") {
      section = 1;
    } else {
      const size_t colon = line.find(": ", 1);
      if (colon == std::string::npos) die("bad line: " + line);
      fields.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
  }
  flush();
  return corpus;
}

// One direction's lists in both input shapes.
struct Direction {
  std::vector<PseudoHeaders> pseudo;
  std::vector<HeaderMap> maps;
  std::vector<std::vector<nghttp2_nv>> nvs;
  std::vector<std::string> ours_blocks;
  std::vector<std::string> nghttp2_blocks;
  const std::vector<Fields>* lists = nullptr;
  size_t field_bytes = 0;
};

nghttp2_nv nv_of(const std::string& name, const std::string& value) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
          value.size(), NGHTTP2_NV_FLAG_NONE};
}

std::vector<std::string> encode_ours(Direction& d) {
  Encoder encoder;
  std::vector<std::string> blocks(d.maps.size());
  for (size_t i = 0; i < d.maps.size(); ++i) encoder.encode(d.pseudo[i], d.maps[i], &blocks[i]);
  return blocks;
}

std::vector<std::string> encode_nghttp2(Direction& d) {
  nghttp2_hd_deflater* deflater = nullptr;
  if (nghttp2_hd_deflate_new(&deflater, 4096) != 0) die("nghttp2_hd_deflate_new");
  std::vector<std::string> blocks;
  for (auto& nva : d.nvs) {
    std::string block(nghttp2_hd_deflate_bound(deflater, nva.data(), nva.size()), '\0');
    const auto n = nghttp2_hd_deflate_hd(deflater, reinterpret_cast<uint8_t*>(block.data()),
                                         block.size(), nva.data(), nva.size());
    if (n < 0) die("nghttp2_hd_deflate_hd");
    block.resize(size_t(n));
    blocks.push_back(std::move(block));
  }
  nghttp2_hd_deflate_del(deflater);
  return blocks;
}

// Decodes `blocks` in turn into lists (for the check) with ours.
std::vector<Fields> decode_ours(const std::vector<std::string>& blocks) {
  Decoder decoder;
  std::vector<Fields> out;
  for (const auto& block : blocks) {
    HeaderAccumulator list;
    const auto r = decoder.decode(block, 1 << 16, &list);
    if (r.status != DecodeStatus::kComplete || list.malformed()) die("ours: a block failed");
    Fields fields;
    for (size_t i = 0; i < quillet::h2::hpack::kPseudoHeaderCount; ++i)
      if (list.pseudo().values[i])
        fields.emplace_back(quillet::h2::hpack::kPseudoHeaderNames[i], *list.pseudo().values[i]);
    list.fields().for_each(
        [&](std::string_view n, std::string_view v) { fields.emplace_back(n, v); });
    out.push_back(std::move(fields));
  }
  return out;
}

// Calls emit(name, value) per field of each block; false on an error.
template <class Emit>
bool inflate_all(nghttp2_hd_inflater* inflater, const std::vector<std::string>& blocks,
                 Emit&& emit) {
  for (const auto& block : blocks) {
    auto* in = reinterpret_cast<uint8_t*>(const_cast<char*>(block.data()));
    size_t left = block.size();
    for (;;) {
      nghttp2_nv nv;
      int flags = 0;
      const auto n = nghttp2_hd_inflate_hd2(inflater, &nv, &flags, in, left, 1);
      if (n < 0) return false;
      in += n;
      left -= size_t(n);
      if (flags & NGHTTP2_HD_INFLATE_EMIT) emit(nv);
      if (flags & NGHTTP2_HD_INFLATE_FINAL) {
        nghttp2_hd_inflate_end_headers(inflater);
        emit(nghttp2_nv{nullptr, nullptr, 0, 0, 0});  // the end of a list
        break;
      }
      if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && left == 0) break;
    }
  }
  return true;
}

std::vector<Fields> decode_nghttp2(const std::vector<std::string>& blocks) {
  nghttp2_hd_inflater* inflater = nullptr;
  if (nghttp2_hd_inflate_new(&inflater) != 0) die("nghttp2_hd_inflate_new");
  std::vector<Fields> out(1);
  const bool ok = inflate_all(inflater, blocks, [&](const nghttp2_nv& nv) {
    if (nv.name == nullptr) {
      out.emplace_back();
      return;
    }
    out.back().emplace_back(std::string(reinterpret_cast<char*>(nv.name), nv.namelen),
                            std::string(reinterpret_cast<char*>(nv.value), nv.valuelen));
  });
  nghttp2_hd_inflate_del(inflater);
  if (!ok) die("nghttp2: a block failed");
  out.pop_back();
  return out;
}

// The corpus list as our decoder gives it back: pseudo-header fields first (they are), values
// of a name together (the corpus repeats no name).
void check(const std::vector<Fields>& got, const std::vector<Fields>& want, const char* what) {
  if (got != want) die(std::string("decoding does not give back the corpus: ") + what);
}

Direction directions[2];

void setup() {
  static Corpus corpus = load_corpus();
  for (int k = 0; k < 2; ++k) {
    Direction& d = directions[k];
    d.lists = &corpus.lists[k];
    if (d.lists->empty()) die("an empty section");
    for (const Fields& fields : *d.lists) {
      PseudoHeaders pseudo;
      HeaderMap map;
      std::vector<nghttp2_nv> nva;
      for (const auto& [name, value] : fields) {
        d.field_bytes += name.size() + value.size();
        nva.push_back(nv_of(name, value));
        if (const auto h = pseudo_header_from_name(name))
          pseudo[*h] = value;
        else if (!map.append(name, value))
          die("map refused " + name);
      }
      d.pseudo.push_back(std::move(pseudo));
      d.maps.push_back(std::move(map));
      d.nvs.push_back(std::move(nva));
    }
    d.ours_blocks = encode_ours(d);
    d.nghttp2_blocks = encode_nghttp2(d);
    check(decode_ours(d.ours_blocks), *d.lists, "ours of ours");
    check(decode_ours(d.nghttp2_blocks), *d.lists, "ours of nghttp2's");
    check(decode_nghttp2(d.ours_blocks), *d.lists, "nghttp2 of ours");
    check(decode_nghttp2(d.nghttp2_blocks), *d.lists, "nghttp2 of nghttp2's");
  }
}

size_t total(const std::vector<std::string>& blocks) {
  size_t n = 0;
  for (const auto& b : blocks) n += b.size();
  return n;
}

void counters(benchmark::State& state, const Direction& d) {
  state.SetBytesProcessed(int64_t(state.iterations() * d.field_bytes));
  state.counters["ours_block_B"] = double(total(d.ours_blocks));
  state.counters["nghttp2_block_B"] = double(total(d.nghttp2_blocks));
}

void encode_with_ours(benchmark::State& state, int k) {
  Direction& d = directions[k];
  std::string out;
  for (auto _ : state) {
    Encoder encoder;
    for (size_t i = 0; i < d.maps.size(); ++i) {
      out.clear();
      encoder.encode(d.pseudo[i], d.maps[i], &out);
      benchmark::DoNotOptimize(out.data());
    }
  }
  counters(state, d);
}

void encode_with_nghttp2(benchmark::State& state, int k) {
  Direction& d = directions[k];
  std::string out(1 << 16, '\0');
  auto* buf = reinterpret_cast<uint8_t*>(out.data());
  for (auto _ : state) {
    nghttp2_hd_deflater* deflater = nullptr;
    if (nghttp2_hd_deflate_new(&deflater, 4096) != 0) die("nghttp2_hd_deflate_new");
    for (auto& nva : d.nvs) {
      const auto n = nghttp2_hd_deflate_hd(deflater, buf, out.size(), nva.data(), nva.size());
      benchmark::DoNotOptimize(n);
    }
    nghttp2_hd_deflate_del(deflater);
  }
  counters(state, d);
}

// `nghttp2_input`: decode the blocks nghttp2's deflater made (else ours').
void decode_with_ours(benchmark::State& state, int k, bool nghttp2_input) {
  Direction& d = directions[k];
  const auto& blocks = nghttp2_input ? d.nghttp2_blocks : d.ours_blocks;
  HeaderAccumulator list;
  for (auto _ : state) {
    Decoder decoder;
    for (const auto& block : blocks) {
      list.clear();
      const auto r = decoder.decode(block, 1 << 16, &list);
      if (r.status != DecodeStatus::kComplete) {
        state.SkipWithError("a block failed");
        return;
      }
      benchmark::DoNotOptimize(list.fields().size());
    }
  }
  counters(state, d);
}

void decode_with_nghttp2(benchmark::State& state, int k, bool nghttp2_input) {
  Direction& d = directions[k];
  const auto& blocks = nghttp2_input ? d.nghttp2_blocks : d.ours_blocks;
  for (auto _ : state) {
    nghttp2_hd_inflater* inflater = nullptr;
    if (nghttp2_hd_inflate_new(&inflater) != 0) die("nghttp2_hd_inflate_new");
    size_t bytes = 0;
    const bool ok = inflate_all(inflater, blocks,
                                [&](const nghttp2_nv& nv) { bytes += nv.namelen + nv.valuelen; });
    nghttp2_hd_inflate_del(inflater);
    if (!ok) {
      state.SkipWithError("a block failed");
      return;
    }
    benchmark::DoNotOptimize(bytes);
  }
  counters(state, d);
}

BENCHMARK_CAPTURE(encode_with_ours, requests, 0);
BENCHMARK_CAPTURE(encode_with_nghttp2, requests, 0);
BENCHMARK_CAPTURE(encode_with_ours, responses, 1);
BENCHMARK_CAPTURE(encode_with_nghttp2, responses, 1);
BENCHMARK_CAPTURE(decode_with_ours, requests_ours_blocks, 0, false);
BENCHMARK_CAPTURE(decode_with_nghttp2, requests_ours_blocks, 0, false);
BENCHMARK_CAPTURE(decode_with_ours, requests_nghttp2_blocks, 0, true);
BENCHMARK_CAPTURE(decode_with_nghttp2, requests_nghttp2_blocks, 0, true);
BENCHMARK_CAPTURE(decode_with_ours, responses_ours_blocks, 1, false);
BENCHMARK_CAPTURE(decode_with_nghttp2, responses_ours_blocks, 1, false);
BENCHMARK_CAPTURE(decode_with_ours, responses_nghttp2_blocks, 1, true);
BENCHMARK_CAPTURE(decode_with_nghttp2, responses_nghttp2_blocks, 1, true);

}  // namespace

int main(int argc, char** argv) {
  setup();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
