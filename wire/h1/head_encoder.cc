#include "wire/h1/head_encoder.h"

#include "wire/common/chars.h"
#include "wire/common/http_date.h"
#include "wire/common/text.h"
#include "wire/h1/tokens.h"

namespace quillet::h1 {

// ---------------------------------------------------------------------------------------------
// Shared pieces

void LengthFields::add(std::string_view value) {
  while (true) {
    const size_t comma = value.find(',');
    const std::optional<uint64_t> item = parse_decimal(trim_whitespace(value.substr(0, comma)));
    if (!item || (seen_ && *item != length_)) valid_ = false;
    if (item && !seen_) length_ = *item;
    seen_ = true;
    if (comma == std::string_view::npos) return;
    value.remove_prefix(comma + 1);
  }
}

namespace {

bool any_value_has_token(const HeaderMap& headers, std::string_view name, std::string_view token) {
  bool found = false;
  headers.for_each_value(name, [&](std::string_view v) { found = found || has_token(v, token); });
  return found;
}

bool first_value_has_token(const HeaderMap& headers, std::string_view name,
                           std::string_view token) {
  const std::optional<std::string_view> first = headers.first(name);
  return first && has_token(*first, token);
}

LengthFields length_fields(const HeaderMap& headers) {
  LengthFields fields;
  headers.for_each_value("content-length", [&](std::string_view v) { fields.add(v); });
  return fields;
}

// The declared trailer names: every comma-separated item of the values, trimmed, that is a
// valid header name, in lower case.
void add_trailer_names(std::string_view value, std::vector<std::string>* names) {
  while (true) {
    const size_t comma = value.find(',');
    const std::string_view item = trim_whitespace(value.substr(0, comma));
    if (is_valid_header_name(item)) {
      std::string lower(item);
      for (char& c : lower)
        c = ascii_lower(c);
      names->push_back(std::move(lower));
    }
    if (comma == std::string_view::npos) return;
    value.remove_prefix(comma + 1);
  }
}

void append_name(std::string* out, std::string_view name, bool title_case) {
  if (!title_case) {
    out->append(name);
    return;
  }
  bool upper = true;
  for (char c : name) {
    out->push_back(upper && c >= 'a' && c <= 'z' ? char(c - ('a' - 'A')) : c);
    upper = c == '-';
  }
}

void append_field(std::string* out, std::string_view name, std::string_view value,
                  bool title_case) {
  append_name(out, name, title_case);
  out->append(": ");
  out->append(value);
  out->append("\r\n");
}

// One line holding every value of `name`, joined by ", ", with `suffix` after the last.
void append_merged(std::string* out, const HeaderMap& headers, std::string_view name,
                   bool title_case, std::string_view suffix = {}) {
  append_name(out, name, title_case);
  out->append(": ");
  bool first = true;
  headers.for_each_value(name, [&](std::string_view v) {
    if (!first) out->append(", ");
    first = false;
    out->append(v);
  });
  out->append(suffix);
  out->append("\r\n");
}

std::string_view last_value(const HeaderMap& headers, std::string_view name) {
  std::string_view last;
  headers.for_each_value(name, [&](std::string_view v) { last = v; });
  return last;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Requests

bool make_request_line(std::string_view method, std::string_view url, RequestLine* line,
                       RequestLineError* error, UriError* uri_error) {
  bool token = !method.empty();
  for (char c : method)
    token = token && chars::token(c);
  if (!token) {
    *error = RequestLineError::kMethod;
    return false;
  }
  Uri uri;
  if (!parse_uri(url, &uri, uri_error)) {
    *error = RequestLineError::kUrl;
    return false;
  }
  line->method = method_from_token(method);
  line->method_token.assign(method);
  switch (uri.form) {
    case UriForm::kAbsolute:
      line->target.assign(uri.scheme);
      line->target.append("://");
      line->target.append(uri.authority);
      if (uri.path_and_query.empty() || uri.path_and_query.front() != '/') {
        line->target.push_back('/');
      }
      line->target.append(uri.path_and_query);
      break;
    case UriForm::kAuthority:
      line->target.assign(uri.authority);
      break;
    case UriForm::kOrigin:
    case UriForm::kAsterisk:
      line->target.assign(uri.path_and_query.empty() ? url : uri.path_and_query);
      break;
  }
  return true;
}

namespace {

// Decides the request body framing, changing `headers` as the framing requires. Empty when the
// map cannot take a field the framing needs (it already holds the most names a map can hold):
// a body sent without the field that frames it would be read by the peer as the next request.
std::optional<BodyFraming> request_framing(const RequestLine& line, HeaderMap& headers, bool http10,
                                           const BodySpec& body) {
  BodyFraming framing;
  if (body.none()) {
    headers.remove("transfer-encoding");
    return framing;  // length 0; the caller's content-length fields go out unchanged
  }
  const std::optional<uint64_t> declared = length_fields(headers).length();
  std::string decimal;
  if (http10) {
    headers.remove("transfer-encoding");
    if (declared) {
      framing.length = *declared;
    } else if (body.known()) {
      append_decimal(decimal, *body.content_length);
      if (!headers.replace("content-length", decimal)) return std::nullopt;
      framing.length = *body.content_length;
    }
    return framing;
  }
  if (headers.contains("transfer-encoding")) {
    framing.kind = BodyFraming::Kind::kChunked;
    const std::string_view last = last_value(headers, "transfer-encoding");
    if (!last_token_is(last, "chunked")) {
      // Rebuild the values with ", chunked" after the last one; the entry keeps its place.
      std::vector<std::string> values;
      headers.for_each_value("transfer-encoding",
                             [&](std::string_view v) { values.emplace_back(v); });
      values.back().append(", chunked");
      if (!headers.replace("transfer-encoding", values.front())) return std::nullopt;
      for (size_t k = 1; k < values.size(); ++k) {
        if (!headers.append("transfer-encoding", values[k])) return std::nullopt;
      }
    }
    if (declared) headers.remove("content-length");
    return framing;
  }
  if (declared) {
    framing.length = *declared;
    return framing;
  }
  if (body.unknown()) {
    if (line.method == Method::kGet || line.method == Method::kHead ||
        line.method == Method::kConnect) {
      return framing;  // these methods send no body of unknown length
    }
    if (!headers.append("transfer-encoding", "chunked")) return std::nullopt;
    framing.kind = BodyFraming::Kind::kChunked;
    return framing;
  }
  append_decimal(decimal, *body.content_length);
  if (!headers.replace("content-length", decimal)) return std::nullopt;
  framing.length = *body.content_length;
  return framing;
}

}  // namespace

std::optional<EncodedRequest> encode_request(const RequestLine& line, HeaderMap& headers,
                                             bool http10, const BodySpec& body, std::string* out) {
  EncodedRequest result;
  const bool has_close = any_value_has_token(headers, "connection", "close");
  result.connection_close = has_close;
  bool fits = true;
  if (http10) {
    if (!first_value_has_token(headers, "connection", "keep-alive") && !has_close) {
      fits = headers.replace("connection", "keep-alive");
    }
  } else if (has_close) {
    fits = headers.replace("connection", "close");
  }
  std::optional<BodyFraming> framing = request_framing(line, headers, http10, body);
  if (!fits || !framing) return std::nullopt;
  result.framing = std::move(*framing);
  if (result.framing.kind == BodyFraming::Kind::kChunked && headers.contains("trailer")) {
    result.framing.has_allow_list = true;
    headers.for_each_value("trailer", [&](std::string_view v) {
      add_trailer_names(v, &result.framing.trailer_names);
    });
  }

  out->reserve(line.method_token.size() + line.target.size() + 16 + headers.size() * 32);
  out->append(line.method_token);
  out->push_back(' ');
  out->append(line.target);
  out->append(http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
  headers.for_each([&](std::string_view name, std::string_view value) {
    append_field(out, name, value, false);
  });
  out->append("\r\n");
  return result;
}

// ---------------------------------------------------------------------------------------------
// Responses

std::optional<UserKind> encode_response(const ResponseOptions& o, const HeaderMap& headers,
                                        std::string* out, BodyFraming* framing) {
  const uint16_t status = o.status.value();
  const bool is_head = o.request_method != nullptr && o.request_method->is(Method::kHead);
  const bool connect_2xx = o.request_method != nullptr && o.request_method->is(Method::kConnect) &&
                           status >= 200 && status <= 299;
  const bool informational = status >= 100 && status <= 199;
  const bool no_content = status == 204 || status == 304;
  const bool may_chunk = !(is_head || connect_2xx || informational || no_content);
  const bool may_have_length = !(informational || connect_2xx || no_content);
  const bool may_have_implicit_zero = may_have_length && !is_head;
  const bool chunk_allowed = may_chunk && !o.http10;  // also the rule for trailer fields

  bool last = false;
  bool length_decided = false;
  if (status == 101) {
    last = true;
  } else if (informational) {
    return UserKind::kUnsupportedStatusCode;
  } else if (connect_2xx) {
    last = true;
    length_decided = true;
  } else {
    last = !o.keep_alive;
  }

  // The connection field: replaced by one value, or the caller's values merged into one line.
  std::string_view connection_override;
  const bool has_close = any_value_has_token(headers, "connection", "close");
  if (o.http10) {
    if (o.keep_alive && !has_close && !first_value_has_token(headers, "connection", "keep-alive")) {
      connection_override = "keep-alive";
    }
  } else if (!o.keep_alive) {
    connection_override = "close";
  }

  out->reserve(64 + headers.size() * 32);
  if (status == 200 && !o.http10) {
    out->append("HTTP/1.1 200 OK\r\n");
  } else {
    out->append(o.http10 ? "HTTP/1.0 " : "HTTP/1.1 ");
    append_decimal(*out, status);
    out->push_back(' ');
    out->append(reason_phrase(status));
    out->append("\r\n");
  }

  *framing = BodyFraming{};
  bool framing_decided = false;  // a content-length or transfer-encoding line framed the body
  bool length_line_written = false;
  bool te_written = false;
  bool connection_written = false;
  bool trailer_written = false;
  bool date_written = false;
  std::string known_decimal;
  if (o.body.known()) append_decimal(known_decimal, *o.body.content_length);

  std::optional<UserKind> failure;
  headers.for_each([&](std::string_view name, std::string_view value) {
    if (failure) return;
    if (name == "content-length") {
      if (length_line_written) {
        // only a repeat of an unknown length's own value may follow
        if (o.body.unknown()) {
          const std::optional<uint64_t> v = parse_decimal(value);
          if (!v || *v != framing->length) failure = UserKind::kUnexpectedHeader;
        }
        return;
      }
      if (length_decided) {
        failure = UserKind::kUnexpectedHeader;
        return;
      }
      if (o.body.known()) {
        if (may_chunk && value != known_decimal) {
          // a length that disagrees with the framing would make the peer misread the stream
          failure = UserKind::kUnexpectedHeader;
          return;
        }
        append_field(out, name, value, o.title_case);
        framing->length = *o.body.content_length;
      } else if (o.body.unknown()) {
        const std::optional<uint64_t> v = parse_decimal(value);
        if (!v) {
          failure = UserKind::kUnexpectedHeader;
          return;
        }
        append_field(out, name, value, o.title_case);
        framing->length = *v;
      } else if (is_head) {
        append_field(out, name, value, o.title_case);
      } else {
        return;  // no body: the line is dropped
      }
      length_line_written = true;
      length_decided = true;
      framing_decided = true;
      return;
    }
    if (name == "transfer-encoding") {
      if (te_written) return;  // merged into the first line
      if (length_decided) {
        failure = UserKind::kUnexpectedHeader;
        return;
      }
      te_written = true;
      if (!chunk_allowed) return;  // dropped
      const bool ends_chunked = last_token_is(last_value(headers, name), "chunked");
      append_merged(out, headers, name, o.title_case, ends_chunked ? "" : ", chunked");
      framing->kind = BodyFraming::Kind::kChunked;
      length_decided = true;
      framing_decided = true;
      return;
    }
    if (name == "connection") {
      if (connection_written) return;
      connection_written = true;
      if (!connection_override.empty()) {
        append_field(out, name, connection_override, o.title_case);
      } else {
        append_merged(out, headers, name, o.title_case);
      }
      if (has_close) last = true;
      return;
    }
    if (name == "trailer") {
      if (trailer_written) return;
      trailer_written = true;
      if (!chunk_allowed) return;
      append_merged(out, headers, name, o.title_case);
      framing->has_allow_list = true;
      headers.for_each_value(
          name, [&](std::string_view v) { add_trailer_names(v, &framing->trailer_names); });
      return;
    }
    if (name == "date") date_written = true;
    append_field(out, name, value, o.title_case);
  });
  if (failure) return failure;

  if (!connection_written && !connection_override.empty()) {
    append_field(out, "connection", connection_override, o.title_case);
  }
  if (!framing_decided) {
    if (o.body.unknown()) {
      if (!chunk_allowed) {
        framing->kind = BodyFraming::Kind::kClose;
      } else {
        append_field(out, "transfer-encoding", "chunked", o.title_case);
        framing->kind = BodyFraming::Kind::kChunked;
      }
    } else if (o.body.none() || *o.body.content_length == 0) {
      if (may_have_implicit_zero) append_field(out, "content-length", "0", o.title_case);
    } else if (may_have_length) {
      append_field(out, "content-length", known_decimal, o.title_case);
      framing->length = *o.body.content_length;
    }
  }
  if (!may_chunk) {
    // HEAD, 1xx, a CONNECT 2xx, 204 and 304 carry no body, whatever the fields say.
    framing->kind = BodyFraming::Kind::kLength;
    framing->length = 0;
  }
  if (framing->kind != BodyFraming::Kind::kChunked) {
    framing->has_allow_list = false;
    framing->trailer_names.clear();
  }
  if (o.date_header && !date_written) {
    append_name(out, "date", o.title_case);
    out->append(": ");
    out->append(cached_http_date());
    out->append("\r\n");
  }
  out->append("\r\n");
  framing->last_message = last;
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Reason phrases

std::string_view reason_phrase(uint16_t status) {
  switch (status) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 102:
      return "Processing";
    case 103:
      return "Early Hints";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 207:
      return "Multi-Status";
    case 208:
      return "Already Reported";
    case 226:
      return "IM Used";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 305:
      return "Use Proxy";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 417:
      return "Expectation Failed";
    case 418:
      return "I'm a teapot";
    case 421:
      return "Misdirected Request";
    case 422:
      return "Unprocessable Content";
    case 423:
      return "Locked";
    case 424:
      return "Failed Dependency";
    case 425:
      return "Too Early";
    case 426:
      return "Upgrade Required";
    case 428:
      return "Precondition Required";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 451:
      return "Unavailable For Legal Reasons";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    case 506:
      return "Variant Also Negotiates";
    case 507:
      return "Insufficient Storage";
    case 508:
      return "Loop Detected";
    case 510:
      return "Not Extended";
    case 511:
      return "Network Authentication Required";
    default:
      return "<none>";
  }
}

}  // namespace quillet::h1
