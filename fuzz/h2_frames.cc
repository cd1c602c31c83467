// The HTTP/2 frame decoder in either role, over bytes that are raw or built frame by frame (with
// real HPACK blocks cut across CONTINUATION frames). The same bytes are decoded three ways: at
// once, one frame per call, and in fuzzed pieces (the first piece sometimes through prime()).
// Properties: the three agree on the connection error; without one they give the same events and
// leave the same bytes buffered; with one, the events delivered before it are a prefix of the
// frame-by-frame events. Every event is well formed: payload views inside the batch, padding
// within the frame, stream ids below 2^31, header names lower-case tokens and values field
// bytes without whitespace at either end, :status three digits; the over-size mark is the same
// however the bytes were cut.
#include "fuzz/fuzz_check.h"
#include "wire/common/chars.h"
#include "wire/h2/error.h"
#include "wire/h2/frame.h"
#include "wire/h2/hpack/encoder.h"
#include "wire/h2/preface.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace quillet;
using namespace quillet::h2;

namespace {

constexpr uint32_t kFrameSizes[] = {kDefaultMaxFrameSize, 16385, 65536, kMaxMaxFrameSize};
constexpr uint32_t kListSizes[] = {0, 1, 100, 4096, 65536, kDefaultMaxHeaderListSize};
constexpr uint32_t kTableSizes[] = {0, 64, 4096, 65536};

// An event as plain values, copied out of its batch.
struct Seen {
  FrameEventKind kind;
  bool flag;
  uint32_t stream_id, code, length, padding;
  std::string bytes;
  std::array<char, 8> ping;
  Settings settings;
  std::optional<hpack::PseudoHeaders> pseudo;
  std::vector<std::pair<std::string, std::string>> fields;
  bool over_size = false;
  bool operator==(const Seen&) const = default;
};

bool lower_token(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return chars::token(c) && !(c >= 'A' && c <= 'Z');
  });
}

// Field bytes, with no SP or HTAB at either end.
bool field_bytes(std::string_view value) {
  const auto edge = [](char c) { return c == ' ' || c == '\t'; };
  return std::all_of(value.begin(), value.end(), [](char c) { return chars::field_value(c); }) &&
         (value.empty() || (!edge(value.front()) && !edge(value.back())));
}

Seen seen(const DecodeBatch& batch, const FrameEvent& e) {
  FUZZ_CHECK(e.bytes_offset <= batch.base.size() &&
             e.bytes_size <= batch.base.size() - e.bytes_offset);
  FUZZ_CHECK(e.stream_id <= kMaxStreamId);
  Seen s{e.kind, e.flag,     e.stream_id,  e.code, e.length, e.padding, std::string(batch.bytes(e)),
         e.ping, e.settings, std::nullopt, {}};
  switch (e.kind) {
    case FrameEventKind::kData:
      FUZZ_CHECK(e.stream_id != 0 && e.padding <= e.length && e.length - e.padding == e.bytes_size);
      break;
    case FrameEventKind::kHeaders: {
      FUZZ_CHECK(e.block != nullptr && e.stream_id != 0);
      s.pseudo = e.block->pseudo;
      s.over_size = e.block->over_size;
      if (const auto& status = e.block->pseudo[hpack::PseudoHeader::kStatus]) {
        FUZZ_CHECK(status->size() == 3 && (*status)[0] >= '1' && (*status)[0] <= '9');
        FUZZ_CHECK(block_facts(*e.block).status.value_or(0) >= 100);
      }
      e.block->fields.for_each([&](std::string_view name, std::string_view value) {
        FUZZ_CHECK(lower_token(name) && field_bytes(value));
        s.fields.emplace_back(name, value);
      });
      break;
    }
    case FrameEventKind::kStreamError:
      FUZZ_CHECK(e.code == kProtocolError && e.block == nullptr);
      break;
    case FrameEventKind::kWindowUpdate:
      FUZZ_CHECK(e.code >= 1 && e.code <= kMaxWindowSize);
      break;
    case FrameEventKind::kSettings:
      FUZZ_CHECK(!e.flag || e.settings == Settings());
      break;
    case FrameEventKind::kPing:
    case FrameEventKind::kGoAway:
    case FrameEventKind::kRstStream:
    case FrameEventKind::kPriority:
      break;
  }
  return s;
}

struct Limits {
  bool server = false;
  uint32_t max_frame_size = kDefaultMaxFrameSize;
  uint32_t max_header_list_size = kDefaultMaxHeaderListSize;
  std::optional<uint32_t> table_size;
};

FrameDecoder make_decoder(const Limits& limits) {
  FrameDecoder d(limits.server);
  d.set_max_frame_size(limits.max_frame_size);
  d.set_max_header_list_size(limits.max_header_list_size);
  if (limits.table_size) d.queue_max_table_size(*limits.table_size);
  return d;
}

