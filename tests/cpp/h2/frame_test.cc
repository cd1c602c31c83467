// The frame decoder and writers: layouts, validation, header-block assembly and the byte-split
// invariance of the decoder.
#include "wire/h2/frame.h"

#include "tests/cpp/h2/hpack_support.h"
#include "wire/h2/preface.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet::h2 {
namespace {

using hpack::test::Fields;
using hpack::test::fields_of;

std::string frame(uint8_t type, uint8_t flags, uint32_t stream, std::string_view payload) {
  std::string out;
  const size_t n = payload.size();
  out += char(n >> 16);
  out += char(n >> 8);
  out += char(n);
  out += char(type);
  out += char(flags);
  out += char(stream >> 24);
  out += char(stream >> 16);
  out += char(stream >> 8);
  out += char(stream);
  out.append(payload);
  return out;
}

std::string u32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string setting(uint16_t id, uint32_t v) {
  return std::string{char(id >> 8), char(id)} + u32(v);
}

std::string block_of(hpack::Encoder& enc, const Fields& fields) {
  return hpack::test::encode(enc, fields);
}

// One line per event, every field that matters for its kind.
std::string describe(const DecodeBatch& batch, const FrameEvent& e) {
  std::string s;
  switch (e.kind) {
    case FrameEventKind::kData:
      s = "data " + std::to_string(e.stream_id) + " " + std::string(batch.bytes(e)) + " " +
          std::to_string(e.length) + "/" + std::to_string(e.padding) + (e.flag ? " end" : "");
      break;
    case FrameEventKind::kHeaders:
      s = "headers " + std::to_string(e.stream_id) + (e.flag ? " end" : "");
      for (const auto& [n, v] : fields_of(e.block->pseudo, e.block->fields))
        s += " " + n + "=" + v;
      break;
    case FrameEventKind::kSettings:
      s = std::string("settings") + (e.flag ? " ack" : "");
      if (e.settings.header_table_size)
        s += " hts=" + std::to_string(*e.settings.header_table_size);
      if (e.settings.enable_push) s += " push=" + std::to_string(*e.settings.enable_push);
      if (e.settings.max_concurrent_streams)
        s += " mcs=" + std::to_string(*e.settings.max_concurrent_streams);
      if (e.settings.initial_window_size)
        s += " iws=" + std::to_string(*e.settings.initial_window_size);
      if (e.settings.max_frame_size) s += " mfs=" + std::to_string(*e.settings.max_frame_size);
      if (e.settings.max_header_list_size)
        s += " mhls=" + std::to_string(*e.settings.max_header_list_size);
      if (e.settings.enable_connect_protocol)
        s += " ecp=" + std::to_string(*e.settings.enable_connect_protocol);
      break;
    case FrameEventKind::kWindowUpdate:
      s = "window " + std::to_string(e.stream_id) + " " + std::to_string(e.code);
      break;
    case FrameEventKind::kPing:
      s = std::string("ping ") + std::string(e.ping.data(), 8) + (e.flag ? " ack" : "");
      break;
    case FrameEventKind::kGoAway:
      s = "goaway " + std::to_string(e.stream_id) + " " + std::to_string(e.code) + " " +
          std::string(batch.bytes(e));
      break;
    case FrameEventKind::kRstStream:
      s = "rst " + std::to_string(e.stream_id) + " " + std::to_string(e.code);
      break;
    case FrameEventKind::kPriority:
      s = "priority " + std::to_string(e.stream_id);
      break;
    case FrameEventKind::kStreamError:
      s = "stream-error " + std::to_string(e.stream_id) + " " + std::to_string(e.code);
      break;
  }
  return s;
}

struct Decoded {
  std::vector<std::string> events;
  std::optional<FrameError> error;
};

Decoded decode(FrameDecoder& d, std::string_view input) {
  DecodeBatch batch;
  Decoded run;
  run.error = d.decode(input, &batch);
  for (const FrameEvent& e : batch.events)
    run.events.push_back(describe(batch, e));
  return run;
}

FrameError load(LoadError e) {
  return FrameError{FrameErrorKind::kLoad, e, {}};
}
FrameError kind(FrameErrorKind k) {
  return FrameError{k, {}, {}};
}

// A stream holding every frame type, with padding, priority, CONTINUATION, and an unknown type.
std::string every_frame_type() {
  hpack::Encoder enc;
  const std::string block = block_of(enc, {{":method", "GET"},
                                           {":scheme", "https"},
                                           {":path", "/a"},
                                           {":authority", "example.com"},
                                           {"x-long", std::string(40, 'v')}});
  std::string s;
  s += frame(0, 0x8 | 0x1, 1, std::string("\x03", 1) + "body" + "ppp");  // padded DATA
  s += frame(1, 0x20 | 0x8, 3,
             std::string("\x02", 1) + u32(0x80000001) + "\x10" + block.substr(0, 7) + "pp");
  s += frame(9, 0, 3, block.substr(7, 5));
  s += frame(9, 0x4, 3, block.substr(12));
  s += frame(2, 0, 5, u32(3) + "\x10");
  s += frame(3, 0, 7, u32(8));
  s += frame(4, 0, 0,
             setting(1, 100) + setting(2, 0) + setting(3, 10) + setting(4, 1000) +
                 setting(5, 20000) + setting(6, 500) + setting(8, 1) + setting(99, 7));
  s += frame(4, 0x1, 0, "");
  s += frame(0x0a, 0xff, 9, "ignored");
  s += frame(6, 0x1, 0, "12345678");
  s += frame(7, 0, 0, u32(0x80000005) + u32(2) + "debug");
  s += frame(8, 0, 1, u32(0x80000400));
  s += frame(0, 0, 9, "");
  return s;
}

TEST(FrameDecoder, EveryFrameTypeDecodes) {
  FrameDecoder d(false);
  const Decoded run = decode(d, every_frame_type());
  ASSERT_FALSE(run.error);
  const std::vector<std::string> want = {
      "data 1 body 8/4 end",
      "headers 3 :method=GET :scheme=https :authority=example.com :path=/a x-long=" +
          std::string(40, 'v'),
      "priority 5",
      "rst 7 8",
      "settings hts=100 push=0 mcs=10 iws=1000 mfs=20000 mhls=500 ecp=1",
      "settings ack",
      "ping 12345678 ack",
      "goaway 5 2 debug",
      "window 1 1024",
      "data 9  0/0",
  };
  EXPECT_EQ(run.events, want);
  EXPECT_EQ(d.buffered(), 0u);
}

TEST(FrameDecoder, SplitAtEveryByteDecodesTheSame) {
  const std::string input = every_frame_type();
  FrameDecoder whole(false);
  const Decoded want = decode(whole, input);
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    FrameDecoder d(false);
    Decoded first = decode(d, input.substr(0, cut));
    const Decoded second = decode(d, input.substr(cut));
    ASSERT_FALSE(first.error);
    ASSERT_FALSE(second.error);
    first.events.insert(first.events.end(), second.events.begin(), second.events.end());
    EXPECT_EQ(first.events, want.events) << "cut at " << cut;
    EXPECT_EQ(d.buffered(), 0u);
  }
  // And one byte at a time.
  FrameDecoder d(false);
  std::vector<std::string> got;
  for (const char c : input) {
    const Decoded r = decode(d, std::string_view(&c, 1));
    ASSERT_FALSE(r.error);
    got.insert(got.end(), r.events.begin(), r.events.end());
  }
  EXPECT_EQ(got, want.events);
}

