#include "wire/h1/body_encoder.h"

#include "wire/h1/body_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quillet::h1 {
namespace {

BodyFraming length_framing(uint64_t n) {
  BodyFraming f;
  f.kind = BodyFraming::Kind::kLength;
  f.length = n;
  return f;
}

BodyFraming chunked_framing(std::vector<std::string> allow = {}, bool has_allow_list = false) {
  BodyFraming f;
  f.kind = BodyFraming::Kind::kChunked;
  f.has_allow_list = has_allow_list;
  f.trailer_names = std::move(allow);
  return f;
}

BodyFraming close_framing() {
  BodyFraming f;
  f.kind = BodyFraming::Kind::kClose;
  return f;
}

std::string end_of(const BodyFraming* framing) {
  BodyEnd end;
  EXPECT_FALSE(plan_end(framing, &end).has_value());
  return end_bytes(end);
}

TEST(ChunkFraming, SizeLineIsUpperCaseHexWithoutLeadingZeros) {
  BodyFraming f = chunked_framing();
  EXPECT_EQ(frame_chunk(f, "hello"), "5\r\nhello\r\n");
  EXPECT_EQ(frame_chunk(f, std::string(10, 'x')), "A\r\n" + std::string(10, 'x') + "\r\n");
  EXPECT_EQ(frame_chunk(f, std::string(255, 'x')).substr(0, 4), "FF\r\n");
  EXPECT_EQ(frame_chunk(f, std::string(256, 'x')).substr(0, 5), "100\r\n");
  EXPECT_EQ(plan_chunk(f, 0).kind, ChunkPlan::Kind::kWhole);  // never a terminator
  for (uint64_t n :
       {uint64_t(1), uint64_t(15), uint64_t(16), uint64_t(0xFFFF), uint64_t(0x10000), UINT64_MAX}) {
    const std::string expected_size_line = [&] {
      char buf[32];
      snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(n));
      return std::string(buf);
    }();
    EXPECT_EQ(chunk_frame_size(n), n + expected_size_line.size() + 4);
  }
}

TEST(ChunkFraming, LengthPassesWholeThenTruncatesThenNothing) {
  BodyFraming f = length_framing(5);
  EXPECT_EQ(plan_chunk(f, 3).kind, ChunkPlan::Kind::kWhole);
  EXPECT_EQ(f.length, 2u);
  const ChunkPlan cut = plan_chunk(f, 4);
  EXPECT_EQ(cut.kind, ChunkPlan::Kind::kPrefix);
  EXPECT_EQ(cut.size, 2u);
  EXPECT_EQ(f.length, 0u);
  const ChunkPlan none = plan_chunk(f, 1);
  EXPECT_EQ(none.kind, ChunkPlan::Kind::kPrefix);
  EXPECT_EQ(none.size, 0u);
  EXPECT_EQ(end_of(&f), "");

  BodyFraming g = length_framing(5);
  EXPECT_EQ(frame_chunk(g, "abc"), "abc");
  EXPECT_EQ(frame_chunk(g, "defg"), "de");
  EXPECT_EQ(frame_chunk(g, "x"), "");
}

TEST(ChunkFraming, CloseDelimitedPassesWhole) {
  BodyFraming f = close_framing();
  const ChunkPlan plan = plan_chunk(f, 1000);
  EXPECT_EQ(plan.kind, ChunkPlan::Kind::kWhole);
  EXPECT_EQ(end_of(&f), "");
}

TEST(BodyEnding, EachFraming) {
  EXPECT_EQ(end_of(nullptr), "");
  BodyFraming chunked = chunked_framing();
  EXPECT_EQ(end_of(&chunked), "0\r\n\r\n");
  BodyFraming done = length_framing(0);
  EXPECT_EQ(end_of(&done), "");
}

TEST(BodyEnding, ShortLengthBodyIsAborted) {
  BodyFraming f = length_framing(5);
  plan_chunk(f, 3);
  BodyEnd end;
  std::optional<Error> error = plan_end(&f, &end);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->category, ErrorCategory::kUser);
  EXPECT_EQ(error->user, UserKind::kBodyWriteAborted);
  ASSERT_TRUE(error->cause.has_value());
  EXPECT_FALSE(error->cause->io.has_value());
  EXPECT_EQ(error->cause->text, "early end, expected 2 more bytes");
  // trailers do not rescue a short body
  BodyFraming big = length_framing(UINT64_MAX);
  error = plan_trailers(&big, true, HeaderMap(), &end);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->cause->text, "early end, expected 18446744073709551615 more bytes");
}

HeaderMap trailer_map(std::initializer_list<std::pair<const char*, const char*>> fields) {
  HeaderMap map;
  for (const auto& [name, value] : fields)
    EXPECT_TRUE(map.append(name, value));
  return map;
}

