#include "wire/h1/body_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quillet::h1 {
namespace {

using Framing = BodyKind;

// Everything one decoder yields from `input` fed at once (then eof when `eof`): the data
// results in order, and the error if it failed.
struct Decoded {
  std::vector<std::string> chunks;
  std::optional<Error> error;
  bool complete = false;

  std::string joined() const {
    std::string out;
    for (const std::string& c : chunks)
      out += c;
    return out;
  }
};

Decoded drain(BodyDecoder& d) {
  Decoded run;
  while (true) {
    std::string out;
    const DecodeResult r = d.decode_into(&out);
    if (r.status == DecodeStatus::kData) {
      EXPECT_FALSE(out.empty());
      run.chunks.push_back(out);
      continue;
    }
    if (r.status == DecodeStatus::kError) run.error = r.error;
    run.complete = r.status == DecodeStatus::kComplete;
    EXPECT_EQ(run.complete, d.is_complete());
    return run;
  }
}

Decoded decode_all(BodyKind framing, std::string_view input, bool eof = false,
                   uint64_t length = 0) {
  BodyDecoder d(framing, length);
  d.feed(input);
  if (eof) d.mark_eof();
  return drain(d);
}

void expect_error(const Decoded& run, IoKind io, const std::string& text) {
  ASSERT_TRUE(run.error.has_value()) << "expected: " << text;
  EXPECT_EQ(run.error->category, ErrorCategory::kBody);
  ASSERT_TRUE(run.error->cause.has_value());
  EXPECT_EQ(run.error->cause->io, io);
  EXPECT_EQ(run.error->cause->text, text);
}

// --- length and close-delimited framing ---

TEST(LengthBody, DeliversUpToTheLengthAndKeepsTheRest) {
  BodyDecoder d(BodyKind::kLength, 5);
  d.feed("abc");
  Decoded first = drain(d);
  EXPECT_EQ(first.chunks, std::vector<std::string>{"abc"});
  EXPECT_FALSE(first.complete);
  d.feed("defg");
  Decoded second = drain(d);
  EXPECT_EQ(second.chunks, std::vector<std::string>{"de"});
  EXPECT_TRUE(second.complete);
  EXPECT_EQ(d.buffered(), 2u);
  EXPECT_EQ(d.take_buffered(), "fg");
}

TEST(LengthBody, EofBeforeTheLengthFails) {
  BodyDecoder d(BodyKind::kLength, 5);
  d.feed("abc");
  d.mark_eof();
  Decoded run = drain(d);
  EXPECT_EQ(run.joined(), "abc");
  expect_error(run, IoKind::kUnexpectedEof, "end of file before message length reached");
  // the failure stays
  EXPECT_EQ(d.decode().status, DecodeStatus::kError);
}

TEST(LengthBody, ZeroLengthAndEmptyAreCompleteAtOnce) {
  for (BodyDecoder d : {BodyDecoder(BodyKind::kLength, 0), BodyDecoder(BodyKind::kEmpty),
                        BodyDecoder::from_kind("empty", 9), BodyDecoder::from_kind("bogus")}) {
    EXPECT_TRUE(d.is_complete());
    d.feed("next");
    EXPECT_EQ(d.decode().status, DecodeStatus::kComplete);
    EXPECT_EQ(d.buffered(), 4u);
  }
}

TEST(LengthBody, DataIsReportedAgainUntilConsumed) {
  BodyDecoder d(BodyKind::kLength, 10);
  d.feed("abcd");
  EXPECT_EQ(d.decode().data, "abcd");
  d.feed("efghijkl");
  EXPECT_EQ(d.decode().data, "abcdefghij");
  d.consume(3);
  EXPECT_EQ(d.decode().data, "defghij");
  d.consume(100);  // more than was reported takes only the body's bytes
  EXPECT_TRUE(d.is_complete());
  EXPECT_EQ(d.buffered(), 2u);
}

TEST(CloseBody, CapsResultsAndEndsOnlyAtEof) {
  BodyDecoder d = BodyDecoder::from_kind("close");
  EXPECT_EQ(d.decode().status, DecodeStatus::kNeedMore);
  const std::string big(kMaxCloseDelimitedResult * 2 + 1, 'z');
  d.feed(big);
  Decoded run = drain(d);
  ASSERT_EQ(run.chunks.size(), 3u);
  EXPECT_EQ(run.chunks[0].size(), kMaxCloseDelimitedResult);
  EXPECT_EQ(run.chunks[2].size(), 1u);
  EXPECT_FALSE(run.complete);
  d.mark_eof();
  EXPECT_TRUE(drain(d).complete);
}

// --- chunked framing ---

TEST(ChunkedBody, SimpleBodyWithAndWithoutExtensions) {
  for (const char* input : {"5\r\nhello\r\n0\r\n\r\n", "5;name=value\r\nhello\r\n0\r\n\r\n",
                            "5 ;x\r\nhello\r\n0\r\n\r\n", "5\t \r\nhello\r\n0;last\r\n\r\n",
                            "0005\r\nhello\r\n000\r\n\r\n"}) {
    BodyDecoder d(BodyKind::kChunked);
    d.feed(input);
    Decoded run = drain(d);
    EXPECT_EQ(run.chunks, std::vector<std::string>{"hello"}) << input;
    EXPECT_TRUE(run.complete) << input;
    EXPECT_FALSE(d.take_trailers().has_value());
    EXPECT_EQ(d.buffered(), 0u);
  }
}

TEST(ChunkedBody, ChunksAreNeverJoinedAndUpperCaseHexWorks) {
  Decoded run =
      decode_all(BodyKind::kChunked, "3\r\nabc\r\nA\r\n0123456789\r\na\r\nABCDEFGHIJ\r\n0\r\n\r\n");
  EXPECT_EQ(run.chunks, (std::vector<std::string>{"abc", "0123456789", "ABCDEFGHIJ"}));
  EXPECT_TRUE(run.complete);
}

TEST(ChunkedBody, TrailersAreParsedAndTakenOnce) {
  BodyDecoder d(BodyKind::kChunked);
  d.feed("0\r\nExpires: never\r\nX-Sum: 1\r\nx-sum: 2\r\n\r\nNEXT");
  Decoded run = drain(d);
  EXPECT_TRUE(run.complete);
  EXPECT_EQ(d.buffered(), 4u);
  std::optional<HeaderMap> trailers = d.take_trailers();
  ASSERT_TRUE(trailers.has_value());
  HeaderMap expected;
  ASSERT_TRUE(expected.append("expires", "never"));
  ASSERT_TRUE(expected.append("x-sum", "1"));
  ASSERT_TRUE(expected.append("x-sum", "2"));
  EXPECT_EQ(*trailers, expected);
  EXPECT_FALSE(d.take_trailers().has_value());
}

TEST(ChunkedBody, TrailersAreNotOfferedBeforeTheEnd) {
  BodyDecoder d(BodyKind::kChunked);
  d.feed("0\r\nX: 1\r\n");
  EXPECT_EQ(d.decode().status, DecodeStatus::kNeedMore);
  EXPECT_FALSE(d.take_trailers().has_value());
  d.feed("\r\n");
  EXPECT_EQ(d.decode().status, DecodeStatus::kComplete);
  EXPECT_TRUE(d.take_trailers().has_value());
}

struct BadCase {
  const char* input;
  IoKind io;
  const char* text;
};

TEST(ChunkedBody, EveryFramingErrorHasItsTextAndKind) {
  const BadCase cases[] = {
      {"x\r\n", IoKind::kInvalidInput, "Invalid chunk size line: missing size digit"},
      {"\r\n", IoKind::kInvalidInput, "Invalid chunk size line: missing size digit"},
      {"5x\r\n", IoKind::kInvalidInput, "Invalid chunk size line: Invalid Size"},
      {"5\n", IoKind::kInvalidInput, "Invalid chunk size line: Invalid Size"},
      {"5 5\r\n", IoKind::kInvalidInput, "Invalid chunk size linear white space"},
      {"5 \n", IoKind::kInvalidInput, "Invalid chunk size linear white space"},
      {"5;a\nb\r\n", IoKind::kInvalidData, "invalid chunk extension contains newline"},
      {"5\rhello", IoKind::kInvalidInput, "Invalid chunk size LF"},
      {"5;x\r\r\n", IoKind::kInvalidInput, "Invalid chunk size LF"},
      {"5\r\nhello\n", IoKind::kInvalidInput, "Invalid chunk body CR"},
      {"5\r\nhelloX", IoKind::kInvalidInput, "Invalid chunk body CR"},
      {"5\r\nhello\rX", IoKind::kInvalidInput, "Invalid chunk body LF"},
      {"0\r\nX: 1\rY", IoKind::kInvalidInput, "Invalid trailer end LF"},
      {"0\r\n\rX", IoKind::kInvalidInput, "Invalid chunk end LF"},
      {"0\r\nX: 1\r\n\rX", IoKind::kInvalidInput, "Invalid chunk end LF"},
      {"FFFFFFFFFFFFFFFFF\r\n", IoKind::kInvalidData, "invalid chunk size: overflow"},
      {"10000000000000000\r\n", IoKind::kInvalidData, "invalid chunk size: overflow"},
      // trailer lines that break the header-line grammar
      {"0\r\n X: 1\r\n\r\n", IoKind::kInvalidInput, "invalid header name"},
      {"0\r\n: 1\r\n\r\n", IoKind::kInvalidInput, "invalid header name"},
      {"0\r\nX : 1\r\n\r\n", IoKind::kInvalidInput, "invalid token"},
      {"0\r\nNoColon\r\n\r\n", IoKind::kInvalidInput, "invalid token"},
      {"0\r\nX: a\x01z\r\n\r\n", IoKind::kInvalidInput, "invalid header value"},
      {"0\r\nX: 1\nY: 2\r\n\r\n", IoKind::kInvalidInput, "too many headers"},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.input);
    expect_error(decode_all(BodyKind::kChunked, c.input), c.io, c.text);
  }
}

