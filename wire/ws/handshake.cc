#include "wire/ws/handshake.h"

#include "wire/common/base64.h"
#include "wire/common/chars.h"
#include "wire/common/text.h"
#include "wire/h1/tokens.h"
#include "wire/ws/sha1.h"

namespace quillet::ws {
namespace {

constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool any_value_has_token(const HeaderMap& headers, std::string_view name, std::string_view token) {
  bool found = false;
  headers.for_each_value(name, [&](std::string_view value) {
    if (!found && h1::has_token(value, token)) found = true;
  });
  return found;
}

// The field's one value, trimmed; nothing when it is absent or repeated.
std::optional<std::string_view> single_value(const HeaderMap& headers, std::string_view name) {
  size_t count = 0;
  std::string_view first;
  headers.for_each_value(name, [&](std::string_view value) {
    if (count++ == 0) first = value;
  });
  if (count != 1) return std::nullopt;
  return h1::trim_whitespace(first);
}

bool version_ok(const HeaderMap& headers) {
  const std::optional<std::string_view> version = single_value(headers, kVersionField);
  return version && *version == kVersion;
}

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!chars::token(c)) return false;
  }
  return true;
}

// A reader of one Sec-WebSocket-Extensions value (RFC 6455 section 9.1).
class ExtensionReader {
 public:
  explicit ExtensionReader(std::string_view text) : text_(text) {}

  bool at_end() const { return i_ >= text_.size(); }

  // Reads one element (which may be empty) up to its comma. False when it breaks the grammar;
  // the reader is then past the element's comma either way.
  bool element(std::optional<ExtensionOffer>* out) {
    out->reset();
    skip_space();
    if (at_end() || text_[i_] == ',') {
      if (!at_end()) ++i_;
      return true;
    }
    ExtensionOffer offer;
    offer.name = std::string(token());
    if (offer.name.empty()) return skip_element();
    while (true) {
      skip_space();
      if (at_end() || text_[i_] == ',') break;
      if (text_[i_] != ';') return skip_element();
      ++i_;
      skip_space();
      std::string name(token());
      if (name.empty()) return skip_element();
      skip_space();
      std::optional<std::string> value;
      if (!at_end() && text_[i_] == '=') {
        ++i_;
        skip_space();
        std::optional<std::string> v = !at_end() && text_[i_] == '"'
                                           ? quoted()
                                           : std::optional<std::string>(std::string(token()));
        // A quoted value must still be a token once unescaped.
        if (!v || !is_token(*v)) return skip_element();
        value = std::move(v);
      }
      offer.params.emplace_back(std::move(name), std::move(value));
    }
    if (!at_end()) ++i_;  // the comma
    *out = std::move(offer);
    return true;
  }

 private:
  void skip_space() {
    while (!at_end() && (text_[i_] == ' ' || text_[i_] == '\t'))
      ++i_;
  }
  std::string_view token() {
    const size_t start = i_;
    while (!at_end() && chars::token(text_[i_]))
      ++i_;
    return text_.substr(start, i_ - start);
  }
  // A quoted-string (RFC 9110 section 5.6.4), unescaped; nothing when it is not closed or holds
  // a byte a quoted-string cannot.
  std::optional<std::string> quoted() {
    ++i_;
    std::string out;
    while (!at_end()) {
      char c = text_[i_++];
      if (c == '"') return out;
      if (c == '\\') {
        if (at_end()) return std::nullopt;
        c = text_[i_++];
      }
      if (!chars::field_value(c)) return std::nullopt;
      out.push_back(c);
    }
    return std::nullopt;
  }
  // Moves past the next comma outside a quoted string.
  bool skip_element() {
    bool in_quotes = false;
    while (!at_end()) {
      const char c = text_[i_++];
      if (in_quotes && c == '\\') {
        if (!at_end()) ++i_;
      } else if (c == '"') {
        in_quotes = !in_quotes;
      } else if (c == ',' && !in_quotes) {
        break;
      }
    }
    return false;
  }

  std::string_view text_;
  size_t i_ = 0;
};

// "8" to "15", no leading zero.
std::optional<uint8_t> window_bits(std::string_view v) {
  if (v.size() == 1 && v[0] >= '8' && v[0] <= '9') return uint8_t(v[0] - '0');
  if (v.size() == 2 && v[0] == '1' && v[1] >= '0' && v[1] <= '5') return uint8_t(10 + v[1] - '0');
  return std::nullopt;
}

}  // namespace

bool valid_key(std::string_view key) {
  if (key.size() != 24) return false;
  const std::optional<std::string> bytes = decode_base64(key);
  return bytes && bytes->size() == 16;
}

