// The WebSocket frame decoder in either role, over bytes that are raw or built frame by frame
// (by the frame writer, with fuzzed headers, fragments, control frames and broken rules mixed
// in). The same bytes are decoded at once, in fuzzed pieces and (up to 1 KiB) octet by octet,
// and at once and in pieces again with messages left in the input (`leave_in_input`).
// Properties: all give the same events, the same failure and the same closed state; every text
// message that is not compressed is valid UTF-8, every message is within the size limit, every
// control payload within 125 octets, every Close code valid on the wire (or 1005 for none) and
// its reason valid UTF-8.
#include "fuzz/fuzz_check.h"
#include "wire/ws/frame.h"
#include "wire/ws/utf8.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace quillet::ws;

namespace {

constexpr uint64_t kLimits[] = {0, 1, 125, 126, 1000, 65536, kDefaultMaxMessageSize};

struct Seen {
  EventKind kind;
  bool compressed;
  uint16_t close_code;
  std::string payload;
  bool operator==(const Seen&) const = default;
};

struct Run {
  std::vector<Seen> events;
  std::optional<Failure> failure;
  bool closed = false;
};

Run decode_pieces(const DecoderOptions& options, const std::vector<std::string_view>& pieces) {
  Decoder d(options);
  Batch batch;
  Run run;
  for (const std::string_view piece : pieces) {
    run.failure = d.decode(piece, &batch);
    for (const Event& e : batch.events) {
      const bool message = e.kind == EventKind::kText || e.kind == EventKind::kBinary;
      const std::string_view base = e.in_input ? piece
                                    : message  ? std::string_view(batch.data)
                                               : std::string_view(batch.control);
      FUZZ_CHECK(e.offset <= base.size() && e.size <= base.size() - e.offset);
      FUZZ_CHECK(!e.in_input || (options.leave_in_input && message &&
                                 (e.kind == EventKind::kBinary || e.compressed)));
      const std::string payload_octets = batch.payload_copy(e);
      const std::string_view payload = payload_octets;
      switch (e.kind) {
        case EventKind::kText:
          FUZZ_CHECK(e.compressed || valid_utf8(payload));
          FUZZ_CHECK(payload.size() <= options.max_message_size);
          break;
        case EventKind::kBinary:
          FUZZ_CHECK(payload.size() <= options.max_message_size);
          break;
        case EventKind::kPing:
        case EventKind::kPong:
          FUZZ_CHECK(payload.size() <= kMaxControlPayload && !e.compressed);
          break;
        case EventKind::kClose:
          FUZZ_CHECK(payload.size() <= kMaxCloseReason && valid_utf8(payload));
          FUZZ_CHECK(close_code_valid(e.close_code) ||
                     (e.close_code == kCloseNoStatus && payload.empty()));
          break;
      }
      FUZZ_CHECK(options.allow_rsv1 || !e.compressed);
      run.events.push_back(Seen{e.kind, e.compressed, e.close_code, std::string(payload)});
    }
    if (run.failure) {
      FUZZ_CHECK(d.failure() == run.failure);
      break;
    }
  }
  run.closed = d.closed();
  FUZZ_CHECK(!run.closed || (!run.events.empty() && run.events.back().kind == EventKind::kClose));
  return run;
}

// One frame, as the writer makes it or with a rule broken on purpose.
void build_frame(FuzzedDataProvider& in, const DecoderOptions& options, std::string* out) {
  static constexpr Opcode kOpcodes[] = {Opcode::kContinuation, Opcode::kText, Opcode::kBinary,
                                        Opcode::kClose,        Opcode::kPing, Opcode::kPong};
  FrameHead head;
  head.opcode = in.PickValueInArray(kOpcodes);
  head.fin = in.ConsumeIntegralInRange<int>(0, 3) != 0;
  head.rsv1 = options.allow_rsv1 && in.ConsumeIntegralInRange<int>(0, 3) == 0;
  if (is_control(head.opcode) || head.opcode == Opcode::kContinuation) head.rsv1 = false;
  if (is_control(head.opcode)) head.fin = true;
  const bool masked =
      (options.role == Role::kServer) != (in.ConsumeIntegralInRange<int>(0, 31) == 0);
  if (masked) {
    MaskKey key;
    for (uint8_t& b : key)
      b = in.ConsumeIntegral<uint8_t>();
    head.mask = key;
  }
  std::string payload;
  if (head.opcode == Opcode::kClose && in.ConsumeBool()) {
    const uint16_t code =
        in.ConsumeBool()
            ? in.PickValueInArray<uint16_t>({1000, 1001, 1005, 1011, 3000, 4999, 5000, 0})
            : in.ConsumeIntegral<uint16_t>();
    payload = {char(code >> 8), char(code)};
    payload += in.ConsumeRandomLengthString(20);
  } else if (in.ConsumeIntegralInRange<int>(0, 31) == 0) {
    payload.assign(in.PickValueInArray<size_t>({125, 126, 1000, 65535, 65536}), 'p');
  } else {
    payload = in.ConsumeRandomLengthString(40);
  }
  if (is_control(head.opcode)) payload.resize(std::min(payload.size(), kMaxControlPayload));
  const size_t start = out->size();
  if (write_frame(head, payload, out)) return;
  // Now and then a rule broken in the header the writer made.
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
      (*out)[start] = char(uint8_t((*out)[start]) ^ (1 << in.ConsumeIntegralInRange<int>(4, 7)));
      break;
    case 1:
      (*out)[start] = char((uint8_t((*out)[start]) & 0xF0) | in.ConsumeIntegralInRange<int>(0, 15));
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  DecoderOptions options;
  options.role = in.ConsumeBool() ? Role::kServer : Role::kClient;
  options.allow_rsv1 = in.ConsumeBool();
  options.max_message_size = in.PickValueInArray(kLimits);
  const bool structured = in.ConsumeBool();
  std::vector<size_t> sizes;
  for (int i = in.ConsumeIntegralInRange<int>(0, 16); i > 0; --i)
    sizes.push_back(in.ConsumeIntegralInRange<size_t>(0, 40));

  std::string bytes;
  if (structured) {
    for (int frames = 0; frames < 24 && in.remaining_bytes() > 0; ++frames)
      build_frame(in, options, &bytes);
  } else {
    bytes = in.ConsumeRemainingBytesAsString();
  }
  const std::string_view all(bytes);

  const Run whole = decode_pieces(options, {all});
  const std::vector<std::string_view> pieces = cut_in_pieces(all, sizes);
  const Run split = decode_pieces(options, pieces);

  FUZZ_CHECK(split.failure == whole.failure);
  FUZZ_CHECK(split.events == whole.events);
  FUZZ_CHECK(split.closed == whole.closed);
  if (all.size() <= 1024) {
    std::vector<std::string_view> octets;
    for (size_t i = 0; i < all.size(); ++i)
      octets.push_back(all.substr(i, 1));
    const Run one_by_one = decode_pieces(options, octets);
    FUZZ_CHECK(one_by_one.failure == whole.failure);
    FUZZ_CHECK(one_by_one.events == whole.events);
    FUZZ_CHECK(one_by_one.closed == whole.closed);
  }
  DecoderOptions left = options;
  left.leave_in_input = true;
  for (const Run& run : {decode_pieces(left, {all}), decode_pieces(left, pieces)}) {
    FUZZ_CHECK(run.failure == whole.failure);
    FUZZ_CHECK(run.events == whole.events);
    FUZZ_CHECK(run.closed == whole.closed);
  }
  return 0;
}