struct Run {
  std::vector<Seen> events;
  std::optional<FrameError> error;
  size_t buffered = 0;
};

// Decodes `pieces` in order, stopping at the first connection error.
Run decode_pieces(const Limits& limits, const std::vector<std::string_view>& pieces,
                  bool prime_first) {
  FrameDecoder d = make_decoder(limits);
  Run run;
  DecodeBatch batch;
  for (size_t i = 0; i < pieces.size() && !run.error; ++i) {
    std::string_view piece = pieces[i];
    if (i == 0 && prime_first) {
      // prime() keeps what it took (as frame bytes, or as the preface so far), so decode()
      // then starts from nothing new.
      d.prime(piece);
      piece = {};
    }
    run.error = d.decode(piece, &batch);
    if (run.error) {
      FUZZ_CHECK(batch.events.empty());
      break;
    }
    for (const FrameEvent& e : batch.events)
      run.events.push_back(seen(batch, e));
  }
  run.buffered = d.buffered();
  return run;
}

// The bytes cut at frame boundaries, as the frame headers announce them.
std::vector<std::string_view> frame_pieces(std::string_view bytes, bool server) {
  std::vector<std::string_view> pieces;
  size_t pos = 0;
  if (server) {
    pos = std::min(bytes.size(), kClientPreface.size());
    pieces.push_back(bytes.substr(0, pos));
  }
  while (pos < bytes.size()) {
    size_t n = bytes.size() - pos;
    if (n >= kFrameHeaderSize) {
      const auto b = [&](size_t i) { return size_t(uint8_t(bytes[pos + i])); };
      n = std::min(n, kFrameHeaderSize + (b(0) << 16 | b(1) << 8 | b(2)));
    }
    pieces.push_back(bytes.substr(pos, n));
    pos += n;
  }
  return pieces;
}

// --- the frame builder ---

const std::string_view kNames[] = {"accept",  "x-a",
                                   "cookie",  "content-length",
                                   "te",      "connection",
                                   "X-Upper", "",
                                   "a\"b",    ":path",
                                   ":status", ":bogus",
                                   "date",    "x-long-name-for-the-table"};
const std::string_view kValues[] = {"",         "1",   "trailers", "gzip", "a b", "\r\n", "\x7f",
                                    "\xc3\xa9", "200", "99",       "/",    "GET", "G T"};

void put_header(std::string* out, size_t length, uint8_t type, uint8_t flags, uint32_t sid) {
  const char h[9] = {char(length >> 16), char(length >> 8), char(length),   char(type), char(flags),
                     char(sid >> 24),    char(sid >> 16),   char(sid >> 8), char(sid)};
  out->append(h, 9);
}

std::string fuzzed_text(FuzzedDataProvider& in, const std::string_view* pool, size_t n) {
  if (in.ConsumeIntegralInRange<int>(0, 3) != 0)
    return std::string(pool[in.ConsumeIntegralInRange<size_t>(0, n - 1)]);
  return in.ConsumeRandomLengthString(24);
}

// A header block written by our encoder (whose table the decoder mirrors), fields fuzzed. The
// encoder does not check its fields, so the block may well be malformed or refused.
std::string hpack_block(FuzzedDataProvider& in, hpack::Encoder& encoder) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
    encoder.update_max_table_size(in.PickValueInArray(kTableSizes));
  hpack::PseudoHeaders pseudo;
  for (size_t i = 0; i < hpack::kPseudoHeaderCount; ++i) {
    if (in.ConsumeIntegralInRange<int>(0, 2) == 0)
      pseudo.values[i] = fuzzed_text(in, kValues, std::size(kValues));
  }
  HeaderMap fields;
  const int count = in.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < count; ++i) {
    const std::string name = fuzzed_text(in, kNames, std::size(kNames));
    std::string value = fuzzed_text(in, kValues, std::size(kValues));
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) value.assign(5000, 'v');
    if (!fields.append(name, value)) break;
  }
  std::string block;
  encoder.encode(pseudo, fields, &block);
  return block;
}

uint32_t stream_id(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.ConsumeIntegral<uint32_t>();
  return in.ConsumeIntegralInRange<uint32_t>(0, 7);
}

