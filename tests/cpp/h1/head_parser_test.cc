#include "wire/h1/head_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quillet::h1 {
namespace {

// --- the wide scanners against the byte-by-byte grammar ---

constexpr ScanWidth kWidths[] = {ScanWidth::kBytewise, ScanWidth::kSse2, ScanWidth::kAvx2};

TEST(Scanner, EveryWidthAgreesWithTheTablesOnEveryByteAtEveryOffset) {
  // Every byte value at every position of buffers of every length up to 80, each buffer starting
  // at every offset of a 32-byte line, so that a stop falls at each lane of a block, in a block
  // that straddles the line and in the tail the tables finish.
  alignas(64) char storage[32 + 80];
  for (ScanWidth width : kWidths) {
    SCOPED_TRACE(int(width));
    if (!scan_width_available(width)) continue;
    for (size_t align = 0; align < 32; align += 3) {
      char* buf = storage + align;
      for (size_t len = 0; len <= 80; ++len) {
        std::memset(buf, 'a', len);
        ASSERT_EQ(scan_field_value_with(width, buf, len), len);
        ASSERT_EQ(scan_target_with(width, buf, len), len);
        for (size_t pos = 0; pos < len; ++pos) {
          for (unsigned b = 0; b < 256; ++b) {
            buf[pos] = char(b);
            ASSERT_EQ(scan_field_value_with(width, buf, len), scan_field_value_bytewise(buf, len))
                << "align " << align << " len " << len << " pos " << pos << " byte " << b;
            ASSERT_EQ(scan_target_with(width, buf, len), scan_target_bytewise(buf, len))
                << "align " << align << " len " << len << " pos " << pos << " byte " << b;
          }
          buf[pos] = 'a';
        }
      }
    }
  }
}

TEST(Scanner, EveryWidthAgreesWithTheTablesOnRandomBytes) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    const size_t len = rng() % 200;
    std::string buf(len, '\0');
    // mostly allowed bytes, so runs are long enough to cross blocks
    for (char& c : buf) {
      const unsigned r = rng() % 128;
      c = r == 0 ? char(rng() % 256) : char(0x20 + rng() % 0x5F);
    }
    for (ScanWidth width : kWidths) {
      ASSERT_EQ(scan_field_value_with(width, buf.data(), len),
                scan_field_value_bytewise(buf.data(), len));
      ASSERT_EQ(scan_target_with(width, buf.data(), len), scan_target_bytewise(buf.data(), len));
    }
  }
  EXPECT_EQ(scan_field_value(" \t\x80\xff~\x7f", 6), 5u);  // the default is one of the widths
  EXPECT_EQ(scan_target("ab cd", 5), 2u);
}

// --- the request grammar ---

ParseOutcome request(std::string_view text, RequestHead* head, RequestLimits limits = {}) {
  return parse_request_head(text, limits, head);
}

TEST(RequestHead, ParsesASimpleGet) {
  RequestHead head;
  const std::string text = "GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\nrest";
  const ParseOutcome out = request(text, &head);
  ASSERT_EQ(out.status, ParseStatus::kComplete);
  EXPECT_EQ(out.consumed, text.size() - 4);
  EXPECT_EQ(head.method, Method::kGet);
  EXPECT_EQ(head.target, "/a?b=1");
  EXPECT_EQ(head.body_kind, BodyKind::kEmpty);
  EXPECT_TRUE(head.keep_alive);
  EXPECT_EQ(head.headers.first("host"), std::optional<std::string_view>("x"));
}