TEST(FrameDecoder, LengthIsCheckedOnTheHeader) {
  FrameDecoder d(false);
  EXPECT_TRUE(decode(d, frame(0, 0, 1, std::string(16384, 'x'))).events.size() == 1);
  EXPECT_EQ(decode(d, frame(0, 0, 1, "").substr(0, 8)).events.size(), 0u);
  EXPECT_EQ(d.buffered(), 8u);
  FrameDecoder e(false);
  // Only the header of a frame one byte too long: refused before its payload arrives.
  EXPECT_EQ(decode(e, frame(0xff, 0, 1, std::string(16385, 'x')).substr(0, 9)).error,
            kind(FrameErrorKind::kFrameTooLarge));
  FrameDecoder f(false);
  f.set_max_frame_size(20000);
  EXPECT_FALSE(decode(f, frame(0, 0, 1, std::string(20000, 'x'))).error);
}

TEST(FrameDecoder, ServerPreface) {
  FrameDecoder d(true);
  for (size_t i = 0; i + 1 < kClientPreface.size(); ++i) {
    const Decoded r = decode(d, kClientPreface.substr(i, 1));
    EXPECT_FALSE(r.error);
    EXPECT_TRUE(r.events.empty());
  }
  const Decoded r = decode(d, std::string(kClientPreface.substr(23)) + frame(6, 0, 0, "abcdefgh"));
  EXPECT_EQ(r.events, std::vector<std::string>{"ping abcdefgh"});

  FrameDecoder h1(true);
  EXPECT_EQ(decode(h1, "G").error, kind(FrameErrorKind::kBadPreface));
  EXPECT_EQ(decode(h1, std::string(kClientPreface)).error, kind(FrameErrorKind::kBadPreface));
  FrameDecoder late(true);
  EXPECT_FALSE(decode(late, "PRI * HTTP/2").error);
  EXPECT_EQ(decode(late, ".1").error, kind(FrameErrorKind::kBadPreface));

  // feed_preface buffers but does not consume the preface for decode().
  FrameDecoder fed(true);
  EXPECT_EQ(fed.feed_preface(kClientPreface.substr(0, 10)), PrefaceMatch::kIncomplete);
  EXPECT_EQ(fed.feed_preface(std::string(kClientPreface.substr(10)) + "xyz"),
            PrefaceMatch::kComplete);
  EXPECT_EQ(fed.buffered(), 3u);
  EXPECT_EQ(match_preface(kClientPreface.substr(0, 16)), PrefaceMatch::kIncomplete);
  EXPECT_EQ(match_preface("GET / HTTP/1.1\r\n"), PrefaceMatch::kMismatch);
  EXPECT_EQ(match_preface(std::string(kClientPreface) + "more"), PrefaceMatch::kComplete);
}