TEST(ChunkedBody, SixteenHexDigitsAreAValidSize) {
  BodyDecoder d(BodyKind::kChunked);
  d.feed("FFFFFFFFFFFFFFFF\r\nab");
  EXPECT_EQ(drain(d).joined(), "ab");
  d.feed("0FFFFFFFFFFFFFFF\r\n");  // more chunk data, not a size
  EXPECT_EQ(drain(d).joined(), "0FFFFFFFFFFFFFFF\r\n");
}

TEST(ChunkedBody, EofInsideDataAndEverywhereElse) {
  expect_error(decode_all(BodyKind::kChunked, "5\r\nhel", true), IoKind::kUnexpectedEof,
               "end of file before message length reached");
  for (const char* input : {"", "5", "5 ", "5;ext", "5\r", "5\r\nhello", "5\r\nhello\r", "0\r\n",
                            "0\r\nX: 1", "0\r\nX: 1\r", "0\r\nX: 1\r\n", "0\r\n\r"}) {
    SCOPED_TRACE(input);
    expect_error(decode_all(BodyKind::kChunked, input, true), IoKind::kUnexpectedEof,
                 "unexpected EOF during chunk size line");
  }
}

// --- limits at their exact boundaries ---

TEST(ChunkedLimits, ExtensionBytesInTheWholeBody) {
  // ";" opens each extension and is not counted; the bytes after it are.
  auto body_with_extension_bytes = [](size_t first, size_t second) {
    return "1;" + std::string(first, 'e') + "\r\na\r\n0;" + std::string(second, 'e') + "\r\n\r\n";
  };
  EXPECT_TRUE(decode_all(BodyKind::kChunked,
                         body_with_extension_bytes(10000, kMaxChunkExtensionBytes - 10000))
                  .complete);
  expect_error(decode_all(BodyKind::kChunked,
                          body_with_extension_bytes(10000, kMaxChunkExtensionBytes - 9999)),
               IoKind::kInvalidData, "chunk extensions over limit");
}