// Listed fields are the map's fields: filling a map from them gives the head an eager parse
// builds, and the head keeps a map wherever a Content-Length removal decides the order.
TEST(RequestHead, ListedFieldsFillTheSameMap) {
  const std::string heads[] = {
      "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\nAccept: */*\r\nX-A: 1\r\n\r\n",
      "GET / HTTP/1.1\r\nCookie: a\r\nHost: x\r\ncookie: b\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 5\r\nX: y\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: x\r\nA: 1\r\nContent-Length: 5\r\nB: 2\r\nTransfer-Encoding: "
      "chunked\r\n"
      "C: 3\r\nContent-Length: 7\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\nX: "
      "y\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\nbad line\r\nGood: 1\r\n\r\n",
  };
  for (const std::string& text : heads) {
    SCOPED_TRACE(text);
    RequestHead eager;
    RequestHead lazy;
    ASSERT_EQ(request(text, &eager, RequestLimits{100, true, false}).status,
              ParseStatus::kComplete);
    ASSERT_EQ(request(text, &lazy, RequestLimits{100, true, true}).status, ParseStatus::kComplete);
    EXPECT_FALSE(eager.fields_listed);
    const bool removal = text.find("Content-Length: 5\r\nB") != std::string::npos;
    EXPECT_EQ(lazy.fields_listed, !removal);
    HeaderMap filled = lazy.headers;
    if (lazy.fields_listed) {
      EXPECT_TRUE(lazy.headers.empty());
      ASSERT_TRUE(lazy.fields.fill(&filled));
    }
    std::vector<std::pair<std::string, std::string>> want;
    std::vector<std::pair<std::string, std::string>> got;
    eager.headers.for_each(
        [&](std::string_view n, std::string_view v) { want.emplace_back(n, v); });
    filled.for_each([&](std::string_view n, std::string_view v) { got.emplace_back(n, v); });
    EXPECT_EQ(got, want);
    EXPECT_EQ(lazy.body_kind, eager.body_kind);
    EXPECT_EQ(lazy.keep_alive, eager.keep_alive);
  }
}

// A list holds no more fields than a map takes, so that filling one never fails: a head with
// more lines keeps its map, and the map then refuses the line past its bound, as without a list.
TEST(RequestHead, MoreFieldsThanAMapTakesAreNotListed) {
  std::string text = "GET / HTTP/1.1\r\nHost: x\r\n";
  for (size_t k = 1; k < HeaderMap::kMaxNames; ++k)
    text += "x-" + std::to_string(k) + ": v\r\n";
  const std::string at_bound = text + "\r\n";
  const std::string past_bound = text + "x-last: v\r\n\r\n";
  const RequestLimits limits{HeaderMap::kMaxNames + 1, false, true};
  RequestHead listed;
  ASSERT_EQ(request(at_bound, &listed, limits).status, ParseStatus::kComplete);
  EXPECT_TRUE(listed.fields_listed);
  EXPECT_EQ(listed.fields.size(), HeaderMap::kMaxNames);
  RequestHead refused;
  EXPECT_EQ(request(past_bound, &refused, limits).error, ParseKind::kTooLarge);
  EXPECT_TRUE(refused.fields.empty());
  EXPECT_EQ(refused.headers.name_count(), HeaderMap::kMaxNames);
}

TEST(RequestHead, EveryPrefixOfAValidHeadIsIncomplete) {
  const std::string text =
      "\r\nPOST /upload HTTP/1.1\r\nHost: example.com\nContent-Length: 5\r\n"
      "X-Spaces:   padded value \t \r\nTE: trailers\r\n\r\n";
  for (size_t n = 0; n < text.size(); ++n) {
    RequestHead head;
    EXPECT_EQ(request(text.substr(0, n), &head).status, ParseStatus::kIncomplete) << n;
  }
  RequestHead head;
  ASSERT_EQ(request(text, &head).status, ParseStatus::kComplete);
  EXPECT_EQ(head.headers.first("x-spaces"), std::optional<std::string_view>("padded value"));
  EXPECT_EQ(head.content_length, 5u);
  EXPECT_TRUE(head.allow_trailers);
}

TEST(RequestHead, ExtensionMethodsKeepTheirToken) {
  RequestHead head;
  ASSERT_EQ(request("get / HTTP/1.1\r\nHost: x\r\n\r\n", &head).status, ParseStatus::kComplete);
  EXPECT_EQ(head.method, Method::kExtension);
  EXPECT_EQ(head.method_token, "get");
  ASSERT_EQ(request("QUERY / HTTP/1.1\r\nHost: x\r\n\r\n", &head).status, ParseStatus::kComplete);
  EXPECT_EQ(head.method, Method::kQuery);
}

struct BadHead {
  const char* text;
  ParseKind kind;
};