TEST(FrameDecoder, LoadErrors) {
  const struct {
    std::string input;
    FrameError error;
  } cases[] = {
      {frame(0, 0, 0, "x"), load(LoadError::kInvalidStreamId)},
      {frame(0, 0x8, 1, ""), load(LoadError::kTooMuchPadding)},
      {frame(0, 0x8, 1, "\x03xy"), load(LoadError::kTooMuchPadding)},
      {frame(1, 0x4, 0, ""), load(LoadError::kInvalidStreamId)},
      {frame(1, 0x8 | 0x4, 1, ""), load(LoadError::kMalformedMessage)},
      {frame(1, 0x20 | 0x4, 1, "\0\0\0"), load(LoadError::kMalformedMessage)},
      {frame(1, 0x8 | 0x4, 1, "\x05\x82"), load(LoadError::kTooMuchPadding)},
      {frame(2, 0, 0, u32(1) + "x"), kind(FrameErrorKind::kPriorityStreamZero)},
      {frame(2, 0, 1, u32(3)), load(LoadError::kInvalidPayloadLength)},
      {frame(3, 0, 1, "abc"), load(LoadError::kInvalidPayloadLength)},
      {frame(4, 0, 1, ""), load(LoadError::kInvalidStreamId)},
      {frame(4, 1, 0, setting(1, 1)), load(LoadError::kInvalidPayloadLength)},
      {frame(4, 0, 0, "abcde"), load(LoadError::kInvalidPayloadAckSettings)},
      {frame(4, 0, 0, setting(2, 2)), load(LoadError::kInvalidSettingValue)},
      {frame(4, 0, 0, setting(4, 0x80000000)), load(LoadError::kInvalidSettingValue)},
      {frame(4, 0, 0, setting(5, 16383)), load(LoadError::kInvalidSettingValue)},
      {frame(4, 0, 0, setting(5, 16777216)), load(LoadError::kInvalidSettingValue)},
      {frame(4, 0, 0, setting(8, 2)), load(LoadError::kInvalidSettingValue)},
      {frame(5, 0x4, 1, u32(2)), kind(FrameErrorKind::kPushPromise)},
      {frame(6, 0, 1, "12345678"), load(LoadError::kInvalidStreamId)},
      {frame(6, 0, 0, "1234567"), load(LoadError::kBadFrameSize)},
      {frame(7, 0, 0, "1234567"), load(LoadError::kBadFrameSize)},
      {frame(8, 0, 1, "abc"), load(LoadError::kBadFrameSize)},
      {frame(8, 0, 1, u32(0x80000000)), load(LoadError::kInvalidWindowUpdateValue)},
      {frame(8, 0, 0, u32(0)), load(LoadError::kInvalidWindowUpdateValue)},
      {frame(9, 0x4, 1, ""), kind(FrameErrorKind::kUnexpectedContinuation)},
      {frame(1, 0x4, 1, "\xff"),
       FrameError{FrameErrorKind::kHpack, {}, hpack::DecodeError::kIntegerUnderflow}},
      {frame(1, 0x4, 1, "\xbf"),
       FrameError{FrameErrorKind::kHpack, {}, hpack::DecodeError::kInvalidTableIndex}},
  };
  for (const auto& c : cases) {
    FrameDecoder d(false);
    // The frame before the failing one is consumed and its event dropped.
    const Decoded r = decode(d, frame(6, 0, 0, "12345678") + c.input + frame(6, 0, 0, "abcdefgh"));
    EXPECT_EQ(r.error, c.error) << hpack::test::hex_of(c.input);
    EXPECT_TRUE(r.events.empty());
    EXPECT_EQ(d.buffered(), 17u);  // only the frame after the failing one is left
  }
}

