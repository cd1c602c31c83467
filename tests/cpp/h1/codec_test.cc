// The codec's head receive path: a head that arrives in pieces is checked once, and the results
// do not depend on where the pieces were cut; and the client's verdict on a response received,
// whether the connection may carry another request.
#include "wire/h1/codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quillet::h1 {
namespace {

std::string describe(const HeaderMap& headers) {
  std::string out;
  headers.for_each([&out](std::string_view name, std::string_view value) {
    out.append(name).append(": ").append(value).append("|");
  });
  return out;
}

std::string describe(const RequestHead& h) {
  return std::to_string(int(h.method)) + " " + h.method_token + " " + h.target + " " +
         describe(h.headers) + " body " + std::to_string(int(h.body_kind)) + "/" +
         std::to_string(h.content_length) + " ka " + std::to_string(h.keep_alive) + " ec " +
         std::to_string(h.expect_continue) + " up " + std::to_string(h.is_upgrade) + " 10 " +
         std::to_string(h.http10) + " tr " + std::to_string(h.allow_trailers);
}

std::string describe(const ResponseHead& h) {
  return std::to_string(h.status) + " " + describe(h.headers) + " body " +
         std::to_string(int(h.body_kind)) + "/" + std::to_string(h.content_length) + " ka " +
         std::to_string(h.keep_alive) + " up " + std::to_string(h.is_upgrade) + " 10 " +
         std::to_string(h.http10);
}

// What one receive call showed: the result, the error and status it reported, the head it built
// and the bytes it left buffered.
struct Call {
  HeadResult result;
  std::string detail;
  size_t buffered;

  bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
  return os << "result " << int(c.result) << " [" << c.detail << "] buffered " << c.buffered;
}

enum class Role : uint8_t { kServer, kClient };

// A client codec that sent a request with `method`, so that its response rules apply.
void record_method(Codec& codec, std::string_view method) {
  RequestLine line;
  RequestLineError line_error;
  UriError uri_error;
  ASSERT_TRUE(make_request_line(method, "/", &line, &line_error, &uri_error));
  HeaderMap headers;
  std::string out;
  ASSERT_TRUE(codec.encode_request(line, headers, false, BodySpec{}, &out));
}

Call receive(Codec& codec, Role role, std::string_view data) {
  ParseKind error = ParseKind::kInternal;
  Call call;
  if (role == Role::kServer) {
    RequestHead head;
    call.result = codec.receive_request_head(data, &head, &error);
    if (call.result == HeadResult::kHead) call.detail = describe(head);
    if (call.result == HeadResult::kError) {
      const std::optional<uint16_t> status = codec.parse_error_status();
      call.detail = "kind " + std::to_string(int(error)) + " status " +
                    (status ? std::to_string(*status) : std::string("none"));
    }
  } else {
    ResponseHead head;
    call.result = codec.receive_response_head(data, &head, &error);
    if (call.result == HeadResult::kHead) call.detail = describe(head);
    if (call.result == HeadResult::kError) call.detail = "kind " + std::to_string(int(error));
  }
  call.buffered = codec.buffered();
  return call;
}

struct Setup {
  Role role = Role::kServer;
  CodecConfig config;
  std::string_view method;  // client: the request method recorded, "" for none
};

// Feeds `input` cut at `cuts` (increasing offsets; repeated offsets make empty reads) and checks
// every call against a fresh codec handed everything buffered at once, which parses from the
// buffer start with nothing carried over.
void check_pieces(const Setup& setup, std::string_view input, const std::vector<size_t>& cuts) {
  Codec codec(setup.config);
  if (!setup.method.empty()) record_method(codec, setup.method);
  std::string pending;  // what `codec` holds, as the fresh codec must see it
  size_t at = 0;
  for (size_t k = 0; k <= cuts.size(); ++k) {
    const size_t end = k < cuts.size() ? cuts[k] : input.size();
    const std::string_view piece = input.substr(at, end - at);
    at = end;
    pending.append(piece);
    Codec fresh(setup.config);
    if (!setup.method.empty()) record_method(fresh, setup.method);
    const Call expected = receive(fresh, setup.role, pending);
    const Call got = receive(codec, setup.role, piece);
    ASSERT_EQ(got, expected) << "call " << k << " ending at " << end;
    pending.erase(0, pending.size() - got.buffered);
  }
}

// Every cut into two reads and, for short inputs, into three; then one byte per read.
void check_every_split(const Setup& setup, std::string_view input) {
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    check_pieces(setup, input, {cut});
    if (::testing::Test::HasFatalFailure()) return;
  }
  if (input.size() <= 200) {
    for (size_t first = 1; first < input.size(); ++first) {
      for (size_t second = first + 1; second < input.size(); ++second) {
        check_pieces(setup, input, {first, second});
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
  std::vector<size_t> bytes;
  for (size_t k = 1; k < input.size(); ++k)
    bytes.push_back(k);
  check_pieces(setup, input, bytes);
}

// Random read sizes from 0 (a retry with nothing new) to `max_read`.
void check_random_reads(const Setup& setup, std::string_view input, size_t max_read, int runs) {
  std::mt19937 rng(7);
  for (int run = 0; run < runs && !::testing::Test::HasFatalFailure(); ++run) {
    std::vector<size_t> cuts;
    for (size_t at = rng() % (max_read + 1); at < input.size(); at += rng() % (max_read + 1)) {
      cuts.push_back(at);
    }
    check_pieces(setup, input, cuts);
  }
}

Setup server(CodecConfig config = {}) {
  return Setup{Role::kServer, config, ""};
}
Setup client(std::string_view method = "GET") {
  return Setup{Role::kClient, {}, method};
}

// --- the same results whatever the reads ---

TEST(HeadResume, RequestHeadsGiveTheSameResultsAtEverySplit) {
  const char* const heads[] = {
      // valid, with leading empty lines, a bare LF, padded values, a body and a second request
      "\r\n\nPOST /upload?x=1 HTTP/1.1\r\nHost: example.com\nContent-Length: 5\r\n"
      "X-Pad:  \t value \t \r\nTE: trailers\r\n\r\nhelloGET / HTTP/1.1\r\nHost: x\r\n\r\n",
      "PROPFIND http://example.com HTTP/1.0\r\nConnection: keep-alive\r\nExpect: 100-continue\r\n"
      "Upgrade: x\r\n\r\n",
      "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n",
      // a malformed line ahead of good ones, then a stray CR, then a bad value byte
      "GET / HTTP/1.1\r\nHost: x\r\nBad Name: y\r\nZ: z\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\nA: b\rC: d\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\nA: b\x01\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\n: empty name\r\n\r\n",
      "\rGET / HTTP/1.1\r\nHost: x\r\n\r\n",
      // start-line errors
      "GET  / HTTP/1.1\r\nHost: x\r\n\r\n",
      "GE\tT / HTTP/1.1\r\nHost: x\r\n\r\n",
      "GET / HTTP/1.2\r\n\r\n",
      "GET / HTTP/1.1 \r\n\r\n",
      "GET /\xff HTTP/1.1\r\nHost: x\r\n\r\n",
      "GET #x HTTP/1.1\r\nHost: x\r\n\r\n",
      // role-rule errors, found only once the head is complete
      "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
      "GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n",
      // the HTTP/2 preface: `version` (400) until 24 bytes are buffered, then `version_h2`
      "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
  };
  for (const char* head : heads) {
    SCOPED_TRACE(head);
    check_every_split(server(), head);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(HeadResume, RequestLimitsGiveTheSameResultsAtEverySplit) {
  CodecConfig three_lines;
  three_lines.max_headers = 3;
  CodecConfig lenient;
  lenient.ignore_invalid_headers = true;
  CodecConfig none;
  none.max_headers = 0;
  const struct {
    CodecConfig config;
    const char* head;
  } cases[] = {
      {three_lines, "GET / HTTP/1.1\r\nHost: x\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n"},
      {three_lines, "GET / HTTP/1.1\r\nHost: x\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n"},
      {none, "GET / HTTP/1.1\r\nHost: x\r\nA: 1\r\n\r\n"},
      // skipped lines count toward no limit; a NUL or a stray CR in one still fails
      {lenient,
       "GET / HTTP/1.1\r\nHost: x\r\nbad line\r\nA: 1\r\n\tfolded\r\nB: \x01x\r\nC: 3\r\n\r\n"},
      {lenient, "GET / HTTP/1.1\r\nHost: x\r\nbad line\r\nA: 1\r\nbad\0line\r\n\r\n"},
      {lenient, "GET / HTTP/1.1\r\nHost: x\r\nbad line\rx\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    check_every_split(server(c.config), c.head);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(HeadResume, TooLargeAndEarlierErrorsKeepTheirPrecedence) {
  CodecConfig small;
  small.max_buf_size = kMinMaxBufSize;
  const std::string filler = "X-Filler: " + std::string(kMinMaxBufSize, 'f') + "\r\n";
  // The head outgrows the buffer while incomplete: `too_large` (431) from the call that fills the
  // buffer on, unless a malformed byte is already buffered before the point the check ran out.
  const std::string heads[] = {
      "GET / HTTP/1.1\r\nHost: x\r\n" + filler + "\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\nBad Line\r\n" + filler + "\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\n" + filler.substr(0, 4000) + "\x01" + filler.substr(4000) +
          "\r\n",
      "GET / HTTP/1.1\r\nHost: x\r\n" + filler + "Bad Line\r\n\r\n",
      "GET /" + std::string(kMinMaxBufSize, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
  };
  for (const std::string& head : heads) {
    SCOPED_TRACE(head.substr(0, 40));
    check_random_reads(server(small), head, 700, 20);
    check_random_reads(server(small), head, 7, 2);
    for (size_t cut : {size_t(1), size_t(20), size_t(4000), kMinMaxBufSize - 1, kMinMaxBufSize,
                       kMinMaxBufSize + 1, head.size() - 3}) {
      check_pieces(server(small), head, {cut});
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(HeadResume, ResponseHeadsGiveTheSameResultsAtEverySplit) {
  const std::string many = [] {
    std::string lines;
    for (int k = 0; k < 101; ++k)
      lines += "A: " + std::to_string(k) + "\r\n";
    return lines;
  }();
  const std::string heads[] = {
      // informational heads are dropped, the final one is returned with what follows it
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc",
      "\r\nHTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\nConnection: upgrade\r\n\r\nraw",
      "HTTP/1.0 204\r\nConnection: keep-alive\r\n\r\n",
      "HTTP/1.1 200 \t\x80reason\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
      "HTTP/1.1 200 OK\nContent-Length: 3, 3\n\n",
      // errors
      "HTTP/1.1 099 X\r\n\r\n",
      "HTTP/1.1 200 O\x01K\r\n\r\n",
      "HTTP/1.1 20x OK\r\n\r\n",
      "HTTP/1.1 200x\r\n\r\n",
      "HTTP/1.1  200 OK\r\n\r\n",
      "HTTP/2.0 200 OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 3, 4\r\n\r\n",
      "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n",
      "HTTP/1.1 200 OK\r\n" + many + "\r\n",
  };
  for (const std::string& head : heads) {
    SCOPED_TRACE(head.substr(0, 60));
    check_every_split(client(), head);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // the recorded method decides the framing of the same bytes
  for (std::string_view method : {"HEAD", "CONNECT"}) {
    check_every_split(client(method), "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
  }
}

// --- the progress starts over when the buffer's front changes ---

TEST(HeadResume, StartsOverWhenTheBufferIsTakenOrTheRoleChanges) {
  // Each case leaves a partly checked head, then replaces what is buffered or reads it for the
  // other role. A progress kept past that point would read the bytes from the middle of an element.
  const std::string partial = "GET / HTTP/1.1\r\nHost: x\r\nX-Long: aaaaaaaaaaaaaaaa";
  const std::string next = "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nok";
  Codec fresh({});
  const Call expected = receive(fresh, Role::kServer, next);
  ASSERT_EQ(expected.result, HeadResult::kHead);

  Codec taken({});
  ASSERT_EQ(receive(taken, Role::kServer, partial).result, HeadResult::kNone);
  EXPECT_EQ(taken.take_body(), partial);
  EXPECT_EQ(receive(taken, Role::kServer, next), expected);

  // take_body, then the bytes put back with feed (as a body decoder hands back its leftover)
  Codec fed({});
  ASSERT_EQ(receive(fed, Role::kServer, partial).result, HeadResult::kNone);
  (void)fed.take_body();
  fed.feed(next);
  EXPECT_EQ(receive(fed, Role::kServer, ""), expected);

  // the same bytes read for the other role: what one role checked means nothing to the other
  const std::string status_line = "HTTP/1.1 200 OK\r\nA: b";
  Codec as_client({});
  ASSERT_EQ(receive(as_client, Role::kClient, status_line).result, HeadResult::kNone);
  Codec server_once({});
  EXPECT_EQ(receive(as_client, Role::kServer, ""),
            receive(server_once, Role::kServer, status_line));
  Codec as_server({});
  ASSERT_EQ(receive(as_server, Role::kServer, "HTTP").result, HeadResult::kNone);
  Codec client_once({});
  EXPECT_EQ(receive(as_server, Role::kClient, "/1.1 200 OK\r\n\r\n"),
            receive(client_once, Role::kClient, "HTTP/1.1 200 OK\r\n\r\n"));
}

// --- the work is linear in the head's size ---

struct Trickled {
  std::string name;
  Role role;
  CodecConfig config;
  std::string head;
  HeadResult last;  // the result of the call that completes the head
};

std::vector<Trickled> trickled_heads() {
  CodecConfig many;
  many.max_headers = 100000;
  CodecConfig lenient;
  lenient.ignore_invalid_headers = true;
  const size_t size = 300000;
  std::string lines;
  for (int k = 0; lines.size() < size; ++k)
    lines += "X-Field-" + std::to_string(k) + ": " + std::string(40, 'v') + "\r\n";
  std::string interim;
  for (int k = 0; k < 99; ++k)
    interim += "X-Hint-" + std::to_string(k) + ": " + std::string(1400, 'h') + "\r\n";
  return {
      {"many lines", Role::kServer, many, "GET / HTTP/1.1\r\nHost: x\r\n" + lines + "\r\n",
       HeadResult::kHead},
      {"one long value",
       Role::kServer,
       {},
       "GET / HTTP/1.1\r\nHost: x\r\nCookie: " + std::string(size, 'c') + "\r\n\r\n",
       HeadResult::kHead},
      {"long whitespace",
       Role::kServer,
       {},
       "GET / HTTP/1.1\r\nHost: x\r\nA:" + std::string(size, ' ') + "b\r\n\r\n",
       HeadResult::kHead},
      {"long method",
       Role::kServer,
       {},
       std::string(size, 'M') + " / HTTP/1.1\r\nHost: x\r\n\r\n",
       HeadResult::kHead},
      {"long target",
       Role::kServer,
       {},
       "GET /" + std::string(size, 't') + " HTTP/1.1\r\nHost: x\r\n\r\n",
       HeadResult::kError},  // uri_too_long, once complete
      {"long name",
       Role::kServer,
       {},
       "GET / HTTP/1.1\r\nHost: x\r\n" + std::string(65535, 'n') + ": v\r\n\r\n",
       HeadResult::kHead},
      {"leading empty lines",
       Role::kServer,
       {},
       std::string(size / 2, '\n') + "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
       HeadResult::kHead},
      {"skipped lines", Role::kServer, lenient,
       "GET / HTTP/1.1\r\nHost: x\r\nbad " + std::string(size, 'x') + "\r\nA: b\r\n\r\n",
       HeadResult::kHead},
      // the call that fills the buffer to max_buf_size fails
      {"too large",
       Role::kServer,
       {},
       "GET / HTTP/1.1\r\nCookie: " + std::string(kDefaultMaxBufSize - 24, 'c'),
       HeadResult::kError},
      {"long reason after interim heads",
       Role::kClient,
       {},
       "HTTP/1.1 103 Early Hints\r\n" + interim + "\r\nHTTP/1.1 200 " + std::string(size / 2, 'r') +
           "\r\nContent-Length: 0\r\n\r\n",
       HeadResult::kHead},
  };
}

TEST(HeadResume, AHeadFedOneByteAtATimeIsWalkedAboutTwice) {
  for (const Trickled& t : trickled_heads()) {
    SCOPED_TRACE(t.name);
    Codec codec(t.config);
    const std::string_view head = t.head;
    HeadResult result = HeadResult::kNone;
    size_t k = 0;
    for (; k < head.size() && result == HeadResult::kNone; ++k) {
      result = receive(codec, t.role, head.substr(k, 1)).result;
    }
    EXPECT_EQ(k, head.size()) << "finished early";
    EXPECT_EQ(result, t.last);
    // Once while the bytes arrive, once more to build the head from its start, and a little
    // for the bytes read again (a CR waiting for its LF, a version, a status code). A parse that
    // started over at every read would walk about size * size / 2 bytes.
    const uint64_t size = head.size();
    EXPECT_GE(codec.head_bytes_scanned(), size);
    EXPECT_LE(codec.head_bytes_scanned(), 2 * size + size / 16);
    if (t.last == HeadResult::kError) {
      EXPECT_EQ(receive(codec, t.role, "").result, t.last) << "a retry fails the same way";
    }
  }
}

// One client exchange as far as the reuse verdict goes: the request written, whether its body
// went out in full before the response head came, and that head.
struct ClientExchange {
  std::string_view method;
  bool request_close = false;  // the request carries "connection: close"
  BodySpec body;
  bool body_sent = true;
  std::string_view response;
  bool last = false;
  bool close_delimited = false;
};

TEST(ClientVerdict, ResponseIsLastUnlessEverythingKeepsTheConnection) {
  constexpr std::string_view kOk = "HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n";
  constexpr std::string_view kClose =
      "HTTP/1.1 200 OK\r\nConnection: close\r\ncontent-length: 0\r\n\r\n";
  constexpr std::string_view k10 = "HTTP/1.0 200 OK\r\ncontent-length: 0\r\n\r\n";
  constexpr std::string_view k10KeepAlive =
      "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\ncontent-length: 0\r\n\r\n";
  constexpr std::string_view kToTheClose = "HTTP/1.1 200 OK\r\n\r\n";
  constexpr std::string_view kGzipToTheClose = "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip\r\n\r\n";
  constexpr std::string_view k101 = "HTTP/1.1 101 Switching Protocols\r\nupgrade: x\r\n\r\n";
  constexpr std::string_view k407 =
      "HTTP/1.1 407 Proxy Authentication Required\r\ncontent-length: 0\r\n\r\n";
  const BodySpec none{};
  const BodySpec five{false, 5};
  const BodySpec chunked{true, {}};
  const ClientExchange cases[] = {
      {"GET", false, none, true, kOk, false, false},
      {"GET", false, none, true, "HTTP/1.1 204 No Content\r\n\r\n", false, false},
      {"HEAD", false, none, true, "HTTP/1.1 200 OK\r\ncontent-length: 9\r\n\r\n", false, false},
      {"GET", false, none, true, kClose, true, false},
      {"GET", false, none, true, k10, true, false},
      {"GET", false, none, true, k10KeepAlive, false, false},
      // The body runs to the close, however the response speaks of keep-alive.
      {"GET", false, none, true, kToTheClose, true, true},
      {"GET", false, none, true, kGzipToTheClose, true, true},
      // The request asked to close, whatever the response says.
      {"GET", true, none, true, kOk, true, false},
      // The connection now carries another protocol.
      {"GET", false, none, true, k101, true, false},
      {"CONNECT", false, none, true, "HTTP/1.1 200 OK\r\n\r\n", true, false},
      {"CONNECT", false, none, true, k407, false, false},
      // Answered before the request body went out in full: the server is mid-message.
      {"POST", false, five, false, kOk, true, false},
      {"POST", false, chunked, false, kOk, true, false},
      {"POST", false, five, true, kOk, false, false},
      {"POST", false, chunked, true, kOk, false, false},
  };
  for (const ClientExchange& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + std::string(c.response));
    Codec codec(CodecConfig{});
    RequestLine line;
    RequestLineError line_error;
    UriError uri_error;
    ASSERT_TRUE(make_request_line(c.method, c.method == "CONNECT" ? "h:443" : "/", &line,
                                  &line_error, &uri_error));
    HeaderMap headers;
    if (c.request_close) {
      ASSERT_TRUE(headers.append("connection", "close"));
    }
    std::string out;
    ASSERT_TRUE(codec.encode_request(line, headers, false, c.body, &out));
    if (c.body_sent) codec.take_body_encoder();  // what the end of the body does
    ResponseHead head;
    ParseKind error = ParseKind::kInternal;
    ASSERT_EQ(codec.receive_response_head(c.response, &head, &error), HeadResult::kHead);
    EXPECT_EQ(codec.response_is_last(), c.last);
    EXPECT_EQ(codec.response_close_delimited(), c.close_delimited);
  }
}

TEST(ClientVerdict, DescribesTheLastResponseReceivedAcrossReset) {
  Codec codec(CodecConfig{});
  record_method(codec, "GET");
  ResponseHead head;
  ParseKind error = ParseKind::kInternal;
  // An interim head is no verdict; the final one is.
  ASSERT_EQ(codec.receive_response_head("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n",
                                        &head, &error),
            HeadResult::kHead);
  EXPECT_TRUE(codec.response_is_last() && codec.response_close_delimited());
  codec.take_body();
  codec.reset();  // the next message starts; the verdicts stay until the next head
  EXPECT_TRUE(codec.response_is_last());
  record_method(codec, "GET");
  EXPECT_EQ(codec.receive_response_head("HTTP/1.1 200 OK\r\ncontent-length: 0\r\n", &head, &error),
            HeadResult::kNone);
  EXPECT_TRUE(codec.response_is_last());  // an incomplete head leaves them
  ASSERT_EQ(codec.receive_response_head("\r\n", &head, &error), HeadResult::kHead);
  EXPECT_FALSE(codec.response_is_last() || codec.response_close_delimited());
  EXPECT_EQ(codec.receive_response_head("HTTP/1.1 2x0 OK\r\n\r\n", &head, &error),
            HeadResult::kError);
  EXPECT_FALSE(codec.response_is_last());  // and so does a malformed one
}

}  // namespace
}  // namespace quillet::h1