TEST(RequestHead, MalformedHeadsFailWithTheirKind) {
  const BadHead cases[] = {
      {"\rGET / HTTP/1.1\r\nHost: x\r\n\r\n", ParseKind::kHeaderToken},
      {" GET / HTTP/1.1\r\nHost: x\r\n\r\n", ParseKind::kMethod},
      {"GE(T / HTTP/1.1\r\nHost: x\r\n\r\n", ParseKind::kMethod},
      {"GET  / HTTP/1.1\r\nHost: x\r\n\r\n", ParseKind::kUri},
      {"GET /\r\n\r\n", ParseKind::kUri},
      {"GET /\xff HTTP/1.1\r\nHost: x\r\n\r\n", ParseKind::kUri},
      {"GET / HTTP/1.2\r\n\r\n", ParseKind::kVersion},
      {"GET / http/1.1\r\n\r\n", ParseKind::kVersion},
      {"GET / HTTP/1.1 \r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\rX\r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\nName : v\r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\n: v\r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\nA: b\x01\r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\nA: b\rc\r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\nA: b\x7f\r\n\r\n", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\n\rx", ParseKind::kHeaderToken},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: +5\r\n\r\n", ParseKind::kContentLengthInvalid},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5,5\r\n\r\n",
       ParseKind::kContentLengthInvalid},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length:\r\n\r\n", ParseKind::kContentLengthInvalid},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 123456789012345678901\r\n\r\n",
       ParseKind::kContentLengthInvalid},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\nContent-Length: 11\r\n\r\n",
       ParseKind::kContentLengthInvalid},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 18446744073709551614\r\n\r\n",
       ParseKind::kTooLarge},
      {"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n",
       ParseKind::kTransferEncodingInvalid},
      {"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n",
       ParseKind::kTransferEncodingInvalid},
      {"GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n",
       ParseKind::kTransferEncodingUnexpected},
      {"GET http://a b/ HTTP/1.1\r\nHost: x\r\n\r\n", ParseKind::kVersion},
      {"GET a/b HTTP/1.1\r\nHost: x\r\n\r\n", ParseKind::kUri}};
  for (const BadHead& c : cases) {
    RequestHead head;
    const ParseOutcome out = request(c.text, &head);
    ASSERT_EQ(out.status, ParseStatus::kError) << c.text;
    EXPECT_EQ(out.error, c.kind) << c.text;
  }
}

TEST(RequestHead, HeaderLineLimit) {
  std::string text = "GET / HTTP/1.0\r\n";
  for (int k = 0; k < 100; ++k)
    text += "a: b\r\n";
  RequestHead ok;
  EXPECT_EQ(request(text + "\r\n", &ok).status, ParseStatus::kComplete);
  EXPECT_EQ(ok.headers.size(), 100u);
  RequestHead over;
  const ParseOutcome out = request(text + "a: b\r\n\r\n", &over);
  EXPECT_EQ(out.status, ParseStatus::kError);
  EXPECT_EQ(out.error, ParseKind::kTooLarge);

  RequestHead none;
  EXPECT_EQ(request("GET / HTTP/1.0\r\na: b\r\n\r\n", &none, RequestLimits{0, false}).error,
            ParseKind::kTooLarge);
  // a limit past the stack slots still counts every line
  std::string many = "GET / HTTP/1.0\r\n";
  for (int k = 0; k < 150; ++k)
    many += "h" + std::to_string(k) + ": v\r\n";
  RequestHead big;
  EXPECT_EQ(request(many + "\r\n", &big, RequestLimits{150, false}).status, ParseStatus::kComplete);
  EXPECT_EQ(big.headers.size(), 150u);
  EXPECT_EQ(big.headers.first("h149"), std::optional<std::string_view>("v"));
  EXPECT_EQ(request(many + "x: y\r\n\r\n", &big, RequestLimits{150, false}).error,
            ParseKind::kTooLarge);
}

