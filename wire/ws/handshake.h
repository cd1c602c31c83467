// The rules of the WebSocket opening handshake that need no connection: the accept value and the
// key (RFC 6455 section 4), the check of an HTTP/1.1 upgrade request (section 4.2.1) and of an
// HTTP/2 extended CONNECT (RFC 8441 section 5), and the reading of the subprotocol and extension
// offers (section 9, RFC 7692 section 7). Each answers with plain values; a refusal is a verdict
// with the status the server answers, not an error.
#pragma once

#include "wire/common/header_map.h"
#include "wire/h2/hpack/header_list.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::ws {

// The one version this side speaks, and the field that names it.
inline constexpr std::string_view kVersion = "13";
inline constexpr std::string_view kVersionField = "sec-websocket-version";

// Whether `key` is a Sec-WebSocket-Key: the Base64 of exactly 16 octets (24 characters).
bool valid_key(std::string_view key);

// The Sec-WebSocket-Accept value for `key`: the Base64 of the SHA-1 of the key followed by the
// protocol's fixed GUID. 28 characters.
std::string accept_value(std::string_view key);

enum class Handshake : uint8_t {
  kOk,
  kNotWebSocket,         // no "websocket" in Upgrade, or no ":protocol websocket"
  kMethodNotGet,         // HTTP/1.1: the method is not GET
  kNotHttp11,            // HTTP/1.1: an HTTP/1.0 request
  kNoConnectionUpgrade,  // HTTP/1.1: no "upgrade" in Connection
  kMethodNotConnect,     // HTTP/2: :protocol on a method other than CONNECT
  kMissingPseudoField,   // HTTP/2: :scheme, :path or :authority missing or empty
  kUnsupportedVersion,   // Sec-WebSocket-Version missing, repeated or not 13
  kMissingKey,           // HTTP/1.1: no Sec-WebSocket-Key
  kInvalidKey,           // HTTP/1.1: a repeated key, or one that is not 16 octets in Base64
};
inline constexpr size_t kHandshakeCount = size_t(Handshake::kInvalidKey) + 1;

struct HandshakeAnswer {
  // Over HTTP/1.1: kOk is 101, a refusal 400, or 426 for the version.
  uint16_t status;
  // Over HTTP/2: kOk is 200 (a successful CONNECT), a :protocol this side does not speak 501 (the
  // request is well formed, only not served here), any other refusal 400: 426 would need an
  // Upgrade field, which HTTP/2 does not carry.
  uint16_t h2_status;
  std::string_view message;
  // The refusal names the version this side speaks ("Sec-WebSocket-Version: 13"), either way.
  bool names_version = false;
};

// Indexed by Handshake.
inline constexpr HandshakeAnswer kHandshakeAnswers[] = {
    {101, 200, "switching protocols"},
    {400, 501, "not a WebSocket upgrade request"},
    {400, 400, "a WebSocket upgrade must use GET"},
    {400, 400, "a WebSocket upgrade needs HTTP/1.1"},
    {400, 400, "Connection must include \"upgrade\""},
    {400, 400, "the :protocol pseudo-header needs the CONNECT method"},
    {400, 400, "a WebSocket CONNECT needs :scheme, :path and :authority"},
    {426, 400, "unsupported Sec-WebSocket-Version (13 is supported)", true},
    {400, 400, "missing Sec-WebSocket-Key"},
    {400, 400, "invalid Sec-WebSocket-Key"},
};
static_assert(std::size(kHandshakeAnswers) == kHandshakeCount, "one answer per verdict");

constexpr const HandshakeAnswer& handshake_answer(Handshake h) {
  return kHandshakeAnswers[size_t(h)];
}

// Checks an HTTP/1.1 request that may be a WebSocket upgrade: `method` as received, `http10` for
// an HTTP/1.0 request, `headers` its fields. kNotWebSocket means the request does not ask for
// WebSocket at all (it may be served as plain HTTP).
Handshake check_upgrade_request(std::string_view method, bool http10, const HeaderMap& headers);

// Checks an HTTP/2 request that may be an extended CONNECT for WebSocket. Sec-WebSocket-Key plays
// no part over HTTP/2 and is not looked at, and the answer carries no Sec-WebSocket-Accept.
Handshake check_connect_request(const h2::hpack::PseudoHeaders& pseudo, const HeaderMap& headers);

// The subprotocols a request offers, in order: the tokens of its Sec-WebSocket-Protocol fields.
// Elements that are not tokens are skipped.
std::vector<std::string> subprotocol_offers(const HeaderMap& headers);

// One element of a Sec-WebSocket-Extensions value: the extension's name and its parameters, a
// quoted value unescaped.
struct ExtensionOffer {
  std::string name;
  std::vector<std::pair<std::string, std::optional<std::string>>> params;
  bool operator==(const ExtensionOffer&) const = default;
};

// The elements of every Sec-WebSocket-Extensions field, in order. An element that breaks the
// grammar (a name or parameter that is not a token, a bad quoted string) is skipped up to the
// next comma outside a quoted string.
std::vector<ExtensionOffer> extension_offers(const HeaderMap& headers);
// The same for one field value.
void parse_extensions(std::string_view value, std::vector<ExtensionOffer>* out);

inline constexpr std::string_view kPermessageDeflate = "permessage-deflate";
inline constexpr uint8_t kMinWindowBits = 8;
inline constexpr uint8_t kMaxWindowBits = 15;

// The parameters of a permessage-deflate offer (RFC 7692 section 7.1), or of the answer to one.
struct DeflateParams {
  bool server_no_context_takeover = false;
  bool client_no_context_takeover = false;
  std::optional<uint8_t> server_max_window_bits = std::nullopt;
  // client_max_window_bits without a value: the client can take a limit from the server.
  bool client_max_window_bits_offered = false;
  std::optional<uint8_t> client_max_window_bits = std::nullopt;
  bool operator==(const DeflateParams&) const = default;
};

// The parameters of a permessage-deflate element, or nothing when it is another extension or
// must be declined: an unknown parameter, a repeated one, a value where none is allowed, or a
// window size other than a decimal 8 to 15 without leading zeros (server_max_window_bits needs
// one; client_max_window_bits may go without).
std::optional<DeflateParams> deflate_params(const ExtensionOffer& offer);

// The permessage-deflate offers of a request that can be accepted, in the client's order of
// preference.
std::vector<DeflateParams> deflate_offers(const HeaderMap& headers);

}  // namespace quillet::ws
