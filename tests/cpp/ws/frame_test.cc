// The WebSocket frame decoder and writers: every rule of a frame header, fragmentation, the size
// limit, Close payloads and text validation, each decoded at every split of its input.
#include "wire/ws/frame.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::ws {
namespace {

constexpr MaskKey kKey = {0x37, 0xfa, 0x21, 0x3d};

constexpr uint8_t kFin = 0x80;
constexpr uint8_t kRsv1 = 0x40;
constexpr uint8_t kText = 0x1;
constexpr uint8_t kBinary = 0x2;
constexpr uint8_t kClose = 0x8;
constexpr uint8_t kPing = 0x9;
constexpr uint8_t kPong = 0xA;

// A frame as a peer may send it, well formed or not: `b0` is FIN, RSV and the opcode; the length
// goes in `ext` extended octets (0, 2 or 8; -1 picks the shortest) and is `declared` when set.
std::string raw(uint8_t b0, std::string_view payload, std::optional<MaskKey> key = kKey,
                int ext = -1, std::optional<uint64_t> declared = std::nullopt) {
  const uint64_t n = declared.value_or(payload.size());
  if (ext < 0) ext = n < 126 ? 0 : n < 65536 ? 2 : 8;
  std::string out(1, char(b0));
  const uint8_t mask_bit = key ? 0x80 : 0;
  if (ext == 0) {
    out += char(mask_bit | n);
  } else {
    out += char(mask_bit | (ext == 2 ? 126 : 127));
    for (int i = ext - 1; i >= 0; --i)
      out += char(n >> (8 * i));
  }
  if (key) out.append(reinterpret_cast<const char*>(key->data()), 4);
  for (size_t i = 0; i < payload.size(); ++i)
    out += key ? char(uint8_t(payload[i]) ^ (*key)[i % 4]) : payload[i];
  return out;
}

std::string close_payload(uint16_t code, std::string_view reason = "") {
  return std::string{char(code >> 8), char(code)} + std::string(reason);
}

std::string describe(const Batch& batch, const Event& e) {
  static constexpr std::string_view kNames[] = {"text", "binary", "ping", "pong", "close"};
  static_assert(std::size(kNames) == kEventKindCount);
  std::string s(kNames[size_t(e.kind)]);
  if (e.compressed) s += "(z)";
  if (e.kind == EventKind::kClose) s += " " + std::to_string(e.close_code);
  s += " ";
  s += batch.payload_copy(e);
  return s;
}

struct Result {
  std::vector<std::string> events;
  std::optional<Failure> failure = std::nullopt;
  bool closed = false;
  bool operator==(const Result&) const = default;
};

void PrintTo(const Result& r, std::ostream* os) {
  for (const std::string& e : r.events)
    *os << "[" << e << "] ";
  if (r.failure) *os << "failure " << r.failure->message();
}

Result run(const DecoderOptions& options, const std::vector<std::string_view>& pieces) {
  Decoder d(options);
  Batch batch;
  Result r;
  for (const std::string_view piece : pieces) {
    const std::optional<Failure> f = d.decode(piece, &batch);
    for (const Event& e : batch.events)
      r.events.push_back(describe(batch, e));
    if (f) {
      r.failure = f;
      EXPECT_EQ(d.decode("x", &batch), f) << "a failure is for good";
      EXPECT_TRUE(batch.events.empty());
      break;
    }
  }
  r.closed = d.closed();
  return r;
}

// Decodes `input` whole, then cut in two at every position, then one octet at a time, and
// expects the same result from each, with messages left in the input and without; returns it.
Result decode_every_way(std::string_view input, const DecoderOptions& options = {}) {
  const Result whole = run(options, {input});
  DecoderOptions other = options;
  other.leave_in_input = !options.leave_in_input;
  EXPECT_EQ(run(other, {input}), whole) << "leave_in_input " << other.leave_in_input;
  for (size_t i = 0; i <= input.size(); ++i)
    EXPECT_EQ(run(other, {input.substr(0, i), input.substr(i)}), whole) << "cut at " << i;
  for (size_t i = 0; i <= input.size(); ++i)
    EXPECT_EQ(run(options, {input.substr(0, i), input.substr(i)}), whole) << "cut at " << i;
  std::vector<std::string_view> octets;
  for (size_t i = 0; i < input.size(); ++i)
    octets.push_back(input.substr(i, 1));
  EXPECT_EQ(run(options, octets), whole) << "octet by octet";
  return whole;
}

Result failed_with(FailureKind kind, std::vector<std::string> events = {}) {
  return Result{std::move(events), Failure{kind}, false};
}

TEST(WsDecoder, Rfc6455Examples) {
  // Section 5.7: a masked "Hello" from a client, and its unmasked form from a server.
  const std::string masked("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11);
  EXPECT_EQ(decode_every_way(masked), (Result{{"text Hello"}}));
  EXPECT_EQ(decode_every_way("\x81\x05Hello", {.role = Role::kClient}), (Result{{"text Hello"}}));
  // A fragmented unmasked text message, and unmasked ping and pong.
  EXPECT_EQ(
      decode_every_way("\x01\x03Hel\x80\x02lo\x89\x05Hello\x8a\x05Hello", {.role = Role::kClient}),
      (Result{{"text Hello", "ping Hello", "pong Hello"}}));
}

TEST(WsDecoder, MessagesControlFramesAndCloseAtEverySplit) {
  const std::string stream = raw(kText, "h\xc3") + raw(kFin | kPing, "p1") +  // fragment, ping
                             raw(0x0, "\xa9llo") + raw(kFin | kPong, "") +    // é across frames
                             raw(kFin, "!") + raw(kFin | kBinary, std::string("\0\xff", 2)) +
                             raw(kFin | kText, "") + raw(kBinary, "ab") + raw(kFin, "") +
                             raw(kFin | kClose, close_payload(1000, "bye")) +
                             raw(kFin | kText, "after the close");
  EXPECT_EQ(decode_every_way(stream),
            (Result{{"ping p1", "pong ", "text h\xc3\xa9llo!", std::string("binary \0\xff", 9),
                     "text ", "binary ab", "close 1000 bye"},
                    std::nullopt,
                    true}));
}

TEST(WsDecoder, EveryLengthClassAndItsEdges) {
  for (const size_t n : {0, 1, 125, 126, 127, 65535, 65536, 65537}) {
    std::string payload(n, 'x');
    for (size_t i = 0; i < n; i += 7)
      payload[i] = char('a' + i % 26);
    const std::string frame = raw(kFin | kBinary, payload);
    ASSERT_EQ(frame.size(), frame_header_size(n, true) + n);
    // Every cut inside the header and around the payload's first and last octets.
    std::vector<size_t> cuts;
    for (size_t i = 0; i <= frame_header_size(n, true) + 2 && i <= frame.size(); ++i)
      cuts.push_back(i);
    cuts.push_back(frame.size() - 1);
    for (const size_t cut : cuts) {
      Decoder d;
      Batch a, b;
      ASSERT_EQ(d.decode(std::string_view(frame).substr(0, cut), &a), std::nullopt);
      ASSERT_EQ(d.decode(std::string_view(frame).substr(cut), &b), std::nullopt);
      ASSERT_EQ(a.events.size() + b.events.size(), 1u) << n << " cut at " << cut;
      const Batch& got = a.events.empty() ? b : a;
      EXPECT_EQ(got.payload(got.events[0]), payload) << n << " cut at " << cut;
    }
  }
}

TEST(WsDecoder, LengthsMustUseTheirShortestEncoding) {
  const std::string p125(125, 'x'), p126(126, 'x'), p65535(65535, 'x');
  EXPECT_EQ(run({}, {raw(kFin | kBinary, p125, kKey, 2)}),
            failed_with(FailureKind::kNonMinimalLength));
  EXPECT_EQ(run({}, {raw(kFin | kBinary, "", kKey, 2)}),
            failed_with(FailureKind::kNonMinimalLength));
  EXPECT_EQ(run({}, {raw(kFin | kBinary, p65535, kKey, 8)}),
            failed_with(FailureKind::kNonMinimalLength));
  EXPECT_EQ(run({}, {raw(kFin | kBinary, p126, kKey, 8)}),
            failed_with(FailureKind::kNonMinimalLength));
  EXPECT_EQ(run({}, {raw(kFin | kBinary, p126, kKey, 2)}).events.size(), 1u);
  // The top bit of a 64-bit length is refused before the size limit is looked at.
  const DecoderOptions unlimited{.max_message_size = UINT64_MAX};
  EXPECT_EQ(decode_every_way(raw(kFin | kBinary, "", kKey, 8, uint64_t(1) << 63), unlimited),
            failed_with(FailureKind::kLengthTopBit));
  EXPECT_EQ(decode_every_way(raw(kFin | kBinary, "", kKey, 8, UINT64_MAX), unlimited),
            failed_with(FailureKind::kLengthTopBit));
  // A 32-bit host cannot hold 4 GiB, whatever the limit says.
  EXPECT_EQ(run(unlimited, {raw(kFin | kBinary, "", kKey, 8, uint64_t(1) << 32)}),
            sizeof(size_t) == 4 ? failed_with(FailureKind::kMessageTooBig) : Result{});
}

TEST(WsDecoder, MaskingFollowsTheRole) {
  EXPECT_EQ(decode_every_way(raw(kFin | kText, "hi", std::nullopt)),
            failed_with(FailureKind::kUnmaskedFrame));
  EXPECT_EQ(decode_every_way(raw(kFin | kText, "hi"), {.role = Role::kClient}),
            failed_with(FailureKind::kMaskedFrame));
  // Control frames too, and an empty payload is no exception.
  EXPECT_EQ(run({}, {raw(kFin | kPing, "", std::nullopt)}),
            failed_with(FailureKind::kUnmaskedFrame));
}

TEST(WsDecoder, ReservedBitsAndOpcodes) {
  for (const uint8_t op : {3, 4, 5, 6, 7, 0xB, 0xC, 0xD, 0xE, 0xF})
    EXPECT_EQ(run({}, {raw(kFin | op, "")}), failed_with(FailureKind::kReservedOpcode)) << int(op);
  for (const uint8_t rsv : {0x40, 0x20, 0x10, 0x70})
    EXPECT_EQ(run({}, {raw(kFin | rsv | kText, "x")}), failed_with(FailureKind::kReservedBits))
        << int(rsv);
  // RSV1 once permessage-deflate is on: on a message's first frame only.
  const DecoderOptions deflate{.allow_rsv1 = true};
  EXPECT_EQ(decode_every_way(raw(kRsv1 | kText, "\xff\xfe") + raw(kFin, std::string(1, '\0')) +
                                 raw(kFin | kRsv1 | kBinary, "z") + raw(kFin | kText, "plain"),
                             deflate),
            (Result{{std::string("text(z) \xff\xfe\0", 11), "binary(z) z", "text plain"}}));
  EXPECT_EQ(run(deflate, {raw(kText, "a") + raw(kFin | kRsv1, "b")}),
            failed_with(FailureKind::kRsv1OnContinuation));
  EXPECT_EQ(run(deflate, {raw(kFin | kRsv1 | kPing, "")}),
            failed_with(FailureKind::kRsv1OnControl));
  EXPECT_EQ(run(deflate, {raw(kFin | 0x20 | kText, "")}), failed_with(FailureKind::kReservedBits));
}

TEST(WsDecoder, ControlFrameShape) {
  const std::string p125(125, 'c'), p126(126, 'c');
  EXPECT_EQ(run({}, {raw(kFin | kPing, p125)}), (Result{{"ping " + p125}}));
  for (const uint8_t op : {kPing, kPong, kClose}) {
    EXPECT_EQ(decode_every_way(raw(kFin | op, p126)), failed_with(FailureKind::kControlTooLong));
    EXPECT_EQ(run({}, {raw(op, "")}), failed_with(FailureKind::kControlFragmented));
  }
}

TEST(WsDecoder, FragmentationOrder) {
  EXPECT_EQ(decode_every_way(raw(kFin, "x")), failed_with(FailureKind::kContinuationWithoutStart));
  EXPECT_EQ(decode_every_way(raw(kFin | kText, "a") + raw(0x0, "x")),
            failed_with(FailureKind::kContinuationWithoutStart, {"text a"}));
  EXPECT_EQ(decode_every_way(raw(kText, "a") + raw(kFin | kText, "b")),
            failed_with(FailureKind::kMessageInterrupted));
  EXPECT_EQ(decode_every_way(raw(kBinary, "a") + raw(kPing, "") + raw(kBinary, "b")),
            failed_with(FailureKind::kControlFragmented));
  // Many fragments, some empty, with control frames between them.
  std::string stream = raw(kBinary, "");
  std::string expected;
  for (int i = 0; i < 20; ++i) {
    const std::string piece(size_t(i), char('a' + i));
    stream += raw(0x0, piece) + (i % 3 == 0 ? raw(kFin | kPong, std::to_string(i)) : "");
    expected += piece;
  }
  stream += raw(kFin, "");
  const Result r = decode_every_way(stream);
  ASSERT_EQ(r.events.size(), 8u);
  EXPECT_EQ(r.events.back(), "binary " + expected);
}

TEST(WsDecoder, MessageSizeLimitIsCheckedAtEachHeader) {
  const DecoderOptions limit{.max_message_size = 10};
  EXPECT_EQ(decode_every_way(raw(kFin | kBinary, "0123456789"), limit),
            (Result{{"binary 0123456789"}}));
  // The header alone is enough: no payload octet has arrived.
  EXPECT_EQ(run(limit, {raw(kFin | kBinary, std::string(11, 'x')).substr(0, 6)}),
            failed_with(FailureKind::kMessageTooBig));
  EXPECT_EQ(decode_every_way(raw(kText, "01234") + raw(0x0, "5678") + raw(kFin, "9A"), limit),
            failed_with(FailureKind::kMessageTooBig));
  EXPECT_EQ(decode_every_way(raw(kText, "01234") + raw(0x0, "56789") + raw(kFin, ""), limit),
            (Result{{"text 0123456789"}}));
  // Control frames are not messages; the limit is per message.
  EXPECT_EQ(run({.max_message_size = 0}, {raw(kFin | kPing, "ping") + raw(kFin | kText, "")}),
            (Result{{"ping ping", "text "}}));
  // A new limit applies from the next header.
  Decoder d(limit);
  Batch batch;
  d.set_max_message_size(2);
  EXPECT_EQ(d.decode(raw(kFin | kText, "abc"), &batch), Failure{FailureKind::kMessageTooBig});
}

TEST(WsDecoder, CloseCodesFrom0To5000) {
  size_t valid = 0;
  for (uint32_t code = 0; code <= 5000; ++code) {
    const Result r = run({}, {raw(kFin | kClose, close_payload(uint16_t(code), "r"))});
    std::string payload;
    const bool sendable = !write_close_payload(uint16_t(code), "r", &payload);
    EXPECT_EQ(close_code_valid(code), sendable) << code;
    if (close_code_valid(code)) {
      ++valid;
      EXPECT_EQ(r, (Result{{"close " + std::to_string(code) + " r"}, std::nullopt, true})) << code;
      EXPECT_EQ(payload, close_payload(uint16_t(code), "r"));
    } else {
      EXPECT_EQ(r, failed_with(FailureKind::kInvalidCloseCode)) << code;
    }
  }
  // 1000-1003, 1007-1014, 3000-4999.
  EXPECT_EQ(valid, 4u + 8u + 2000u);
  for (const uint32_t code : {1004u, 1005u, 1006u, 1015u, 999u, 1016u, 2999u, 5000u})
    EXPECT_FALSE(close_code_valid(code)) << code;
  for (const uint32_t code : {1000u, 1003u, 1007u, 1014u, 3000u, 4999u})
    EXPECT_TRUE(close_code_valid(code)) << code;
  EXPECT_FALSE(close_code_valid(65536 + 1000));
}

TEST(WsDecoder, ClosePayloads) {
  EXPECT_EQ(decode_every_way(raw(kFin | kClose, "")),
            (Result{{"close 1005 "}, std::nullopt, true}));
  EXPECT_EQ(decode_every_way(raw(kFin | kClose, "\x03")), failed_with(FailureKind::kCloseOneOctet));
  EXPECT_EQ(decode_every_way(raw(kFin | kClose, close_payload(1001, "\xce\xba\xe1\xbd\xb9"))),
            (Result{{"close 1001 \xce\xba\xe1\xbd\xb9"}, std::nullopt, true}));
  EXPECT_EQ(decode_every_way(raw(kFin | kClose, close_payload(1000, "ok\xc3"))),
            failed_with(FailureKind::kInvalidCloseReason));
  EXPECT_EQ(decode_every_way(raw(kFin | kClose, close_payload(1000, "\xed\xa0\x80"))),
            failed_with(FailureKind::kInvalidCloseReason));
  // A close in the middle of a fragmented message drops what came of it.
  EXPECT_EQ(decode_every_way(raw(kText, "part") + raw(kFin | kClose, close_payload(1000))),
            (Result{{"close 1000 "}, std::nullopt, true}));
}

TEST(WsDecoder, TextFailsAtTheFirstOctetThatCannotBecomeValid) {
  // The failure comes with the bad octet, before the frame (or the message) is complete.
  const std::string stream = raw(kText, "ok \xe2\x82") + raw(0x0, "\xac \xed\xa0", kKey, -1, 100);
  EXPECT_EQ(decode_every_way(stream), failed_with(FailureKind::kInvalidUtf8));
  // A sequence cut short by the end of the message fails only there.
  EXPECT_EQ(decode_every_way(raw(kText, "\xf0\x9f") + raw(0x0, "\x98") + raw(kFin, "")),
            failed_with(FailureKind::kInvalidUtf8));
  EXPECT_EQ(decode_every_way(raw(kText, "\xf0\x9f") + raw(0x0, "\x98") + raw(kFin, "\x80")),
            (Result{{"text \xf0\x9f\x98\x80"}}));
  // Binary messages and pings carry any octets.
  EXPECT_EQ(run({}, {raw(kFin | kBinary, "\xff") + raw(kFin | kPing, "\xff")}),
            (Result{{"binary \xff", "ping \xff"}}));
  // Events before the failure are delivered.
  EXPECT_EQ(decode_every_way(raw(kFin | kText, "a") + raw(kFin | kText, "\xc0\xaf")),
            failed_with(FailureKind::kInvalidUtf8, {"text a"}));
}

TEST(WsDecoder, MessageAcrossCallsIsHandedOverWhole) {
  // The first event of a call takes over the decoder's buffer; a later one is appended.
  Decoder d;
  Batch batch;
  const std::string first = raw(kBinary, "abc");
  ASSERT_EQ(d.decode(first, &batch), std::nullopt);
  EXPECT_TRUE(batch.events.empty());
  EXPECT_TRUE(d.in_message());
  EXPECT_EQ(d.buffered(), 3u);
  ASSERT_EQ(d.decode(raw(kFin, "def") + raw(kText, "x"), &batch), std::nullopt);
  ASSERT_EQ(batch.events.size(), 1u);
  EXPECT_EQ(batch.payload(batch.events[0]), "abcdef");
  ASSERT_EQ(d.decode(raw(kFin | kBinary, "12") + raw(kFin, "yz"), &batch),
            Failure{FailureKind::kMessageInterrupted});
  ASSERT_EQ(d.decode(raw(kFin | kText, "12"), &batch), Failure{FailureKind::kMessageInterrupted});

  Decoder e;
  ASSERT_EQ(e.decode(raw(kText, "x"), &batch), std::nullopt);
  ASSERT_EQ(e.decode(raw(kFin | kPong, "p") + raw(kFin | kText, "pre") + raw(kFin, "yz"), &batch),
            failed_with(FailureKind::kMessageInterrupted).failure);
  EXPECT_EQ(batch.events.size(), 1u);  // the pong
  Decoder f;
  ASSERT_EQ(f.decode(raw(kText, "x"), &batch), std::nullopt);
  ASSERT_EQ(f.decode(raw(kFin, "yz") + raw(kFin | kText, "next"), &batch), std::nullopt);
  ASSERT_EQ(batch.events.size(), 2u);
  EXPECT_EQ(batch.payload(batch.events[0]), "xyz");
  EXPECT_EQ(batch.payload(batch.events[1]), "next");
  ASSERT_EQ(f.decode(raw(kFin | kText, "a") + raw(kText, "b"), &batch), std::nullopt);
  ASSERT_EQ(f.decode(raw(kFin, "c"), &batch), std::nullopt);
  ASSERT_EQ(batch.events.size(), 1u);
  EXPECT_EQ(batch.payload(batch.events[0]), "bc");
}

TEST(WsDecoder, WholeMessagesThatNeedNoCheckStayInTheInput) {
  const DecoderOptions options{.allow_rsv1 = true, .leave_in_input = true};
  const std::string binary(300, '\xa5');
  const std::string input = raw(kFin | kBinary, binary) + raw(kFin | kText, "t") +
                            raw(kFin | kText | kRsv1, "z") + raw(kBinary, "f") + raw(kFin, "g") +
                            raw(kFin | kPing, "p") + raw(kFin | kBinary, "") +
                            raw(kFin | kBinary, "tail");
  Decoder d(options);
  Batch batch;
  // The last frame is cut short: its message is copied as it arrives.
  ASSERT_EQ(d.decode(std::string_view(input).substr(0, input.size() - 2), &batch), std::nullopt);
  struct Seen {
    EventKind kind;
    bool in_input;
    std::string payload;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen;
  for (const Event& e : batch.events)
    seen.push_back({e.kind, e.in_input, batch.payload_copy(e)});
  // a binary message and a compressed one stay; text (checked as it is unmasked), a fragmented
  // message and a control frame are copied
  EXPECT_EQ(seen, (std::vector<Seen>{{EventKind::kBinary, true, binary},
                                     {EventKind::kText, false, "t"},
                                     {EventKind::kText, true, "z"},
                                     {EventKind::kBinary, false, "fg"},
                                     {EventKind::kPing, false, "p"},
                                     {EventKind::kBinary, true, ""}}));
  EXPECT_TRUE(batch.events[0].masked);
  EXPECT_NE(batch.payload(batch.events[0]), binary) << "viewed as it lies, masked";
  EXPECT_EQ(batch.data, "tfg");
  ASSERT_EQ(d.decode(std::string_view(input).substr(input.size() - 2), &batch), std::nullopt);
  ASSERT_EQ(batch.events.size(), 1u);
  EXPECT_FALSE(batch.events[0].in_input);
  EXPECT_EQ(batch.payload_copy(batch.events[0]), "tail");

  // Unmasked frames (the client role) stay as they are.
  Decoder client({.role = Role::kClient, .leave_in_input = true});
  ASSERT_EQ(client.decode(raw(kFin | kBinary, "abc", std::nullopt), &batch), std::nullopt);
  ASSERT_EQ(batch.events.size(), 1u);
  EXPECT_TRUE(batch.events[0].in_input);
  EXPECT_FALSE(batch.events[0].masked);
  EXPECT_EQ(batch.payload(batch.events[0]), "abc");
}

// --- writing ---

TEST(WsWriter, FramesDecodeToWhatWasWritten) {
  for (const size_t n : {0, 1, 125, 126, 65535, 65536, 70000}) {
    const std::string payload(n, 'w');
    for (const bool masked : {false, true}) {
      FrameHead head{.opcode = Opcode::kBinary};
      if (masked) head.mask = kKey;
      std::string out = "prefix";
      ASSERT_EQ(write_frame(head, payload, &out), std::nullopt);
      ASSERT_EQ(out.size(), 6 + frame_header_size(n, masked) + n);
      EXPECT_EQ(out.substr(6), raw(kFin | kBinary, payload, head.mask)) << n;
    }
  }
  // The header alone, with its length in each encoding.
  char h[kMaxFrameHeaderSize];
  EXPECT_EQ(std::string(h, write_frame_header({.opcode = Opcode::kText}, 125, h)), "\x81\x7d");
  EXPECT_EQ(std::string(h, write_frame_header({.opcode = Opcode::kText}, 126, h)),
            std::string("\x81\x7e\x00\x7e", 4));
  EXPECT_EQ(std::string(h, write_frame_header({.opcode = Opcode::kBinary, .fin = false}, 65536, h)),
            std::string("\x02\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10));
  EXPECT_EQ(std::string(
                h, write_frame_header({.opcode = Opcode::kText, .rsv1 = true, .mask = kKey}, 0, h)),
            std::string("\xc1\x80\x37\xfa\x21\x3d", 6));
}

TEST(WsWriter, RefusesWhatAPeerMustReject) {
  std::string out;
  EXPECT_EQ(write_frame({.opcode = Opcode::kPing}, std::string(126, 'p'), &out),
            WriteError::kControlTooLong);
  EXPECT_EQ(write_frame({.opcode = Opcode::kClose, .fin = false}, "", &out),
            WriteError::kControlFragmented);
  EXPECT_EQ(write_frame({.opcode = Opcode::kPong, .rsv1 = true}, "", &out),
            WriteError::kRsv1OnControl);
  EXPECT_EQ(write_frame({.opcode = Opcode::kContinuation, .rsv1 = true}, "", &out),
            WriteError::kRsv1OnContinuation);
  EXPECT_EQ(out, "");
  EXPECT_EQ(write_frame({.opcode = Opcode::kPing}, std::string(125, 'p'), &out), std::nullopt);

  char buffer[20];
  size_t written = 99;
  EXPECT_EQ(write_frame({.opcode = Opcode::kText, .mask = kKey}, "Hello", buffer, 11, &written),
            std::nullopt);
  EXPECT_EQ(std::string(buffer, written), "\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58");
  EXPECT_EQ(write_frame({.opcode = Opcode::kText, .mask = kKey}, "Hello", buffer, 10, &written),
            WriteError::kBufferTooSmall);
  EXPECT_EQ(written, 0u);
}

TEST(WsWriter, ClosePayloadKeepsTheFrameWithin125Octets) {
  std::string out;
  EXPECT_EQ(write_close_payload(std::nullopt, "", &out), std::nullopt);
  EXPECT_EQ(out, "");
  EXPECT_EQ(write_close_payload(std::nullopt, "why", &out), WriteError::kReasonWithoutCode);
  EXPECT_EQ(write_close_payload(1005, "", &out), WriteError::kInvalidCloseCode);
  EXPECT_EQ(write_close_payload(1000, "\xff", &out), WriteError::kInvalidCloseReason);
  EXPECT_EQ(out, "");
  // 122 ASCII octets and then a two-octet character: it does not fit whole, so it goes.
  const std::string reason = std::string(122, 'r') + "\xc3\xa9" + "tail";
  ASSERT_EQ(write_close_payload(4000, reason, &out), std::nullopt);
  EXPECT_EQ(out, close_payload(4000, std::string(122, 'r')));
  out.clear();
  ASSERT_EQ(write_close_payload(4000, std::string(121, 'r') + "\xc3\xa9" + "tail", &out),
            std::nullopt);
  EXPECT_EQ(out, close_payload(4000, std::string(121, 'r') + "\xc3\xa9"));
  // Four-octet characters only: the cut lands on a boundary below 123.
  std::string emoji;
  for (int i = 0; i < 40; ++i)
    emoji += "\xf0\x9f\x98\x80";
  out.clear();
  ASSERT_EQ(write_close_payload(1000, emoji, &out), std::nullopt);
  EXPECT_EQ(out, close_payload(1000, emoji.substr(0, 120)));
  std::string frame;
  ASSERT_EQ(write_frame({.opcode = Opcode::kClose, .mask = kKey}, out, &frame), std::nullopt);
  EXPECT_EQ(run({}, {frame}), (Result{{"close 1000 " + emoji.substr(0, 120)}, std::nullopt, true}));
}

TEST(WsFailure, EveryKindHasItsCodeAndAShortMessage) {
  for (size_t i = 0; i < kFailureKindCount; ++i) {
    const Failure f{FailureKind(i)};
    EXPECT_TRUE(close_code_valid(f.close_code())) << i;
    EXPECT_FALSE(f.message().empty());
    EXPECT_LE(f.message().size(), kMaxCloseReason);
  }
  EXPECT_EQ(Failure{FailureKind::kMessageTooBig}.close_code(), 1009);
  EXPECT_EQ(Failure{FailureKind::kInvalidUtf8}.close_code(), 1007);
  EXPECT_EQ(Failure{FailureKind::kInvalidCloseReason}.close_code(), 1007);
  EXPECT_EQ(Failure{FailureKind::kReservedOpcode}.close_code(), 1002);
}

}  // namespace
}  // namespace quillet::ws
