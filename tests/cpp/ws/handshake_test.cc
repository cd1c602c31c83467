// The opening handshake's rules: SHA-1 against the FIPS 180-4 examples, the accept value and the
// key, the checks of an HTTP/1.1 upgrade and of an HTTP/2 extended CONNECT, and the reading of
// subprotocol and extension offers.
#include "wire/ws/handshake.h"

#include "wire/ws/sha1.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quillet::ws {
namespace {

std::string hex(const Sha1Digest& d) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t b : d) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

TEST(Sha1, PublishedExamples) {
  EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(
      hex(sha1("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
               "klmnopqrlmnopqrsmnopqrstnopqrstu")),
      "a49b2446a02c645bf419f995b67091253a04a259");
  Sha1 h;
  const std::string thousand(1000, 'a');
  for (int i = 0; i < 1000; ++i)
    h.update(thousand);
  EXPECT_EQ(hex(h.finish()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  // finish() leaves the hash ready for a new message.
  h.update("abc");
  EXPECT_EQ(hex(h.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, PiecesGiveTheSameDigest) {
  // Lengths around the padding's edges (55, 56, 63, 64 octets in the last block), cut anywhere.
  std::string text;
  for (size_t n = 0; n <= 130; ++n) {
    const Sha1Digest whole = sha1(text);
    for (size_t cut = 0; cut <= n; cut += 1 + n / 8) {
      Sha1 h;
      h.update(std::string_view(text).substr(0, cut));
      h.update(std::string_view(text).substr(cut));
      ASSERT_EQ(h.finish(), whole) << n << " cut at " << cut;
    }
    text.push_back(char('a' + n % 26));
  }
}

TEST(WsHandshake, AcceptValueAndKey) {
  // RFC 6455 section 1.3.
  EXPECT_EQ(accept_value("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_TRUE(valid_key("dGhlIHNhbXBsZSBub25jZQ=="));
  EXPECT_TRUE(valid_key("AAAAAAAAAAAAAAAAAAAAAA=="));
  for (const char* key : {
           "",
           "dGhlIHNhbXBsZSBub25jZQ",      // no padding
           "dGhlIHNhbXBsZSBub25jZR==",    // bits left over
           "dGhlIHNhbXBsZSBub25jZQ==\n",  // trailing byte
           "dGhlIHNhbXBsZSBub25jZWE=",    // 17 octets
           "dGhlIHNhbXBsZSBub25j",        // 15 octets
           "dGhlIHNhbXBsZSBub25jZ-==",    // outside the alphabet
       })
    EXPECT_FALSE(valid_key(key)) << key;
}

HeaderMap headers_of(const std::vector<std::pair<std::string, std::string>>& fields) {
  HeaderMap map;
  for (const auto& [name, value] : fields)
    EXPECT_TRUE(map.append(name, value));
  return map;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

const Fields kGood = {{"Host", "example.com"},
                      {"Upgrade", "websocket"},
                      {"Connection", "Upgrade"},
                      {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                      {"Sec-WebSocket-Version", "13"}};

// kGood with `name` dropped and `values` given to it instead.
Fields with(std::string_view name, std::vector<std::string> values) {
  Fields out;
  for (const auto& field : kGood) {
    if (field.first != name) out.push_back(field);
  }
  for (std::string& v : values)
    out.emplace_back(std::string(name), std::move(v));
  return out;
}

TEST(WsHandshake, UpgradeRequest) {
  EXPECT_EQ(check_upgrade_request("GET", false, headers_of(kGood)), Handshake::kOk);
  EXPECT_EQ(handshake_answer(Handshake::kOk).status, 101);
  struct Case {
    Fields fields;
    Handshake verdict;
  };
  const Case cases[] = {
      {with("Upgrade", {"WebSocket"}), Handshake::kOk},
      {with("Upgrade", {"h2c, websocket"}), Handshake::kOk},
      {with("Upgrade", {"h2c", " websocket "}), Handshake::kOk},
      {with("Connection", {"keep-alive, UPGRADE"}), Handshake::kOk},
      {with("Connection", {"keep-alive", "upgrade"}), Handshake::kOk},
      {with("Sec-WebSocket-Version", {" 13 "}), Handshake::kOk},
      {with("Upgrade", {}), Handshake::kNotWebSocket},
      {with("Upgrade", {"h2c"}), Handshake::kNotWebSocket},
      {with("Upgrade", {"websocket/13"}), Handshake::kNotWebSocket},
      {with("Upgrade", {"web socket"}), Handshake::kNotWebSocket},
      {with("Connection", {}), Handshake::kNoConnectionUpgrade},
      {with("Connection", {"keep-alive"}), Handshake::kNoConnectionUpgrade},
      {with("Connection", {"upgrade-please"}), Handshake::kNoConnectionUpgrade},
      {with("Sec-WebSocket-Version", {}), Handshake::kUnsupportedVersion},
      {with("Sec-WebSocket-Version", {"8"}), Handshake::kUnsupportedVersion},
      {with("Sec-WebSocket-Version", {"13, 8"}), Handshake::kUnsupportedVersion},
      {with("Sec-WebSocket-Version", {"13", "13"}), Handshake::kUnsupportedVersion},
      {with("Sec-WebSocket-Version", {"013"}), Handshake::kUnsupportedVersion},
      {with("Sec-WebSocket-Key", {}), Handshake::kMissingKey},
      {with("Sec-WebSocket-Key", {"short"}), Handshake::kInvalidKey},
      {with("Sec-WebSocket-Key", {""}), Handshake::kInvalidKey},
      {with("Sec-WebSocket-Key", {"dGhlIHNhbXBsZSBub25jZQ==", "dGhlIHNhbXBsZSBub25jZQ=="}),
       Handshake::kInvalidKey},
      {with("Sec-WebSocket-Key", {" dGhlIHNhbXBsZSBub25jZQ== "}), Handshake::kOk},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const auto& [n, v] : c.fields)
      trace += n + ": " + v + "; ";
    EXPECT_EQ(check_upgrade_request("GET", false, headers_of(c.fields)), c.verdict) << trace;
  }
  EXPECT_EQ(check_upgrade_request("POST", false, headers_of(kGood)), Handshake::kMethodNotGet);
  EXPECT_EQ(check_upgrade_request("get", false, headers_of(kGood)), Handshake::kMethodNotGet);
  EXPECT_EQ(check_upgrade_request("GET", true, headers_of(kGood)), Handshake::kNotHttp11);
  // Not asking for WebSocket comes first: such a request is plain HTTP.
  EXPECT_EQ(check_upgrade_request("POST", true, headers_of(with("Upgrade", {}))),
            Handshake::kNotWebSocket);
  EXPECT_EQ(handshake_answer(Handshake::kUnsupportedVersion).status, 426);
  for (size_t i = 1; i < kHandshakeCount; ++i) {
    const HandshakeAnswer& answer = handshake_answer(Handshake(i));
    EXPECT_TRUE(answer.status == 400 || answer.status == 426) << i;
    // Only the version's refusal names the version, and over HTTP/1.1 it is the 426.
    EXPECT_EQ(answer.names_version, answer.status == 426) << i;
  }
}

// Over HTTP/2 nothing is 426 (its Upgrade field cannot be sent): the version's refusal is a 400
// that still names the version, and a :protocol other than websocket is a 501.
TEST(WsHandshake, AnswersOverHttp2) {
  EXPECT_EQ(handshake_answer(Handshake::kOk).h2_status, 200);
  EXPECT_EQ(handshake_answer(Handshake::kNotWebSocket).h2_status, 501);
  const HandshakeAnswer& version = handshake_answer(Handshake::kUnsupportedVersion);
  EXPECT_EQ(version.h2_status, 400);
  EXPECT_TRUE(version.names_version);
  for (size_t i = 2; i < kHandshakeCount; ++i)
    EXPECT_EQ(handshake_answer(Handshake(i)).h2_status, 400) << i;
}

TEST(WsHandshake, ExtendedConnect) {
  using h2::hpack::PseudoHeader;
  h2::hpack::PseudoHeaders pseudo;
  pseudo[PseudoHeader::kMethod] = "CONNECT";
  pseudo[PseudoHeader::kProtocol] = "websocket";
  pseudo[PseudoHeader::kScheme] = "https";
  pseudo[PseudoHeader::kPath] = "/chat";
  pseudo[PseudoHeader::kAuthority] = "example.com";
  const HeaderMap version = headers_of({{"sec-websocket-version", "13"}});
  EXPECT_EQ(check_connect_request(pseudo, version), Handshake::kOk);
  EXPECT_EQ(check_connect_request(pseudo, HeaderMap()), Handshake::kUnsupportedVersion);
  EXPECT_EQ(check_connect_request(pseudo, headers_of({{"sec-websocket-version", "12"}})),
            Handshake::kUnsupportedVersion);
  // No key is needed, and one sent anyway plays no part.
  EXPECT_EQ(check_connect_request(
                pseudo, headers_of({{"sec-websocket-version", "13"}, {"sec-websocket-key", "x"}})),
            Handshake::kOk);
  for (const PseudoHeader h :
       {PseudoHeader::kScheme, PseudoHeader::kPath, PseudoHeader::kAuthority}) {
    h2::hpack::PseudoHeaders missing = pseudo;
    missing[h].reset();
    EXPECT_EQ(check_connect_request(missing, version), Handshake::kMissingPseudoField);
    missing[h] = "";
    EXPECT_EQ(check_connect_request(missing, version), Handshake::kMissingPseudoField);
  }
  h2::hpack::PseudoHeaders other = pseudo;
  other[PseudoHeader::kProtocol] = "webtransport";
  EXPECT_EQ(check_connect_request(other, version), Handshake::kNotWebSocket);
  other[PseudoHeader::kProtocol].reset();
  EXPECT_EQ(check_connect_request(other, version), Handshake::kNotWebSocket);
  other = pseudo;
  other[PseudoHeader::kMethod] = "GET";
  EXPECT_EQ(check_connect_request(other, version), Handshake::kMethodNotConnect);
}

TEST(WsHandshake, SubprotocolOffers) {
  EXPECT_EQ(subprotocol_offers(HeaderMap()), std::vector<std::string>{});
  EXPECT_EQ(subprotocol_offers(headers_of({{"sec-websocket-protocol", "chat, superchat"},
                                           {"Sec-WebSocket-Protocol", " ,v2.json,, bad token "}})),
            (std::vector<std::string>{"chat", "superchat", "v2.json"}));
}

using Params = std::vector<std::pair<std::string, std::optional<std::string>>>;

TEST(WsHandshake, ExtensionOffersGrammar) {
  std::vector<ExtensionOffer> out;
  parse_extensions(
      "permessage-deflate; client_max_window_bits, permessage-deflate "
      ";server_max_window_bits=\"10\""
      " ; server_no_context_takeover,, x-other; a=b;c",
      &out);
  EXPECT_EQ(out, (std::vector<ExtensionOffer>{
                     {"permessage-deflate", Params{{"client_max_window_bits", std::nullopt}}},
                     {"permessage-deflate", Params{{"server_max_window_bits", "10"},
                                                   {"server_no_context_takeover", std::nullopt}}},
                     {"x-other", Params{{"a", "b"}, {"c", std::nullopt}}},
                 }));
  // A broken element is skipped to the next comma outside quotes; the rest is kept.
  const ExtensionOffer ok{"ok", {}};
  const std::pair<const char*, std::vector<ExtensionOffer>> broken[] = {
      {"a; p=\"x,y\", ok", {ok}},                            // a quoted value must be a token
      {"a; q=\"1\\\"\", ok", {ok}},                          // ... once unescaped
      {"a; p=\"x\" junk, ok", {ok}},                         // something after a parameter
      {"a b, ok", {ok}},                                     // ... or after the name
      {"a;=1, ok", {ok}},                                    // no parameter name
      {"a;f=, ok", {ok}},                                    // no value after "="
      {"\"a\", ok", {ok}},                                   // a quoted name
      {"a; r=\"un,closed, ok", {}},                          // the quotes run to the end
      {"g;h=\"\\x\", ok", {{"g", Params{{"h", "x"}}}, ok}},  // an escaped token character
  };
  for (const auto& [value, expected] : broken) {
    out.clear();
    parse_extensions(value, &out);
    EXPECT_EQ(out, expected) << value;
  }
  out.clear();
  parse_extensions("  ,  ", &out);
  EXPECT_TRUE(out.empty());
}

TEST(WsHandshake, DeflateParameters) {
  const auto params = [](std::string_view value) {
    std::vector<ExtensionOffer> offers;
    parse_extensions(value, &offers);
    EXPECT_EQ(offers.size(), 1u) << value;
    return offers.empty() ? std::nullopt : deflate_params(offers[0]);
  };
  EXPECT_EQ(params("permessage-deflate"), DeflateParams{});
  EXPECT_EQ(params("permessage-deflate; server_no_context_takeover; client_no_context_takeover; "
                   "server_max_window_bits=8; client_max_window_bits=15"),
            (DeflateParams{.server_no_context_takeover = true,
                           .client_no_context_takeover = true,
                           .server_max_window_bits = 8,
                           .client_max_window_bits_offered = true,
                           .client_max_window_bits = 15}));
  EXPECT_EQ(params("permessage-deflate; client_max_window_bits"),
            DeflateParams{.client_max_window_bits_offered = true});
  EXPECT_EQ(params("permessage-deflate; client_max_window_bits=\"12\""),
            (DeflateParams{.client_max_window_bits_offered = true, .client_max_window_bits = 12}));
  for (const char* declined : {
           "permessage-deflate; server_max_window_bits",  // needs a value
           "permessage-deflate; server_max_window_bits=7",
           "permessage-deflate; server_max_window_bits=16",
           "permessage-deflate; server_max_window_bits=010",
           "permessage-deflate; client_max_window_bits=1",
           "permessage-deflate; client_max_window_bits=+9",
           "permessage-deflate; server_no_context_takeover=1",  // takes no value
           "permessage-deflate; client_no_context_takeover; client_no_context_takeover",
           "permessage-deflate; server_max_window_bits=9; server_max_window_bits=9",
           "permessage-deflate; client_max_window_bits; client_max_window_bits=9",
           "permessage-deflate; unknown",
           "x-permessage-deflate",
       })
    EXPECT_EQ(params(declined), std::nullopt) << declined;
  // Across fields, in order, declined offers left out.
  EXPECT_EQ(deflate_offers(headers_of(
                {{"sec-websocket-extensions", "permessage-deflate; server_max_window_bits=20"},
                 {"sec-websocket-extensions", "foo, permessage-deflate; client_max_window_bits"},
                 {"sec-websocket-extensions", "permessage-deflate"}})),
            (std::vector<DeflateParams>{DeflateParams{.client_max_window_bits_offered = true},
                                        DeflateParams{}}));
}

}  // namespace
}  // namespace quillet::ws