TEST(ChunkedLimits, TrailerSectionBytes) {
  // The trailer buffer holds the lines and the final CR LF; it must stay below the limit.
  auto body_with_trailer_bytes = [](size_t total) {
    const size_t value = total - std::string("X: \r\n\r\n").size();
    return "0\r\nX: " + std::string(value, 'v') + "\r\n\r\n";
  };
  BodyDecoder ok(BodyKind::kChunked);
  ok.feed(body_with_trailer_bytes(kMaxTrailerBytes - 1));
  EXPECT_TRUE(drain(ok).complete);
  ASSERT_TRUE(ok.take_trailers().has_value());
  expect_error(decode_all(BodyKind::kChunked, body_with_trailer_bytes(kMaxTrailerBytes)),
               IoKind::kInvalidData, "chunk trailers bytes over limit");
}

TEST(ChunkedLimits, TrailerLineCount) {
  auto body_with_lines = [](size_t lines) {
    std::string out = "0\r\n";
    for (size_t k = 0; k < lines; ++k)
      out += "X-" + std::to_string(k) + ": v\r\n";
    return out + "\r\n";
  };
  BodyDecoder ok(BodyKind::kChunked);
  ok.feed(body_with_lines(kMaxTrailerLines));
  EXPECT_TRUE(drain(ok).complete);
  EXPECT_EQ(ok.take_trailers()->size(), kMaxTrailerLines);
  expect_error(decode_all(BodyKind::kChunked, body_with_lines(kMaxTrailerLines + 1)),
               IoKind::kInvalidData, "chunk trailers count overflow");
}

// --- splitting ---