TEST(RequestHead, IgnoredInvalidLinesStillRefuseNulAndBareCr) {
  const RequestLimits ignore{100, true};
  RequestHead head;
  ASSERT_EQ(
      request("GET / HTTP/1.1\r\nHost: x\r\nbad header\r\nA: \x01x\r\nok: 1\r\n\r\n", &head, ignore)
          .status,
      ParseStatus::kComplete);
  EXPECT_EQ(head.headers.size(), 2u);
  RequestHead nul;
  EXPECT_EQ(request(std::string("GET / HTTP/1.0\r\nbad\0header\r\n\r\n", 31), &nul, ignore).error,
            ParseKind::kHeaderToken);
  RequestHead cr;
  EXPECT_EQ(request("GET / HTTP/1.1\r\nHost: x\r\nbad header\rx\r\n\r\n", &cr, ignore).error,
            ParseKind::kHeaderToken);
  // a skipped line counts toward no limit
  RequestHead limited;
  EXPECT_EQ(request("GET / HTTP/1.0\r\nbad line\r\n\r\n", &limited, RequestLimits{0, true}).status,
            ParseStatus::kComplete);
}

TEST(RequestHead, NameLengthLimit) {
  RequestHead head;
  const std::string ok = "GET / HTTP/1.1\r\nHost: x\r\n" + std::string(65535, 'n') + ": v\r\n\r\n";
  EXPECT_EQ(request(ok, &head).status, ParseStatus::kComplete);
  RequestHead over;
  const std::string bad = "GET / HTTP/1.1\r\nHost: x\r\n" + std::string(65536, 'n') + ": v\r\n\r\n";
  EXPECT_EQ(request(bad, &over).error, ParseKind::kTooLarge);
}

