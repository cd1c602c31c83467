// Masking: for fuzzed data, key, alignment and phase, every fast path (and the entry point the
// codec uses) gives the octets of the plain loop, copying and in place, whole and in fuzzed
// pieces that carry the phase from one to the next.
#include "fuzz/fuzz_check.h"
#include "wire/ws/mask.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

using namespace quillet::ws;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  MaskKey key;
  for (uint8_t& b : key)
    b = in.ConsumeIntegral<uint8_t>();
  const size_t phase = in.ConsumeIntegralInRange<size_t>(0, 3);
  const size_t offset = in.ConsumeIntegralInRange<size_t>(0, 31);
  std::vector<size_t> cuts;
  for (int i = in.ConsumeIntegralInRange<int>(0, 8); i > 0; --i)
    cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, 200));
  const std::string payload = in.ConsumeRemainingBytesAsString();
  const size_t n = payload.size();

  // The payload at `offset` into a buffer, so that every alignment is met.
  std::string source(offset, 's');
  source += payload;
  std::string expected(offset + n + 8, '#');
  const size_t end_phase =
      mask_copy_reference(expected.data() + offset, source.data() + offset, n, key, phase);
  FUZZ_CHECK(end_phase == (phase + n) % 4);

  for (size_t p = 0; p < kMaskPathCount; ++p) {
    const MaskPath path = MaskPath(p);
    if (!mask_path_available(path)) continue;
    std::string copied(offset + n + 8, '#');
    FUZZ_CHECK(mask_copy_with(path, copied.data() + offset, source.data() + offset, n, key,
                              phase) == end_phase);
    FUZZ_CHECK(copied == expected);
  }

  std::string in_place(offset + n + 8, '#');
  std::memcpy(in_place.data() + offset, payload.data(), n);
  FUZZ_CHECK(mask_in_place(in_place.data() + offset, n, key, phase) == end_phase);
  FUZZ_CHECK(in_place == expected);

  // In pieces through the entry point, the phase carried across.
  std::string pieces(offset + n + 8, '#');
  size_t at = 0, carried = phase;
  for (const size_t cut : cuts) {
    const size_t take = std::min(cut, n - at);
    carried =
        mask_copy(pieces.data() + offset + at, source.data() + offset + at, take, key, carried);
    at += take;
  }
  carried =
      mask_copy(pieces.data() + offset + at, source.data() + offset + at, n - at, key, carried);
  FUZZ_CHECK(carried == end_phase);
  FUZZ_CHECK(pieces == expected);
  return 0;
}