TEST(FrameDecoder, ErrorReasons) {
  EXPECT_EQ(frame_error_reason(FrameErrorKind::kFrameTooLarge), 6u);
  EXPECT_EQ(frame_error_reason(FrameErrorKind::kTooManyContinuations), 11u);
  EXPECT_EQ(frame_error_reason(FrameErrorKind::kHeaderListAbuse), 11u);
  EXPECT_EQ(frame_error_reason(FrameErrorKind::kContinuationOverLimit), 9u);
  EXPECT_EQ(frame_error_reason(FrameErrorKind::kLoad), 1u);
  EXPECT_EQ(frame_error_reason(FrameErrorKind::kHpack), 1u);
}

TEST(FrameDecoder, SettingsKeepTheLastValueAndIgnoreUnknownIds) {
  FrameDecoder d(false);
  EXPECT_EQ(decode(d, frame(4, 0, 0,
                            setting(3, 1) + setting(0, 5) + setting(7, 9) + setting(3, 2) +
                                setting(0xffff, 1)))
                .events,
            std::vector<std::string>{"settings mcs=2"});
  EXPECT_EQ(decode(d, frame(4, 0, 0, "")).events, std::vector<std::string>{"settings"});
  // SETTINGS_ENABLE_CONNECT_PROTOCOL (RFC 8441): 0 or 1, anything else a PROTOCOL_ERROR.
  EXPECT_EQ(decode(d, frame(4, 0, 0, setting(8, 1))).events,
            std::vector<std::string>{"settings ecp=1"});
  EXPECT_EQ(decode(d, frame(4, 0, 0, setting(8, 0))).events,
            std::vector<std::string>{"settings ecp=0"});
  FrameDecoder bad(false);
  EXPECT_TRUE(decode(bad, frame(4, 0, 0, setting(8, 2))).error.has_value());
}

TEST(FrameDecoder, ContinuationRules) {
  hpack::Encoder enc;
  const std::string block = block_of(enc, {{":status", "200"}, {"a", "b"}});
  {
    FrameDecoder d(false);
    EXPECT_EQ(decode(d, frame(1, 0, 1, block) + frame(6, 0, 0, "12345678")).error,
              kind(FrameErrorKind::kExpectedContinuation));
  }
  {
    FrameDecoder d(false);
    EXPECT_EQ(decode(d, frame(1, 0, 1, block) + frame(0x0b, 0, 1, "")).error,
              kind(FrameErrorKind::kExpectedContinuation));
  }
  {
    FrameDecoder d(false);
    EXPECT_EQ(decode(d, frame(1, 0, 1, block) + frame(9, 4, 3, "")).error,
              kind(FrameErrorKind::kContinuationStreamMismatch));
  }
  {
    // A representation cut across frames decodes once its bytes are all in.
    FrameDecoder d(false);
    std::string in = frame(1, 0x1, 1, block.substr(0, 2));
    for (size_t i = 2; i < block.size(); ++i)
      in += frame(9, 0, 1, block.substr(i, 1));
    in += frame(9, 0x4, 1, "");
    EXPECT_EQ(decode(d, in).events, std::vector<std::string>{"headers 1 end :status=200 a=b"});
  }
  {
    // A cut representation when END_HEADERS arrives is a connection error.
    FrameDecoder d(false);
    EXPECT_EQ(decode(d, frame(1, 0, 1, block.substr(0, 3)) +
                            frame(9, 0x4, 1, block.substr(3, block.size() - 4)))
                  .error->kind,
              FrameErrorKind::kHpack);
  }
}

