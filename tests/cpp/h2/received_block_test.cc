// The message rules on header blocks: which received blocks are requests, responses or
// trailers, and the request and response heads this side builds. The connection's use of them is in
// connection_streams_test.cc.
#include "wire/h2/header_block.h"

#include "wire/common/http_date.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillet::h2 {
namespace {

using hpack::PseudoHeader;
using hpack::PseudoHeaders;

struct Block {
  std::vector<std::pair<PseudoHeader, std::string>> pseudo;
  std::vector<std::pair<std::string, std::string>> fields;

  PseudoHeaders pseudo_headers() const {
    PseudoHeaders p;
    for (const auto& [h, v] : pseudo)
      p[h] = v;
    return p;
  }
  HeaderMap map() const {
    HeaderMap m;
    for (const auto& [n, v] : fields)
      EXPECT_TRUE(m.append(n, v));
    return m;
  }
};

constexpr PseudoHeader kMethod = PseudoHeader::kMethod;
constexpr PseudoHeader kScheme = PseudoHeader::kScheme;
constexpr PseudoHeader kAuthority = PseudoHeader::kAuthority;
constexpr PseudoHeader kPath = PseudoHeader::kPath;
constexpr PseudoHeader kProtocol = PseudoHeader::kProtocol;
constexpr PseudoHeader kStatus = PseudoHeader::kStatus;

Block get(std::string path = "/") {
  return Block{{{kMethod, "GET"}, {kScheme, "https"}, {kAuthority, "a.example"}, {kPath, path}},
               {}};
}

TEST(ReceivedShape, RequestsResponsesAndTrailers) {
  struct Case {
    const char* what;
    Block block;
    bool request, response, trailers;
  };
  const auto with = [](Block b, std::pair<std::string, std::string> field) {
    b.fields.push_back(std::move(field));
    return b;
  };
  const auto without = [](Block b, PseudoHeader h) {
    std::erase_if(b.pseudo, [h](const auto& p) { return p.first == h; });
    return b;
  };
  const auto plus = [](Block b, PseudoHeader h, std::string v) {
    b.pseudo.emplace_back(h, std::move(v));
    return b;
  };
  const Block connect{{{kMethod, "CONNECT"}, {kAuthority, "a.example:443"}}, {}};
  const Block options_star{
      {{kMethod, "OPTIONS"}, {kScheme, "https"}, {kAuthority, "a"}, {kPath, "*"}}, {}};
  const Block extended =
      plus(plus(plus(connect, kScheme, "https"), kPath, "/chat"), kProtocol, "websocket");
  const Case cases[] = {
      {"get", get(), true, false, false},
      {"get without authority or host", without(get(), kAuthority), false, false, false},
      {"query", get("/a?b=c"), true, false, false},
      {"no method", without(get(), kMethod), false, false, false},
      {"no scheme", without(get(), kScheme), false, false, false},
      {"no path", without(get(), kPath), false, false, false},
      {"status in a request", plus(get(), kStatus, "200"), false, false, false},
      {"empty path", get(""), false, false, false},
      {"relative path", get("a/b"), false, false, false},
      {"asterisk for GET", get("*"), false, false, false},
      {"asterisk for OPTIONS", options_star, true, false, false},
      {"space in path", get("/a b"), false, false, false},
      {"fragment", get("/a#b"), false, false, false},
      {"connect", connect, true, false, false},
      {"connect without authority", without(connect, kAuthority), false, false, false},
      {"connect with path", plus(connect, kPath, "/"), false, false, false},
      {"connect with scheme", plus(connect, kScheme, "https"), false, false, false},
      {"extended connect", extended, true, false, false},
      {"extended connect without path", without(extended, kPath), false, false, false},
      {"protocol without connect", plus(get(), kProtocol, "websocket"), false, false, false},
      {"host equal to authority", with(get(), {"host", "A.example"}), true, false, false},
      {"host differs", with(get(), {"host", "b.example"}), false, false, false},
      {"host without authority", with(without(get(), kAuthority), {"host", "b"}), true, false,
       false},
      {"other scheme without authority",
       Block{{{kMethod, "GET"}, {kScheme, "urn"}, {kPath, "/x"}}, {}}, true, false, false},
      {"one length twice", with(with(get(), {"content-length", "3"}), {"content-length", "3"}),
       true, false, false},
      {"two lengths", with(with(get(), {"content-length", "3"}), {"content-length", "4"}), false,
       false, false},
      {"response", Block{{{kStatus, "200"}}, {{"x", "1"}}}, false, true, false},
      {"response without status", Block{{}, {{"x", "1"}}}, false, false, true},
      {"response with path", Block{{{kStatus, "200"}, {kPath, "/"}}, {}}, false, false, false},
      {"response with method", plus(Block{{{kStatus, "200"}}, {}}, kMethod, "GET"), false, false,
       false},
      {"response, two lengths",
       Block{{{kStatus, "200"}}, {{"content-length", "1"}, {"content-length", "2"}}}, false, false,
       false},
      {"trailers", Block{{}, {{"x-checksum", "1"}}}, false, false, true},
      {"empty trailers", Block{}, false, false, true},
  };
  for (const Case& c : cases) {
    const ReceivedShape shape = received_shape(c.block.pseudo_headers(), c.block.map());
    EXPECT_EQ(shape.request, c.request) << c.what;
    EXPECT_EQ(shape.response, c.response) << c.what;
    EXPECT_EQ(shape.trailers, c.trailers) << c.what;
    EXPECT_EQ(shape.extended_connect, c.request && c.what == std::string("extended connect"))
        << c.what;
  }
}

// A response head gets the current Date unless it has its own or none is wanted, as over
// HTTP/1; a status out of range or a full map changes nothing.
TEST(ResponseBlock, StatusAndDate) {
  HeaderMap fields;
  ASSERT_TRUE(fields.append("x-a", "1"));
  PseudoHeaders pseudo;
  ASSERT_EQ(build_response_head(204, true, &fields, &pseudo), std::nullopt);
  EXPECT_EQ(pseudo[kStatus], "204");
  const std::optional<std::string_view> date = fields.first("date");
  ASSERT_TRUE(date.has_value());
  EXPECT_EQ(*date, cached_http_date());
  EXPECT_EQ(date->size(), kImfFixdateLength);

  HeaderMap own;
  ASSERT_TRUE(own.append("Date", "Sun, 06 Nov 1994 08:49:37 GMT"));
  ASSERT_EQ(build_response_head(200, true, &own, &pseudo), std::nullopt);
  EXPECT_EQ(own.size(), 1u);
  EXPECT_EQ(own.first("date"), "Sun, 06 Nov 1994 08:49:37 GMT");

  HeaderMap none;
  ASSERT_EQ(build_response_head(999, false, &none, &pseudo), std::nullopt);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(pseudo[kStatus], "999");

  for (const uint32_t status : {0u, 99u, 1000u}) {
    PseudoHeaders untouched;
    untouched[kStatus] = "200";
    EXPECT_EQ(build_response_head(status, true, &none, &untouched), ResponseBlockError::kStatus);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(untouched[kStatus], "200");
  }

  HeaderMap full;
  for (size_t i = 0; i < HeaderMap::kMaxNames; ++i)
    ASSERT_TRUE(full.append("x-" + std::to_string(i), "v"));
  EXPECT_EQ(build_response_head(200, true, &full, &pseudo), ResponseBlockError::kFieldsFull);
  EXPECT_FALSE(full.contains("date"));
  EXPECT_TRUE(build_response_head(200, false, &full, &pseudo) == std::nullopt);
}

// An extended CONNECT carries :protocol with the fields of an ordinary request; a plain CONNECT
// only its tunnel's end. :protocol on another method, or not a token, is refused.
TEST(RequestPseudo, ExtendedConnectCarriesProtocolSchemePathAndAuthority) {
  PseudoHeaders pseudo;
  UriError uri_error = UriError::kEmpty;
  ASSERT_EQ(build_request_pseudo("CONNECT", "/chat?room=1", "https", "example.com:8443",
                                 "websocket", &pseudo, &uri_error),
            std::nullopt);
  EXPECT_EQ(pseudo, (Block{{{kMethod, "CONNECT"},
                            {kScheme, "https"},
                            {kAuthority, "example.com:8443"},
                            {kPath, "/chat?room=1"},
                            {kProtocol, "websocket"}},
                           {}}
                         .pseudo_headers()));
  // The block it builds is what a server takes for an extended CONNECT.
  const ReceivedShape shape = received_shape(pseudo, HeaderMap());
  EXPECT_TRUE(shape.request && shape.extended_connect);
  // An absolute target brings its own scheme and authority.
  ASSERT_EQ(build_request_pseudo("CONNECT", "http://h/", std::nullopt, std::nullopt, "websocket",
                                 &pseudo, &uri_error),
            std::nullopt);
  EXPECT_EQ(pseudo[kAuthority], "h");
  EXPECT_EQ(pseudo[kPath], "/");

  ASSERT_EQ(build_request_pseudo("CONNECT", "example.com:443", std::nullopt, std::nullopt,
                                 std::nullopt, &pseudo, &uri_error),
            std::nullopt);
  EXPECT_EQ(pseudo,
            (Block{{{kMethod, "CONNECT"}, {kAuthority, "example.com:443"}}, {}}.pseudo_headers()));

  const PseudoHeaders before = pseudo;
  struct Case {
    const char* method;
    std::optional<std::string_view> scheme, protocol;
    RequestBlockError error;
  };
  const Case cases[] = {
      {"GET", "https", "websocket", RequestBlockError::kProtocolWithoutConnect},
      {"connect", "https", "websocket", RequestBlockError::kProtocolWithoutConnect},
      {"CONNECT", "https", "", RequestBlockError::kProtocol},
      {"CONNECT", "https", "web socket", RequestBlockError::kProtocol},
      {"CONNECT", "https", "websocket\r\n", RequestBlockError::kProtocol},
      // it names a resource: without a scheme there is no request
      {"CONNECT", std::nullopt, "websocket", RequestBlockError::kBarePath},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(build_request_pseudo(c.method, "/", c.scheme, "h", c.protocol, &pseudo, &uri_error),
              c.error)
        << c.method << " " << c.protocol.value_or("-");
    EXPECT_EQ(pseudo, before);
  }
}

}  // namespace
}  // namespace quillet::h2
