// Body decoding (declared length, chunked, close-delimited) with the input fed in pieces cut at
// points the input picks: the data, the outcome, the trailers and the bytes left over must equal
// those of decoding the same input fed at once. A second mode frames the input with the chunk
// writer and checks that decoding gives it back.
#include "wire/h1/body_decoder.h"
#include "fuzz/fuzz_check.h"
#include "wire/h1/body_encoder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace quillet;
using namespace quillet::h1;

namespace {

struct Run {
  std::string data;
  DecodeStatus last = DecodeStatus::kNeedMore;
  std::optional<Error> error;
  std::string left;
  std::optional<HeaderMap> trailers;
};

// Decodes until the decoder needs more input, ends or fails.
void drain(BodyDecoder& decoder, Run& run) {
  for (int guard = 0;; ++guard) {
    FUZZ_CHECK(guard < 1 << 20);
    DecodeResult r = decoder.decode_into(&run.data);
    run.last = r.status;
    if (r.status == DecodeStatus::kData) {
      FUZZ_CHECK(!r.data.empty());
      continue;
    }
    if (r.status == DecodeStatus::kError) {
      FUZZ_CHECK(r.error.has_value());
      run.error = r.error;
    }
    return;
  }
}

Run decode(BodyKind framing, uint64_t length, const std::vector<std::string>& pieces, bool eof) {
  BodyDecoder decoder(framing, length);
  Run run;
  for (const std::string& piece : pieces) {
    decoder.feed(piece);
    drain(decoder, run);
  }
  if (eof) decoder.mark_eof();
  drain(decoder, run);
  FUZZ_CHECK((run.last == DecodeStatus::kComplete) == decoder.is_complete());
  run.left = decoder.take_buffered();
  run.trailers = decoder.take_trailers();
  return run;
}

bool same_error(const std::optional<Error>& a, const std::optional<Error>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->category != b->category || a->parse != b->parse || a->user != b->user) return false;
  if (a->cause.has_value() != b->cause.has_value()) return false;
  return !a->cause || (a->cause->io == b->cause->io && a->cause->text == b->cause->text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t mode = in.ConsumeIntegral<uint8_t>();
  const bool eof = mode & 0x10;

  if ((mode & 0x0F) == 0x0F) {
    // Round trip: frames written by the chunk writer decode to their data.
    std::string wire;
    std::string expected;
    while (in.remaining_bytes() > 0) {
      std::string chunk = in.ConsumeRandomLengthString(300);
      if (chunk.empty()) break;
      std::string frame(chunk_frame_size(chunk.size()), '\0');
      FUZZ_CHECK(write_chunk_frame(chunk, frame.data()) == frame.data() + frame.size());
      wire += frame;
      expected += chunk;
    }
    wire += kChunkedTerminator;
    Run run = decode(BodyKind::kChunked, 0, {wire}, false);
    FUZZ_CHECK(run.last == DecodeStatus::kComplete);
    FUZZ_CHECK(run.data == expected);
    FUZZ_CHECK(run.left.empty());
    return 0;
  }

  BodyKind framing;
  switch (mode % 3) {
    case 0:
      framing = BodyKind::kChunked;
      break;
    case 1:
      framing = BodyKind::kLength;
      break;
    default:
      framing = BodyKind::kClose;
  }
  const uint64_t length = in.ConsumeIntegralInRange<uint64_t>(0, 4096);
  const size_t cuts = in.ConsumeIntegralInRange<size_t>(0, 16);
  std::vector<size_t> points;
  for (size_t i = 0; i < cuts; ++i)
    points.push_back(in.ConsumeIntegral<uint16_t>());
  const std::string body = in.ConsumeRemainingBytesAsString();

  Run whole = decode(framing, length, {body}, eof);

  std::vector<std::string> pieces;
  size_t at = 0;
  for (size_t p : points) {
    if (body.empty()) break;
    size_t n = p % (body.size() - at + 1);
    pieces.push_back(body.substr(at, n));
    at += n;
  }
  pieces.push_back(body.substr(at));
  Run split = decode(framing, length, pieces, eof);

  FUZZ_CHECK(split.data == whole.data);
  FUZZ_CHECK(split.last == whole.last);
  FUZZ_CHECK(same_error(split.error, whole.error));
  FUZZ_CHECK(split.trailers.has_value() == whole.trailers.has_value());
  if (whole.trailers) FUZZ_CHECK(*split.trailers == *whole.trailers);
  if (whole.last == DecodeStatus::kComplete) FUZZ_CHECK(split.left == whole.left);
  if (framing == BodyKind::kLength) {
    FUZZ_CHECK(whole.data.size() <= length);
    if (whole.last == DecodeStatus::kComplete) FUZZ_CHECK(whole.data == body.substr(0, length));
  }
  if (framing == BodyKind::kClose && eof) {
    FUZZ_CHECK(whole.last == DecodeStatus::kComplete);
    FUZZ_CHECK(whole.data == body);
  }
  return 0;
}