TEST(FrameDecoder, ContinuationFloodCap) {
  FrameDecoder d(false);
  EXPECT_EQ(d.max_continuation_frames(), 1280u);
  std::string in = frame(1, 0, 1, "");
  for (int i = 0; i < 1280; ++i)
    in += frame(9, 0, 1, "");
  EXPECT_FALSE(decode(d, in).error);
  // END_HEADERS resets the count (the decoder stays with the block: nothing is emitted for an
  // empty block but its headers event).
  EXPECT_EQ(decode(d, frame(9, 0, 1, "")).error, kind(FrameErrorKind::kTooManyContinuations));

  FrameDecoder small(false);
  small.set_max_frame_size(16777215);
  EXPECT_EQ(small.max_continuation_frames(), 5u);
  small.set_max_frame_size(16384);
  small.set_max_header_list_size(16384 * 8);
  EXPECT_EQ(small.max_continuation_frames(), 10u);
  small.set_max_header_list_size(UINT32_MAX);
  EXPECT_EQ(small.max_continuation_frames(), 327678u);
  small.set_max_header_list_size(0);
  EXPECT_EQ(small.max_continuation_frames(), 5u);
}

TEST(FrameDecoder, OverSizeBlockStopsGrowing) {
  FrameDecoder d(false);
  d.set_max_header_list_size(100);
  hpack::Encoder enc;
  const std::string block =
      block_of(enc, {{"a", std::string(80, 'x')}, {"b", std::string(300, 'y')}});
  // The first field fills the budget; the second is cut, so its bytes wait in the remainder.
  const Decoded first = decode(d, frame(1, 0, 1, block.substr(0, block.size() - 10)));
  ASSERT_FALSE(first.error);
  EXPECT_EQ(decode(d, frame(9, 0, 1, std::string(1, block[block.size() - 10]))).error,
            kind(FrameErrorKind::kContinuationOverLimit));
}

TEST(FrameDecoder, SelfDependentHeadersStillUpdateTheTable) {
  hpack::Encoder enc;
  // The first block inserts "x-id: 1" into the table; the second refers to it by index.
  const std::string first = block_of(enc, {{":status", "200"}, {"x-id", "1"}});
  const std::string second = block_of(enc, {{":status", "200"}, {"x-id", "1"}});
  ASSERT_LT(second.size(), first.size());
  for (const bool split : {false, true}) {
    FrameDecoder d(false);
    std::string in;
    const std::string prio = u32(1) + "\x10";
    if (split) {
      in = frame(1, 0x20, 1, prio + first.substr(0, 2)) + frame(9, 0x4, 1, first.substr(2));
    } else {
      in = frame(1, 0x20 | 0x4, 1, prio + first);
    }
    in += frame(1, 0x4 | 0x1, 3, second);
    EXPECT_EQ(decode(d, in).events,
              (std::vector<std::string>{"stream-error 1 1", "headers 3 end :status=200 x-id=1"}));
  }
  // PRIORITY naming its own stream.
  FrameDecoder d(false);
  EXPECT_EQ(
      decode(d, frame(2, 0, 5, u32(0x80000005) + "\x01") + frame(2, 0, 5, u32(0) + "x")).events,
      (std::vector<std::string>{"stream-error 5 1", "priority 5"}));
}

TEST(FrameDecoder, MalformedBlockWaitsForEndHeaders) {
  hpack::Encoder enc;
  const std::string bad =
      block_of(enc, {{":status", "200"}, {"connection", "close"}, {"x-id", "7"}});
  const std::string good = block_of(enc, {{":status", "200"}, {"x-id", "7"}});
  FrameDecoder d(false);
  const std::string in = frame(1, 0, 1, bad.substr(0, 4)) + frame(9, 0, 1, bad.substr(4, 3)) +
                         frame(9, 0x4, 1, bad.substr(7)) + frame(1, 0x4, 3, good);
  EXPECT_EQ(decode(d, in).events,
            (std::vector<std::string>{"stream-error 1 1", "headers 3 :status=200 x-id=7"}));
  EXPECT_FALSE(d.block_pending());
  // Pseudo-header after a regular field, and te other than trailers.
  for (const Fields& fields : {Fields{{":status", "200"}, {"upgrade", "h2c"}},
                               Fields{{":method", "GET"}, {"te", "gzip"}}}) {
    hpack::Encoder e;
    FrameDecoder f(false);
    EXPECT_EQ(decode(f, frame(1, 0x4, 1, block_of(e, fields))).events,
              std::vector<std::string>{"stream-error 1 1"});
  }
}