TEST(RequestHead, TargetLengthLimit) {
  RequestHead head;
  const std::string ok = "GET /" + std::string(65533, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n";
  EXPECT_EQ(request(ok, &head).status, ParseStatus::kComplete);
  const std::string over = "GET /" + std::string(65534, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n";
  EXPECT_EQ(request(over, &head).error, ParseKind::kUriTooLong);
  // an over-long target on an incomplete head waits for the rest
  EXPECT_EQ(request(over.substr(0, over.size() - 2), &head).status, ParseStatus::kIncomplete);
}

TEST(RequestHead, TargetForms) {
  struct Case {
    const char* line;
    const char* target;
  };
  for (const Case& c :
       {Case{"OPTIONS * HTTP/1.1", "*"},
        Case{"GET http://example.com HTTP/1.1", "http://example.com/"},
        Case{"GET http://example.com?q=1 HTTP/1.1", "http://example.com/?q=1"},
        Case{"GET http://example.com:8080/p?q HTTP/1.1", "http://example.com:8080/p?q"},
        Case{"CONNECT example.com:443 HTTP/1.1", "example.com:443"}}) {
    RequestHead head;
    ASSERT_EQ(request(std::string(c.line) + "\r\nHost: example.com\r\n\r\n", &head).status,
              ParseStatus::kComplete)
        << c.line;
    EXPECT_EQ(head.target, c.target);
  }
}

// --- request role rules ---

RequestHead parsed(const std::string& headers, const char* start = "POST / HTTP/1.1") {
  RequestHead head;
  const ParseOutcome out =
      request(std::string(start) + "\r\nHost: x\r\n" + headers + "\r\n", &head);
  EXPECT_EQ(out.status, ParseStatus::kComplete) << headers;
  return head;
}

TEST(RequestRules, ContentLengthAndTransferEncodingInBothOrders) {
  const RequestHead cl_first = parsed("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n");
  EXPECT_EQ(cl_first.body_kind, BodyKind::kChunked);
  EXPECT_FALSE(cl_first.headers.contains("content-length"));
  EXPECT_FALSE(cl_first.keep_alive);

  const RequestHead te_first = parsed("Transfer-Encoding: chunked\r\nContent-Length: 5\r\n");
  EXPECT_EQ(te_first.body_kind, BodyKind::kChunked);
  EXPECT_FALSE(te_first.headers.contains("content-length"));
  EXPECT_FALSE(te_first.keep_alive);

  const RequestHead te = parsed("Transfer-Encoding: chunked\r\n");
  EXPECT_EQ(te.body_kind, BodyKind::kChunked);
  EXPECT_TRUE(te.keep_alive);
}

TEST(RequestRules, TransferCodingsAreOneListOverEveryLine) {
  struct Case {
    const char* lines;
    std::optional<ParseKind> kind;  // none: framed as chunked
  };
  for (const Case& c : {
           Case{"Transfer-Encoding: chunked\r\n", std::nullopt},
           Case{"Transfer-Encoding: ,chunked\r\n", std::nullopt},
           Case{"Transfer-Encoding: CHUNKED\r\n", std::nullopt},
           Case{"Transfer-Encoding: chunked, chunked\r\n", ParseKind::kTransferEncodingInvalid},
           Case{"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n",
                ParseKind::kTransferEncodingInvalid},
           Case{"Transfer-Encoding: chunked, gzip\r\n", ParseKind::kTransferEncodingInvalid},
           Case{"Transfer-Encoding: chunked,\r\n", ParseKind::kTransferEncodingInvalid},
           Case{"Transfer-Encoding: gzip\x80\r\nTransfer-Encoding: chunked\r\n",
                ParseKind::kTransferEncodingInvalid},
           Case{"Transfer-Encoding: gzip, chunked\r\n", ParseKind::kTransferEncodingUnsupported},
           Case{"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n",
                ParseKind::kTransferEncodingUnsupported},
           Case{"Transfer-Encoding: identity, chunked\r\n",
                ParseKind::kTransferEncodingUnsupported},
       }) {
    RequestHead head;
    const std::string text = std::string("POST / HTTP/1.1\r\nHost: a\r\n") + c.lines + "\r\n";
    const ParseOutcome out = request(text, &head);
    if (!c.kind) {
      ASSERT_EQ(out.status, ParseStatus::kComplete) << c.lines;
      EXPECT_EQ(head.body_kind, BodyKind::kChunked);
    } else {
      ASSERT_EQ(out.status, ParseStatus::kError) << c.lines;
      EXPECT_EQ(out.error, *c.kind) << c.lines;
    }
  }
}

TEST(RequestRules, HostAndTargetForm) {
  struct Case {
    const char* text;
    std::optional<ParseKind> kind;  // none: accepted
  };
  for (const Case& c : {
           Case{"GET / HTTP/1.1\r\nHost: example.com\r\n", std::nullopt},
           Case{"GET / HTTP/1.1\r\nHost: EXAMPLE.com:8080\r\n", std::nullopt},
           Case{"GET / HTTP/1.1\r\nHost: 127.0.0.1:\r\n", std::nullopt},
           Case{"GET / HTTP/1.1\r\nHost: [::1]:443\r\n", std::nullopt},
           Case{"GET / HTTP/1.0\r\n", std::nullopt},
           Case{"GET / HTTP/1.0\r\nHost: a\r\n", std::nullopt},
           // the target's authority decides where the request goes; Host must still be sound
           Case{"GET http://a/ HTTP/1.1\r\nHost: b\r\n", std::nullopt},
           Case{"GET http://a/ HTTP/1.1\r\n", ParseKind::kHostMissing},
           Case{"GET http://u@a/ HTTP/1.1\r\nHost: a\r\n", ParseKind::kUri},
           Case{"GET / HTTP/1.1\r\n", ParseKind::kHostMissing},
           Case{"GET / HTTP/1.1\r\nHost: a\r\nHost: a\r\n", ParseKind::kHostInvalid},
           Case{"GET / HTTP/1.0\r\nHost: a\r\nHost: b\r\n", ParseKind::kHostInvalid},
           Case{"GET / HTTP/1.1\r\nHost:\r\n", ParseKind::kHostInvalid},
           Case{"GET / HTTP/1.1\r\nHost: a b\r\n", ParseKind::kHostInvalid},
           Case{"GET / HTTP/1.1\r\nHost: u@a\r\n", ParseKind::kHostInvalid},
           Case{"GET / HTTP/1.1\r\nHost: a/b\r\n", ParseKind::kHostInvalid},
           Case{"GET / HTTP/1.1\r\nHost: a:99999\r\n", ParseKind::kHostInvalid},
           Case{"GET / HTTP/1.1\r\nHost: [::1\r\n", ParseKind::kHostInvalid},
           // asterisk form for OPTIONS only, authority form for CONNECT only
           Case{"OPTIONS * HTTP/1.1\r\nHost: a\r\n", std::nullopt},
           Case{"GET * HTTP/1.1\r\nHost: a\r\n", ParseKind::kUri},
           Case{"CONNECT a:443 HTTP/1.1\r\nHost: a:443\r\n", std::nullopt},
           Case{"CONNECT /path HTTP/1.1\r\nHost: a\r\n", ParseKind::kUri},
           Case{"CONNECT http://a:443/ HTTP/1.1\r\nHost: a\r\n", ParseKind::kUri},
           Case{"CONNECT * HTTP/1.1\r\nHost: a\r\n", ParseKind::kUri},
           Case{"GET a:443 HTTP/1.1\r\nHost: a\r\n", ParseKind::kUri},
       }) {
    RequestHead head;
    const ParseOutcome out = request(std::string(c.text) + "\r\n", &head);
    if (!c.kind) {
      EXPECT_EQ(out.status, ParseStatus::kComplete) << c.text;
    } else {
      ASSERT_EQ(out.status, ParseStatus::kError) << c.text;
      EXPECT_EQ(out.error, *c.kind) << c.text;
    }
  }
  // The target of an absolute-form request names its host; the head carries that one.
  RequestHead head;
  ASSERT_EQ(
      request("GET http://a.example:8080/x HTTP/1.1\r\nHost: b.example\r\nX: 1\r\n\r\n", &head)
          .status,
      ParseStatus::kComplete);
  EXPECT_EQ(head.headers.first("host"), std::optional<std::string_view>("a.example:8080"));
  EXPECT_EQ(head.headers.size(), 2u);
}

TEST(RequestRules, RepeatedContentLength) {
  const RequestHead head = parsed("Content-Length: 10\r\nContent-Length: 10\r\n");
  EXPECT_EQ(head.body_kind, BodyKind::kLength);
  EXPECT_EQ(head.content_length, 10u);
  EXPECT_EQ(head.headers.size(), 2u);  // host and one content-length
  EXPECT_EQ(parsed("Content-Length: 0\r\n").body_kind, BodyKind::kEmpty);
}

TEST(RequestRules, KeepAlive) {
  EXPECT_TRUE(parsed("", "GET / HTTP/1.1").keep_alive);
  EXPECT_FALSE(parsed("", "GET / HTTP/1.0").keep_alive);
  EXPECT_TRUE(parsed("Connection: keep-alive\r\n", "GET / HTTP/1.0").keep_alive);
  EXPECT_FALSE(parsed("Connection: Upgrade, Close\r\n").keep_alive);
  // a close token anywhere wins, whatever a later line says
  EXPECT_FALSE(parsed("Connection: close\r\nConnection: keep-alive\r\n").keep_alive);
  EXPECT_FALSE(
      parsed("Connection: keep-alive\r\nConnection: close\r\n", "GET / HTTP/1.0").keep_alive);
  // a value with bytes outside visible ASCII has no tokens
  EXPECT_TRUE(parsed("Connection: close\xff\r\n").keep_alive);
}

TEST(RequestRules, ExpectUpgradeAndTrailers) {
  EXPECT_TRUE(parsed("Expect: 100-CONTINUE\r\n").expect_continue);
  EXPECT_FALSE(parsed("Expect: 100-continue, foo\r\n").expect_continue);
  EXPECT_FALSE(parsed("Expect: 100-continue\r\nExpect: x\r\n").expect_continue);
  EXPECT_TRUE(parsed("TE: deflate, Trailers\r\n").allow_trailers);
  EXPECT_FALSE(parsed("TE: trailersx\r\n").allow_trailers);
  EXPECT_TRUE(parsed("Upgrade: websocket\r\n").is_upgrade);
  EXPECT_FALSE(parsed("Upgrade: websocket\r\n", "GET / HTTP/1.0").is_upgrade);
  EXPECT_TRUE(parsed("", "CONNECT a:1 HTTP/1.1").is_upgrade);
  EXPECT_FALSE(parsed("Upgrade: x\r\n", "CONNECT a:1 HTTP/1.0").is_upgrade);
}

// --- responses ---

ParseOutcome response(std::string_view text, ResponseHead* head,
                      const RequestMethod* method = nullptr, ResponseLimits limits = {}) {
  return parse_response_head(text, method, limits, head);
}

TEST(ResponseHead, StatusLine) {
  ResponseHead head;
  EXPECT_EQ(response("HTTP/1.1 200\r\n\r\n", &head).status, ParseStatus::kComplete);
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(response("HTTP/1.1 404 Not \tFound\xff\r\n\r\n", &head).status, ParseStatus::kComplete);
  EXPECT_EQ(response("HTTP/1.1 099 X\r\n\r\n", &head).error, ParseKind::kStatus);
  EXPECT_EQ(response("HTTP/1.1 2000 X\r\n\r\n", &head).error, ParseKind::kStatus);
  EXPECT_EQ(response("HTTP/1.1 20x X\r\n\r\n", &head).error, ParseKind::kStatus);
  EXPECT_EQ(response("HTTP/1.1 200 O\x01K\r\n\r\n", &head).error, ParseKind::kStatus);
  EXPECT_EQ(response("HTTP/1.1 200 OK\rx\r\n\r\n", &head).error, ParseKind::kStatus);
  EXPECT_EQ(response("HTTP/1.1  200 OK\r\n\r\n", &head).error, ParseKind::kStatus);
  EXPECT_EQ(response("HTTP/2.0 200 OK\r\n\r\n", &head).error, ParseKind::kVersion);
  EXPECT_EQ(response("HTTP/1.1\t200 OK\r\n\r\n", &head).error, ParseKind::kVersion);
  EXPECT_EQ(response("HTTP/1.1 200 OK\r\n", &head).status, ParseStatus::kIncomplete);
}

TEST(ResponseHead, Framing) {
  const RequestMethod head_method{Method::kHead, {}};
  const RequestMethod connect{Method::kConnect, {}};
  struct Case {
    const char* text;
    const RequestMethod* method;
    BodyKind kind;
    uint64_t length;
    bool upgrade;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", nullptr, BodyKind::kClose, 0, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", &head_method, BodyKind::kEmpty, 0, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3, 3\r\n\r\n", nullptr, BodyKind::kLength, 3, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n", nullptr,
       BodyKind::kLength, 3, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", nullptr, BodyKind::kEmpty, 0, false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", nullptr,
       BodyKind::kChunked, 0, false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", nullptr, BodyKind::kClose, 0, false},
      {"HTTP/1.1 101 Switching\r\nContent-Length: 3\r\n\r\n", nullptr, BodyKind::kEmpty, 0, true},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 3\r\n\r\n", nullptr, BodyKind::kEmpty, 0, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", &connect, BodyKind::kEmpty, 0, true},
      {"HTTP/1.1 407 No\r\nContent-Length: 3\r\n\r\n", &connect, BodyKind::kLength, 3, false},
  };
  for (const Case& c : cases) {
    ResponseHead head;
    ASSERT_EQ(response(c.text, &head, c.method).status, ParseStatus::kComplete) << c.text;
    EXPECT_EQ(head.body_kind, c.kind) << c.text;
    EXPECT_EQ(head.content_length, c.length) << c.text;
    EXPECT_EQ(head.is_upgrade, c.upgrade) << c.text;
  }
  ResponseHead head;
  EXPECT_EQ(response("HTTP/1.1 200 OK\r\nContent-Length: 3, 4\r\n\r\n", &head).error,
            ParseKind::kContentLengthInvalid);
  EXPECT_EQ(response("HTTP/1.1 200 OK\r\nContent-Length: 3,\r\n\r\n", &head).error,
            ParseKind::kContentLengthInvalid);
  EXPECT_EQ(response("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", &head).error,
            ParseKind::kTransferEncodingUnexpected);
  EXPECT_EQ(
      response("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\n", &head).error,
      ParseKind::kTooLarge);
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairs_of(const HeaderMap& map) {
  Pairs out;
  map.for_each([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

// A listed response head is the head the map path builds: the same verdicts (or the same error),
// and fields that fill the same map in the same order and answer every lookup as it does.
TEST(ResponseHead, ListedFieldsMatchTheMap) {
  const RequestMethod head_method{Method::kHead, {}};
  const RequestMethod connect{Method::kConnect, {}};
  const std::pair<std::string, const RequestMethod*> cases[] = {
      {"HTTP/1.1 200 OK\r\nServer: nginx/1.22.1\r\nDate: Thu, 10 Dec 2026 13:18:19 GMT\r\n"
       "Content-Type: text/plain\r\nContent-Length: 1024\r\nConnection: keep-alive\r\n"
       "ETag: \"6b1aa66b-400\"\r\nAccept-Ranges: bytes\r\n\r\n",
       nullptr},
      {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nContent-Length: 3\r\nset-cookie: b=2\r\n"
       "Content-Length: 3\r\nSET-COOKIE: c\r\n\r\n",
       nullptr},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\nX: y\r\n\r\n",
       nullptr},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n", nullptr},
      {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n", nullptr},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", &head_method},
      {"HTTP/1.1 200 OK\r\nX: 1\r\n\r\n", &connect},
      {"HTTP/1.1 101 Switching\r\nUpgrade: websocket\r\nConnection: upgrade\r\n\r\n", nullptr},
      {"HTTP/1.1 204 No Content\r\n\r\n", nullptr},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3, 4\r\nX: 1\r\n\r\n", nullptr},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", nullptr},
  };
  for (const auto& [text, method] : cases) {
    SCOPED_TRACE(text);
    ResponseHead eager;
    ResponseHead lazy;
    const ParseOutcome a = response(text, &eager, method);
    const ParseOutcome b = response(text, &lazy, method, ResponseLimits{true});
    ASSERT_EQ(a.status, b.status);
    EXPECT_EQ(a.consumed, b.consumed);
    if (a.status != ParseStatus::kComplete) {
      EXPECT_EQ(a.error, b.error);
      continue;
    }
    EXPECT_FALSE(eager.fields_listed);
    ASSERT_TRUE(lazy.fields_listed);
    EXPECT_TRUE(lazy.headers.empty());
    HeaderMap filled;
    ASSERT_TRUE(lazy.fields.fill(&filled));
    EXPECT_EQ(pairs_of(filled), pairs_of(eager.headers));
    eager.headers.for_each([&](std::string_view name, std::string_view) {
      EXPECT_EQ(lazy.fields.first(name), eager.headers.first(name)) << name;
    });
    EXPECT_EQ(lazy.status, eager.status);
    EXPECT_EQ(lazy.body_kind, eager.body_kind);
    EXPECT_EQ(lazy.content_length, eager.content_length);
    EXPECT_EQ(lazy.keep_alive, eager.keep_alive);
    EXPECT_EQ(lazy.is_upgrade, eager.is_upgrade);
    EXPECT_EQ(lazy.http10, eager.http10);
  }
}

TEST(ResponseHead, LargestDeclaredLengthInBothRoles) {
  // 2^64-3 is the largest length a head may declare; the two values above it are reserved.
  const RequestHead largest = parsed("Content-Length: 18446744073709551613\r\n");
  EXPECT_EQ(largest.body_kind, BodyKind::kLength);
  EXPECT_EQ(largest.content_length, kMaxContentLength);
  ResponseHead head;
  ASSERT_EQ(
      response("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551613\r\n\r\n", &head).status,
      ParseStatus::kComplete);
  EXPECT_EQ(head.content_length, kMaxContentLength);
  RequestHead refused;
  EXPECT_EQ(
      request("GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 18446744073709551614\r\n\r\n", &refused)
          .error,
      ParseKind::kTooLarge);
}

TEST(ResponseHead, InformationalHeadsAreReportedForSkipping) {
  ResponseHead head;
  const std::string text = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
  const ParseOutcome out = response(text, &head);
  EXPECT_EQ(out.status, ParseStatus::kInformational);
  EXPECT_EQ(out.consumed, 25u);
  EXPECT_EQ(response("HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n", &head).status,
            ParseStatus::kInformational);
}

}  // namespace
}  // namespace quillet::h1