TEST(Trailers, OnlyDeclaredAndSendableFieldsGoOut) {
  const BodyFraming f = chunked_framing({"x-checksum", "content-type", "x-multi"}, true);
  const HeaderMap map = trailer_map({{"X-Checksum", "abc"},
                                     {"content-type", "text/plain"},
                                     {"x-undeclared", "1"},
                                     {"x-multi", "1"},
                                     {"x-multi", "2"}});
  BodyEnd end;  // views into `map`
  ASSERT_FALSE(plan_trailers(&f, true, map, &end).has_value());
  EXPECT_EQ(end_bytes(end), "0\r\nx-checksum: abc\r\nx-multi: 1\r\nx-multi: 2\r\n\r\n");
  EXPECT_EQ(end.size(), end_bytes(end).size());
}

TEST(Trailers, NothingSelectedGivesTheTerminator) {
  const BodyFraming f = chunked_framing({"x-checksum"}, true);
  BodyEnd end;
  ASSERT_FALSE(plan_trailers(&f, true, trailer_map({{"x-other", "1"}}), &end).has_value());
  EXPECT_EQ(end_bytes(end), "0\r\n\r\n");
}

TEST(Trailers, DroppedWhenNotPermittedOrNotDeclared) {
  const HeaderMap map = trailer_map({{"x-checksum", "1"}});
  const BodyFraming declared = chunked_framing({"x-checksum"}, true);
  const BodyFraming undeclared = chunked_framing();
  const BodyFraming length = length_framing(0);
  const BodyFraming close = close_framing();
  BodyEnd end;
  struct Case {
    const BodyFraming* framing;
    bool permitted;
    const char* expected;
  };
  for (const Case& c : {Case{&declared, false, "0\r\n\r\n"}, Case{&undeclared, true, "0\r\n\r\n"},
                        Case{&length, true, ""}, Case{&close, true, ""}, Case{nullptr, true, ""}}) {
    ASSERT_FALSE(plan_trailers(c.framing, c.permitted, map, &end).has_value());
    EXPECT_EQ(end_bytes(end), c.expected);
  }
}

TEST(Trailers, NeverSentNamesStayOutEvenWhenDeclared) {
  const char* never[] = {"authorization",
                         "cache-control",
                         "content-encoding",
                         "content-length",
                         "content-range",
                         "content-type",
                         "host",
                         "max-forwards",
                         "set-cookie",
                         "te",
                         "trailer",
                         "transfer-encoding"};
  for (const char* name : never) {
    EXPECT_TRUE(is_never_sent_trailer(name));
    const BodyFraming f = chunked_framing({name}, true);
    BodyEnd end;
    ASSERT_FALSE(plan_trailers(&f, true, trailer_map({{name, "v"}}), &end).has_value());
    EXPECT_EQ(end.kind, BodyEnd::Kind::kTerminator) << name;
  }
  EXPECT_FALSE(is_never_sent_trailer("expires"));
}

// --- encoder then decoder ---

TEST(RoundTrip, RandomBodiesInRandomChunksForEveryFraming) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string body(rng() % 3000, '\0');
    for (char& c : body)
      c = char(rng());
    const int which = round % 3;
    BodyFraming f = which == 0   ? length_framing(body.size())
                    : which == 1 ? chunked_framing({"x-sum"}, true)
                                 : close_framing();
    std::string wire;
    for (size_t pos = 0; pos < body.size();) {
      const size_t n = std::min(body.size() - pos, size_t(1 + rng() % 700));
      wire += frame_chunk(f, std::string_view(body).substr(pos, n));
      pos += n;
    }
    const HeaderMap sent = trailer_map({{"x-sum", "42"}});
    BodyEnd end;
    ASSERT_FALSE(plan_trailers(&f, true, sent, &end).has_value());
    wire += end_bytes(end);
    wire += "NEXT";

    BodyDecoder d(which == 0   ? BodyKind::kLength
                  : which == 1 ? BodyKind::kChunked
                               : BodyKind::kClose,
                  body.size());
    std::string got;
    for (size_t pos = 0; pos < wire.size();) {
      const size_t n = std::min(wire.size() - pos, size_t(1 + rng() % 900));
      d.feed(std::string_view(wire).substr(pos, n));
      pos += n;
      while (true) {
        const DecodeResult r = d.decode_into(&got);
        ASSERT_NE(r.status, DecodeStatus::kError) << r.error->cause->text;
        if (r.status != DecodeStatus::kData) break;
      }
    }
    if (which == 2) {
      d.mark_eof();
      while (d.decode_into(&got).status == DecodeStatus::kData) {
      }
      EXPECT_EQ(got, body + "NEXT");
    } else {
      EXPECT_EQ(got, body);
      EXPECT_EQ(d.take_buffered(), "NEXT");
    }
    ASSERT_TRUE(d.is_complete());
    if (which == 1) {
      std::optional<HeaderMap> trailers = d.take_trailers();
      ASSERT_TRUE(trailers.has_value());
      EXPECT_EQ(trailers->first("x-sum"), "42");
    }
  }
}

}  // namespace
}  // namespace quillet::h1