TEST(FrameDecoder, HeaderListAbuse) {
  FrameDecoder d(false);
  d.set_max_header_list_size(50);
  hpack::Encoder enc;
  const std::string block =
      block_of(enc, {{"a", std::string(100, 'x')}, {"b", std::string(100, 'y')}});
  EXPECT_EQ(decode(d, frame(1, 0x4, 1, block)).error, kind(FrameErrorKind::kHeaderListAbuse));
  // Within four times the budget, the fields past it are only dropped.
  FrameDecoder e(false);
  e.set_max_header_list_size(100);
  hpack::Encoder fresh;
  EXPECT_EQ(decode(e, frame(1, 0x4, 1, block_of(fresh, {{"a", "1"}, {"b", std::string(100, 'y')}})))
                .events,
            std::vector<std::string>{"headers 1 a=1"});
}

TEST(FrameDecoder, BatchOwnsItsBytesWhenTheInputWasBuffered) {
  FrameDecoder d(false);
  const std::string in = frame(0, 0, 1, "first") + frame(0, 0, 3, "second");
  std::string part1 = in.substr(0, 5);
  DecodeBatch batch;
  ASSERT_FALSE(d.decode(part1, &batch));
  std::string part2 = in.substr(5) + frame(0, 0, 5, "xyz").substr(0, 4);
  ASSERT_FALSE(d.decode(part2, &batch));
  part1.assign(part1.size(), '?');
  part2.assign(part2.size(), '?');
  ASSERT_EQ(batch.events.size(), 2u);
  EXPECT_EQ(batch.bytes(batch.events[0]), "first");
  EXPECT_EQ(batch.bytes(batch.events[1]), "second");
  EXPECT_EQ(d.buffered(), 4u);
}

TEST(FrameWriters, Layouts) {
  std::string out;
  EXPECT_FALSE(write_data(1, "hi", true, 16384, &out));
  EXPECT_EQ(out, frame(0, 1, 1, "hi"));
  out.clear();
  EXPECT_FALSE(write_rst_stream(3, 8, &out));
  EXPECT_EQ(out, frame(3, 0, 3, u32(8)));
  out.clear();
  Settings s;
  s.max_header_list_size = 6;
  s.enable_push = false;
  s.header_table_size = 1;
  s.max_frame_size = 16384;
  s.initial_window_size = 4;
  s.max_concurrent_streams = 3;
  s.enable_connect_protocol = true;
  EXPECT_FALSE(write_settings(s, &out));
  EXPECT_EQ(out, frame(4, 0, 0,
                       setting(1, 1) + setting(2, 0) + setting(3, 3) + setting(4, 4) +
                           setting(5, 16384) + setting(6, 6) + setting(8, 1)));
  out.clear();
  EXPECT_FALSE(write_settings(Settings{}, &out));
  EXPECT_EQ(out, frame(4, 0, 0, ""));
  out.clear();
  write_settings_ack(&out);
  EXPECT_EQ(out, std::string("\0\0\0\x04\x01\0\0\0\0", 9));
  out.clear();
  EXPECT_FALSE(write_ping("12345678", true, &out));
  EXPECT_FALSE(write_ping("abcdefgh", false, &out));
  EXPECT_EQ(out, frame(6, 1, 0, "12345678") + frame(6, 0, 0, "abcdefgh"));
  out.clear();
  EXPECT_FALSE(write_goaway(0x7fffffff, 11, "bye", &out));
  EXPECT_EQ(out, frame(7, 0, 0, u32(0x7fffffff) + u32(11) + "bye"));
  out.clear();
  EXPECT_FALSE(write_window_update(0, 0x7fffffff, &out));
  EXPECT_EQ(out, frame(8, 0, 0, u32(0x7fffffff)));
}

