// The message rules on received header blocks: which blocks are requests, responses or
// trailers; a block that is not what its place calls for is a stream error, the connection and
// the following streams go on; an over-size list is marked, not silently cut.
#include "tests/support/h2_peer.h"
#include "wire/h2/connection.h"
#include "wire/h2/header_block.h"
#include "wire/h2/hpack/encoder.h"
#include "wire/h2/preface.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillet::h2 {
namespace {

using hpack::PseudoHeader;
using hpack::PseudoHeaders;
using test_support::client_config;
using test_support::install_counting_hooks;
using test_support::Obj;
using test_support::Peer;
using test_support::ref;
using test_support::server_config;

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
      {"get without authority", without(get(), kAuthority), true, false, false},
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
  }
}

class ReceivedBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install_counting_hooks());
    for (Peer* p : {&client, &server})
      p->conn.begin(*p);
    for (int i = 0; i < 3; ++i) {
      ASSERT_FALSE(server.receive(client.take()).failure);
      ASSERT_FALSE(client.receive(server.take()).failure);
    }
  }

  // A request as `block` has it: the client sends what it is given.
  uint32_t send(const Block& block, Obj& handle) {
    const PseudoHeaders pseudo = block.pseudo_headers();
    const HeaderMap fields = block.map();
    Connection::OpenRequest r;
    r.pseudo = &pseudo;
    r.fields = &fields;
    r.end_stream = true;
    std::optional<uint32_t> id;
    EXPECT_TRUE(client.conn.try_claim_slot());
    EXPECT_FALSE(client.conn.open_stream(r, ref(handle), &id, bin));
    return id.value_or(0);
  }

  HandleBin bin;
  std::vector<Obj> handles = std::vector<Obj>(8, Obj("h"));
  Peer client{client_config()};
  Peer server{server_config()};
};

TEST_F(ReceivedBlocks, AMalformedRequestResetsItsStreamAndTheNextIsServed) {
  const Block bad[] = {
      Block{{{kMethod, "GET"}, {kAuthority, "a"}, {kPath, "/"}}, {}},  // no scheme
      get(""),
      get("/x y"),
      Block{{{kMethod, "GET"}, {kScheme, "https"}, {kPath, "/"}, {kStatus, "200"}}, {}},
      Block{get().pseudo, {{"host", "elsewhere"}}},
  };
  std::vector<std::pair<uint32_t, uint32_t>> expected;
  size_t k = 0;
  for (const Block& b : bad)
    expected.emplace_back(send(b, handles[k++]), kProtocolError);
  const uint32_t good = send(get("/ok"), handles[k]);
  const Peer::Outcome out = server.receive(client.take());
  ASSERT_FALSE(out.failure);
  EXPECT_EQ(out.stream_errors, expected);
  ASSERT_EQ(out.headers.size(), std::size(bad) + 1);
  EXPECT_EQ(out.headers.back().kind, HeadersKind::kOpened);
  EXPECT_EQ(out.headers.back().stream_id, good);
  EXPECT_EQ(server.conn.num_streams(), 1u);
}

TEST_F(ReceivedBlocks, AResponseOutsideTheRulesIsAStreamErrorAtTheClient) {
  const uint32_t sid = send(get(), handles[0]);
  ASSERT_FALSE(server.receive(client.take()).failure);
  PseudoHeaders no_status;
  no_status[kPath] = "/";
  SendVerdict v;
  ASSERT_FALSE(server.conn.send_response_head(sid, no_status, HeaderMap(), true, &v, bin));
  const Peer::Outcome out = client.receive(server.take());
  ASSERT_FALSE(out.failure);
  EXPECT_EQ(out.stream_errors, (std::vector<std::pair<uint32_t, uint32_t>>{{sid, kProtocolError}}));
}

// The list budget holds from the first byte, and a list past it says so instead of arriving cut.
TEST_F(ReceivedBlocks, AnOverSizeListIsMarked) {
  ConnectionConfig c = server_config();
  c.max_header_list_size = 200;
  Peer small(c);
  small.conn.begin(small);  // no SETTINGS ACK from the client, ever
  Block big = get();
  big.fields = {{"x-a", std::string(100, 'a')}, {"x-forwarded-for", "10.0.0.1"}};
  const PseudoHeaders pseudo = big.pseudo_headers();
  const HeaderMap fields = big.map();
  hpack::Encoder encoder;
  std::string block;
  encoder.encode(pseudo, fields, &block);
  std::string frames(kClientPreface);
  ASSERT_FALSE(write_headers(1, block, true, kDefaultMaxFrameSize, &frames));
  FrameDecoder& decoder = small.decoder;
  DecodeBatch batch;
  ASSERT_FALSE(decoder.decode(frames, &batch));
  ASSERT_EQ(batch.events.size(), 1u);
  const HeaderBlock& received = *batch.events[0].block;
  EXPECT_TRUE(received.over_size);
  EXPECT_FALSE(received.fields.contains("x-forwarded-for"));
  EXPECT_TRUE(block_facts(received).over_size);
}

}  // namespace
}  // namespace quillet::h2