// One or more frames appended to `out`.
void build_frame(FuzzedDataProvider& in, hpack::Encoder& encoder, std::string* out) {
  uint8_t type = in.ConsumeIntegralInRange<uint8_t>(0, 10);
  if (type == 10) type = in.ConsumeIntegral<uint8_t>();  // unknown types are skipped
  uint8_t flags = in.ConsumeIntegral<uint8_t>();
  const uint32_t sid = stream_id(in);
  std::string payload;
  if (type == uint8_t(FrameType::kHeaders) && in.ConsumeBool()) {
    // A real block, with the padding and priority its flags ask for, cut into CONTINUATIONs.
    const std::string block = hpack_block(in, encoder);
    std::vector<size_t> cuts;
    for (int i = in.ConsumeIntegralInRange<int>(0, 7); i > 0; --i)
      cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, block.size()));
    cuts.push_back(block.size());
    std::sort(cuts.begin(), cuts.end());
    const uint8_t pad = (flags & kFlagPadded) ? in.ConsumeIntegralInRange<uint8_t>(0, 5) : 0;
    if (flags & kFlagPadded) payload.push_back(char(pad));
    if (flags & kFlagPriority) payload.append(in.ConsumeBytesAsString(5));
    payload.append(block, 0, cuts[0]);
    payload.append(pad, '\0');
    const bool one = cuts.size() == 1;
    flags = one ? uint8_t(flags | kFlagEndHeaders) : uint8_t(flags & ~kFlagEndHeaders);
    put_header(out, payload.size(), type, flags, sid);
    out->append(payload);
    for (size_t i = 1; i < cuts.size(); ++i) {
      const bool last = i + 1 == cuts.size();
      const uint32_t continuation_sid = in.ConsumeIntegralInRange<int>(0, 31) == 0 ? sid + 2 : sid;
      put_header(out, cuts[i] - cuts[i - 1], uint8_t(FrameType::kContinuation),
                 last ? kFlagEndHeaders : 0, continuation_sid);
      out->append(block, cuts[i - 1], cuts[i] - cuts[i - 1]);
    }
    return;
  }
  if (type == uint8_t(FrameType::kSettings) && in.ConsumeBool()) {
    for (int i = in.ConsumeIntegralInRange<int>(0, 4); i > 0; --i) {
      const uint16_t id = in.ConsumeIntegralInRange<uint16_t>(0, 9);
      uint32_t value = in.ConsumeIntegral<uint32_t>();
      if (in.ConsumeBool()) value = in.PickValueInArray({0u, 1u, 2u, 16384u, 16777215u});
      const char e[6] = {char(id >> 8),     char(id),         char(value >> 24),
                         char(value >> 16), char(value >> 8), char(value)};
      payload.append(e, 6);
    }
  } else if (in.ConsumeIntegralInRange<int>(0, 31) == 0) {
    // Long payloads: frames at and past the frame-size limits.
    payload.assign(in.PickValueInArray({16383u, 16384u, 16385u, 70000u}), 'p');
  } else {
    payload = in.ConsumeRandomLengthString(64);
  }
  put_header(out, payload.size(), type, flags, sid);
  out->append(payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Limits limits;
  limits.server = in.ConsumeBool();
  const bool structured = in.ConsumeBool();
  const bool prime_first = limits.server && in.ConsumeBool();
  limits.max_frame_size = in.PickValueInArray(kFrameSizes);
  limits.max_header_list_size = in.PickValueInArray(kListSizes);
  if (in.ConsumeBool()) limits.table_size = in.PickValueInArray(kTableSizes);
  std::vector<size_t> sizes;
  for (int i = in.ConsumeIntegralInRange<int>(0, 16); i > 0; --i)
    sizes.push_back(in.ConsumeIntegralInRange<size_t>(0, 40));

  std::string bytes;
  if (structured) {
    if (limits.server && in.ConsumeIntegralInRange<int>(0, 15) != 0) bytes.append(kClientPreface);
    hpack::Encoder encoder;
    for (int frames = 0; frames < 24 && in.remaining_bytes() > 0; ++frames)
      build_frame(in, encoder, &bytes);
  } else {
    bytes = in.ConsumeRemainingBytesAsString();
  }
  const std::string_view all(bytes);

  const Run whole = decode_pieces(limits, {all}, false);
  const Run framed = decode_pieces(limits, frame_pieces(all, limits.server), false);

  const std::vector<std::string_view> pieces = cut_in_pieces(all, sizes);
  const Run split = decode_pieces(limits, pieces, prime_first);

  FUZZ_CHECK(whole.error == framed.error);
  FUZZ_CHECK(split.error == whole.error);
  if (!whole.error) {
    FUZZ_CHECK(whole.events == framed.events);
    FUZZ_CHECK(split.events == whole.events);
    FUZZ_CHECK(whole.buffered == framed.buffered && split.buffered == whole.buffered);
  } else {
    FUZZ_CHECK(whole.events.empty());
    FUZZ_CHECK(split.events.size() <= framed.events.size());
    FUZZ_CHECK(std::equal(split.events.begin(), split.events.end(), framed.events.begin()));
  }
  return 0;
}