TEST(ChunkedBody, EverySplitGivesTheSameDataAndTrailers) {
  const std::string input =
      "4;a=b\r\nWiki\r\n5 \r\npedia\r\nE;x;y=\"q\"\r\n in\r\n\r\nchunks.\r\n0\r\n"
      "Trailer-One: 1\r\nTrailer-Two: two\r\n\r\nREST";
  const std::string data = "Wikipedia in\r\n\r\nchunks.";
  for (size_t cut1 = 0; cut1 <= input.size(); ++cut1) {
    for (size_t cut2 = cut1; cut2 <= input.size(); cut2 += 7) {
      BodyDecoder d(BodyKind::kChunked);
      std::string got;
      for (std::string_view part : {std::string_view(input).substr(0, cut1),
                                    std::string_view(input).substr(cut1, cut2 - cut1),
                                    std::string_view(input).substr(cut2)}) {
        d.feed(part);
        Decoded run = drain(d);
        ASSERT_FALSE(run.error.has_value()) << cut1 << " " << cut2;
        got += run.joined();
      }
      ASSERT_TRUE(d.is_complete()) << cut1 << " " << cut2;
      EXPECT_EQ(got, data);
      EXPECT_EQ(d.buffered(), 4u);
      std::optional<HeaderMap> trailers = d.take_trailers();
      ASSERT_TRUE(trailers.has_value());
      EXPECT_EQ(trailers->first("trailer-one"), "1");
      EXPECT_EQ(trailers->first("trailer-two"), "two");
    }
  }
}

TEST(ChunkedBody, ByteByByteFeedingDeliversDataAsItArrives) {
  const std::string input = "6\r\nabcdef\r\n0\r\n\r\n";
  BodyDecoder d(BodyKind::kChunked);
  std::vector<std::string> chunks;
  for (char c : input) {
    d.feed(std::string_view(&c, 1));
    Decoded run = drain(d);
    ASSERT_FALSE(run.error.has_value());
    for (std::string& s : run.chunks)
      chunks.push_back(s);
  }
  EXPECT_EQ(chunks, (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
  EXPECT_TRUE(d.is_complete());
}

// A size line read whole (in place, when it is all in the buffer) and one read byte by byte (when
// it arrives a byte at a time) must agree on every input: data, end, error and leftover.
TEST(ChunkedBody, WholeAndByteByByteFeedingAgree) {
  std::mt19937 rng(7);
  const std::string pieces[] = {"\r\n",
                                "0",
                                "5",
                                "F",
                                "a",
                                "000000000000000",
                                "FFFFFFFFFFFFFFF",
                                "0FFFFFFFFFFFFFFF",
                                "FFFFFFFFFFFFFFFFF",
                                ";x",
                                " ",
                                "\r",
                                "\n",
                                "hello",
                                "X: 1"};
  std::vector<std::string> inputs = {
      "000000000000005\r\nhello\r\n0\r\n\r\n",   // fifteen digits
      "0000000000000005\r\nhello\r\n0\r\n\r\n",  // sixteen
      "5\r\nhello\r\n000000000000000\r\n\r\nNEXT",
  };
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    for (int k = int(rng() % 12); k > 0; --k)
      input += pieces[rng() % std::size(pieces)];
    inputs.push_back(input);
  }
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    BodyDecoder whole(BodyKind::kChunked);
    whole.feed(input);
    const Decoded at_once = drain(whole);
    BodyDecoder split(BodyKind::kChunked);
    std::string data;
    Decoded last;
    for (char c : input) {
      split.feed(std::string_view(&c, 1));
      last = drain(split);
      data += last.joined();
      if (last.error) break;
    }
    EXPECT_EQ(data, at_once.joined());
    EXPECT_EQ(split.is_complete(), whole.is_complete());
    ASSERT_EQ(last.error.has_value(), at_once.error.has_value());
    if (at_once.error) {
      EXPECT_EQ(last.error->cause->text, at_once.error->cause->text);
    } else {
      EXPECT_EQ(split.buffered(), whole.buffered());
    }
  }
}

// --- random input ---

TEST(BodyDecoderFuzz, RandomBytesNeverCrash) {
  std::mt19937 rng(2024);
  const std::string alphabet = "0123456789abcdefABCDEF;= \t\r\nxX:";
  for (int round = 0; round < 20000; ++round) {
    const Framing framing = Framing(rng() % 4);
    BodyDecoder d(framing, rng() % 64);
    const int feeds = 1 + int(rng() % 4);
    for (int f = 0; f < feeds; ++f) {
      std::string bytes(rng() % 40, '\0');
      for (char& c : bytes) {
        c = rng() % 4 == 0 ? char(rng()) : alphabet[rng() % alphabet.size()];
      }
      d.feed(bytes);
      if (rng() % 8 == 0) d.mark_eof();
      Decoded run = drain(d);
      if (run.error) {
        ASSERT_TRUE(run.error->cause.has_value());
        ASSERT_TRUE(run.error->cause->io.has_value());
        break;
      }
    }
  }
}

}  // namespace
}  // namespace quillet::h1