std::string accept_value(std::string_view key) {
  Sha1 h;
  h.update(key);
  h.update(kAcceptGuid);
  const Sha1Digest digest = h.finish();
  return base64(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

Handshake check_upgrade_request(std::string_view method, bool http10, const HeaderMap& headers) {
  if (!any_value_has_token(headers, "upgrade", "websocket")) return Handshake::kNotWebSocket;
  if (method != "GET") return Handshake::kMethodNotGet;
  if (http10) return Handshake::kNotHttp11;
  if (!any_value_has_token(headers, "connection", "upgrade"))
    return Handshake::kNoConnectionUpgrade;
  if (!version_ok(headers)) return Handshake::kUnsupportedVersion;
  if (!headers.contains("sec-websocket-key")) return Handshake::kMissingKey;
  const std::optional<std::string_view> key = single_value(headers, "sec-websocket-key");
  if (!key || !valid_key(*key)) return Handshake::kInvalidKey;
  return Handshake::kOk;
}

Handshake check_connect_request(const h2::hpack::PseudoHeaders& pseudo, const HeaderMap& headers) {
  using h2::hpack::PseudoHeader;
  const std::optional<std::string>& protocol = pseudo[PseudoHeader::kProtocol];
  if (!protocol || !equals_ignore_case(*protocol, "websocket")) return Handshake::kNotWebSocket;
  const std::optional<std::string>& method = pseudo[PseudoHeader::kMethod];
  if (!method || *method != "CONNECT") return Handshake::kMethodNotConnect;
  for (const PseudoHeader h :
       {PseudoHeader::kScheme, PseudoHeader::kPath, PseudoHeader::kAuthority}) {
    if (!pseudo[h] || pseudo[h]->empty()) return Handshake::kMissingPseudoField;
  }
  if (!version_ok(headers)) return Handshake::kUnsupportedVersion;
  return Handshake::kOk;
}

std::vector<std::string> subprotocol_offers(const HeaderMap& headers) {
  std::vector<std::string> out;
  headers.for_each_value("sec-websocket-protocol", [&](std::string_view value) {
    while (true) {
      const size_t comma = value.find(',');
      const std::string_view element = h1::trim_whitespace(value.substr(0, comma));
      if (is_token(element)) out.emplace_back(element);
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
  });
  return out;
}

void parse_extensions(std::string_view value, std::vector<ExtensionOffer>* out) {
  ExtensionReader reader(value);
  std::optional<ExtensionOffer> offer;
  while (!reader.at_end()) {
    if (reader.element(&offer) && offer) out->push_back(std::move(*offer));
  }
}

std::vector<ExtensionOffer> extension_offers(const HeaderMap& headers) {
  std::vector<ExtensionOffer> out;
  headers.for_each_value("sec-websocket-extensions",
                         [&](std::string_view value) { parse_extensions(value, &out); });
  return out;
}

std::optional<DeflateParams> deflate_params(const ExtensionOffer& offer) {
  if (offer.name != kPermessageDeflate) return std::nullopt;
  DeflateParams p;
  bool seen_snct = false, seen_cnct = false, seen_smwb = false, seen_cmwb = false;
  for (const auto& [name, value] : offer.params) {
    if (name == "server_no_context_takeover" || name == "client_no_context_takeover") {
      const bool server = name[0] == 's';
      bool& seen = server ? seen_snct : seen_cnct;
      if (seen || value) return std::nullopt;
      seen = true;
      (server ? p.server_no_context_takeover : p.client_no_context_takeover) = true;
    } else if (name == "server_max_window_bits") {
      if (seen_smwb || !value) return std::nullopt;
      seen_smwb = true;
      p.server_max_window_bits = window_bits(*value);
      if (!p.server_max_window_bits) return std::nullopt;
    } else if (name == "client_max_window_bits") {
      if (seen_cmwb) return std::nullopt;
      seen_cmwb = true;
      p.client_max_window_bits_offered = true;
      if (value) {
        p.client_max_window_bits = window_bits(*value);
        if (!p.client_max_window_bits) return std::nullopt;
      }
    } else {
      return std::nullopt;
    }
  }
  return p;
}

std::vector<DeflateParams> deflate_offers(const HeaderMap& headers) {
  std::vector<DeflateParams> out;
  for (const ExtensionOffer& offer : extension_offers(headers)) {
    if (std::optional<DeflateParams> p = deflate_params(offer)) out.push_back(*p);
  }
  return out;
}

}  // namespace quillet::ws