TEST(FrameWriters, HeadersSplitIntoContinuations) {
  const std::string block(16384 * 2 + 1, 'b');
  for (const auto& [size, frames] : std::vector<std::pair<size_t, int>>{
           {0, 1}, {16384, 1}, {16385, 2}, {16384 * 2, 2}, {16384 * 2 + 1, 3}}) {
    std::string out;
    ASSERT_FALSE(write_headers(5, std::string_view(block).substr(0, size), true, 16384, &out));
    std::string want =
        frame(1, size <= 16384 ? 0x5 : 0x1, 5, block.substr(0, std::min<size_t>(size, 16384)));
    for (size_t pos = 16384; pos < size; pos += 16384) {
      const size_t n = std::min<size_t>(size - pos, 16384);
      want += frame(9, pos + n == size ? 0x4 : 0, 5, block.substr(pos, n));
    }
    EXPECT_EQ(out, want) << size;
    EXPECT_EQ(int(out.size() - size) / 9, frames);
  }
}

TEST(FrameWriters, RefuseWhatAPeerMustReject) {
  std::string out;
  EXPECT_EQ(write_data(0, "", false, 16384, &out), WriteError::kStreamIdZero);
  EXPECT_EQ(write_data(0x80000000, "", false, 16384, &out), WriteError::kStreamIdTooLarge);
  EXPECT_EQ(write_data(1, std::string(16385, 'x'), false, 16384, &out), WriteError::kPayloadTooBig);
  EXPECT_FALSE(write_data(1, std::string(16384, 'x'), false, 16384, &out));
  out.clear();
  EXPECT_EQ(write_headers(0, "x", false, 16384, &out), WriteError::kStreamIdZero);
  EXPECT_EQ(write_headers(0x80000000, "x", false, 16384, &out), WriteError::kStreamIdTooLarge);
  EXPECT_EQ(write_rst_stream(0, 1, &out), WriteError::kStreamIdZero);
  EXPECT_EQ(write_rst_stream(0xffffffff, 1, &out), WriteError::kStreamIdTooLarge);
  EXPECT_EQ(write_ping("1234567", false, &out), WriteError::kPingPayloadSize);
  EXPECT_EQ(write_ping("123456789", true, &out), WriteError::kPingPayloadSize);
  EXPECT_EQ(write_goaway(0x80000000, 0, "", &out), WriteError::kLastStreamIdTooLarge);
  EXPECT_EQ(write_goaway(0, 0, std::string(16777215 - 7, 'd'), &out),
            WriteError::kDebugDataTooLong);
  EXPECT_EQ(write_window_update(1, 0, &out), WriteError::kWindowIncrement);
  EXPECT_EQ(write_window_update(1, 0x80000000, &out), WriteError::kWindowIncrement);
  EXPECT_EQ(write_window_update(0x80000000, 1, &out), WriteError::kStreamIdTooLarge);
  Settings s;
  s.max_frame_size = 16383;
  s.initial_window_size = 0x80000000;
  EXPECT_EQ(write_settings(s, &out), WriteError::kSettingsMaxFrameSize);  // checked first
  s.max_frame_size = 16777216;
  EXPECT_EQ(write_settings(s, &out), WriteError::kSettingsMaxFrameSize);
  s.max_frame_size = 16777215;
  EXPECT_EQ(write_settings(s, &out), WriteError::kSettingsInitialWindow);
  EXPECT_TRUE(out.empty());
}

TEST(FrameLimits, MaxFrameSizeRange) {
  EXPECT_FALSE(valid_max_frame_size(0));
  EXPECT_FALSE(valid_max_frame_size(16383));
  EXPECT_TRUE(valid_max_frame_size(16384));
  EXPECT_TRUE(valid_max_frame_size(16777215));
  EXPECT_FALSE(valid_max_frame_size(16777216));
  // No truncation to 32 bits brings a huge value back into range.
  EXPECT_FALSE(valid_max_frame_size((uint64_t{1} << 32) + 16384));
}

TEST(FrameRoundTrip, WrittenFramesDecode) {
  std::string out;
  hpack::Encoder enc;
  const std::string block = block_of(enc, {{":method", "POST"}, {"x", std::string(40000, 'z')}});
  ASSERT_FALSE(write_headers(1, block, false, 16384, &out));
  ASSERT_FALSE(write_data(1, "payload", true, 16384, &out));
  ASSERT_FALSE(write_goaway(7, 2, "dbg", &out));
  FrameDecoder d(true);
  const Decoded r = decode(d, std::string(kClientPreface) + out);
  ASSERT_FALSE(r.error);
  EXPECT_EQ(r.events,
            (std::vector<std::string>{"headers 1 :method=POST x=" + std::string(40000, 'z'),
                                      "data 1 payload 7/0 end", "goaway 7 2 dbg"}));
}

}  // namespace
}  // namespace quillet::h2
