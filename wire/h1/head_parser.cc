#include "wire/h1/head_parser.h"

#include "wire/common/chars.h"
#include "wire/common/text.h"
#include "wire/common/uri.h"
#include "wire/h1/tokens.h"

#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet::h1 {

// ---------------------------------------------------------------------------------------------
// Scanners

size_t scan_field_value_bytewise(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (!chars::field_value(data[i])) return i;
  }
  return size;
}

size_t scan_target_bytewise(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (!chars::target(data[i])) return i;
  }
  return size;
}

#if defined(__SSE2__)

namespace {

// Bytes below `floor` (unsigned) or equal to DEL, except HTAB when `allow_tab`: a 16-bit mask of
// the bytes of one 16-byte block that end a run.
template <bool kAllowTab>
inline unsigned stop_mask(__m128i block, __m128i floor_minus_one) {
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(block, floor_minus_one), block);
  const __m128i del = _mm_cmpeq_epi8(block, _mm_set1_epi8(0x7F));
  __m128i stop = _mm_or_si128(low, del);
  if (kAllowTab) stop = _mm_andnot_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\t')), stop);
  return unsigned(_mm_movemask_epi8(stop));
}

template <bool kAllowTab>
size_t scan_wide(const char* data, size_t size, char floor, size_t (*tail)(const char*, size_t)) {
  const __m128i floor_minus_one = _mm_set1_epi8(char(floor - 1));
  size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const unsigned mask = stop_mask<kAllowTab>(block, floor_minus_one);
    if (mask != 0) return i + size_t(__builtin_ctz(mask));
  }
  return i + tail(data + i, size - i);
}

}  // namespace

size_t scan_field_value(const char* data, size_t size) {
  return scan_wide<true>(data, size, 0x20, scan_field_value_bytewise);
}

size_t scan_target(const char* data, size_t size) {
  return scan_wide<false>(data, size, 0x21, scan_target_bytewise);
}

#else

size_t scan_field_value(const char* data, size_t size) {
  return scan_field_value_bytewise(data, size);
}
size_t scan_target(const char* data, size_t size) {
  return scan_target_bytewise(data, size);
}

#endif

// ---------------------------------------------------------------------------------------------
// Methods

namespace {

// The standard methods' texts, indexed by `Method`; checked complete at compile time so that
// every method the parser can name has a text.
constexpr std::string_view kMethodTexts[] = {
    "OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY",
};
static_assert(std::size(kMethodTexts) == size_t(Method::kExtension), "one text per method");

}  // namespace

Method method_from_token(std::string_view token) {
  for (size_t i = 0; i < std::size(kMethodTexts); ++i) {
    if (kMethodTexts[i] == token) return Method(i);
  }
  return Method::kExtension;
}

std::string_view method_text(Method method) {
  const size_t i = size_t(method);
  return i < std::size(kMethodTexts) ? kMethodTexts[i] : std::string_view();
}

// ---------------------------------------------------------------------------------------------
// The line grammar

namespace {

struct RawLine {
  const char* name;
  size_t name_size;
  const char* value;
  size_t value_size;

  std::string_view name_view() const { return {name, name_size}; }
  std::string_view value_view() const { return {value, value_size}; }
};

// The header lines of one head, at most `limit` of them: on the stack up to kStackHeaderSlots,
// past that in a heap array that grows with the lines actually received.
class LineSlots {
 public:
  explicit LineSlots(size_t limit) : limit_(limit) {}

  bool push(const RawLine& line) {
    if (size_ >= limit_) return false;
    if (size_ < kStackHeaderSlots) {
      stack_[size_] = line;
    } else {
      heap_.push_back(line);
    }
    ++size_;
    return true;
  }
  size_t size() const { return size_; }
  const RawLine& operator[](size_t k) const {
    return k < kStackHeaderSlots ? stack_[k] : heap_[k - kStackHeaderSlots];
  }

 private:
  size_t limit_;
  size_t size_ = 0;
  RawLine stack_[kStackHeaderSlots];
  std::vector<RawLine> heap_;
};

enum class Step : uint8_t { kOk, kIncomplete, kError };

class Cursor {
 public:
  explicit Cursor(std::string_view buffer) : p_(buffer.data()), n_(buffer.size()) {}

  size_t pos() const { return i_; }
  ParseKind error() const { return error_; }
  LineFault fault() const { return fault_; }

  Step fail(ParseKind kind, LineFault fault = LineFault::kNone) {
    error_ = kind;
    fault_ = fault;
    return Step::kError;
  }

  // Skips empty lines (CR LF or LF) before a start line; a CR without LF is `header_token`.
  Step skip_empty_lines() {
    while (i_ < n_) {
      if (p_[i_] == '\n') {
        ++i_;
      } else if (p_[i_] == '\r') {
        if (i_ + 1 >= n_) return Step::kIncomplete;
        if (p_[i_ + 1] != '\n') return fail(ParseKind::kHeaderToken);
        i_ += 2;
      } else {
        return Step::kOk;
      }
    }
    return Step::kIncomplete;
  }

  // "HTTP/1.0" or "HTTP/1.1"; anything else is `version`.
  Step version(bool* http10) {
    static constexpr char kPrefix[] = "HTTP/1.";
    const size_t avail = n_ - i_;
    for (size_t k = 0; k < 7 && k < avail; ++k) {
      if (p_[i_ + k] != kPrefix[k]) return fail(ParseKind::kVersion);
    }
    if (avail < 8) return Step::kIncomplete;
    const char minor = p_[i_ + 7];
    if (minor != '0' && minor != '1') return fail(ParseKind::kVersion);
    *http10 = minor == '0';
    i_ += 8;
    return Step::kOk;
  }

  // A line end (CR LF or LF) right here; any other byte, or CR without LF, is `kind`.
  Step line_end(ParseKind kind) {
    if (i_ >= n_) return Step::kIncomplete;
    if (p_[i_] == '\n') {
      ++i_;
      return Step::kOk;
    }
    if (p_[i_] != '\r') return fail(kind, LineFault::kNewLine);
    if (i_ + 1 >= n_) return Step::kIncomplete;
    if (p_[i_ + 1] != '\n') return fail(kind, LineFault::kNewLine);
    i_ += 2;
    return Step::kOk;
  }

  Step request_line(RequestHead* head, std::string_view* target, bool* http10) {
    if (Step s = skip_empty_lines(); s != Step::kOk) return s;
    const size_t avail = n_ - i_;
    if (avail >= 4 && std::memcmp(p_ + i_, "GET ", 4) == 0) {
      head->method = Method::kGet;
      i_ += 4;
    } else if (avail >= 5 && std::memcmp(p_ + i_, "POST ", 5) == 0) {
      head->method = Method::kPost;
      i_ += 5;
    } else {
      const size_t start = i_;
      while (i_ < n_ && chars::token(p_[i_]))
        ++i_;
      if (i_ >= n_) return Step::kIncomplete;
      if (i_ == start || p_[i_] != ' ') return fail(ParseKind::kMethod);
      const std::string_view token(p_ + start, i_ - start);
      head->method = method_from_token(token);
      if (head->method == Method::kExtension) head->method_token.assign(token);
      ++i_;
    }
    const size_t start = i_;
    i_ += scan_target(p_ + i_, n_ - i_);
    if (i_ >= n_) return Step::kIncomplete;
    if (i_ == start || p_[i_] != ' ') return fail(ParseKind::kUri);
    *target = std::string_view(p_ + start, i_ - start);
    if (!is_valid_utf8(*target)) return fail(ParseKind::kUri);
    ++i_;
    if (Step s = version(http10); s != Step::kOk) return s;
    return line_end(ParseKind::kHeaderToken);
  }

  Step status_line(uint16_t* status, bool* http10) {
    if (Step s = skip_empty_lines(); s != Step::kOk) return s;
    if (Step s = version(http10); s != Step::kOk) return s;
    if (i_ >= n_) return Step::kIncomplete;
    if (p_[i_] != ' ') return fail(ParseKind::kVersion);
    ++i_;
    unsigned code = 0;
    for (int k = 0; k < 3; ++k, ++i_) {
      if (i_ >= n_) return Step::kIncomplete;
      if (p_[i_] < '0' || p_[i_] > '9') return fail(ParseKind::kStatus);
      code = code * 10 + unsigned(p_[i_] - '0');
    }
    if (code < 100) return fail(ParseKind::kStatus);
    *status = uint16_t(code);
    if (i_ >= n_) return Step::kIncomplete;
    if (p_[i_] == ' ') {
      ++i_;
      i_ += scan_field_value(p_ + i_, n_ - i_);  // the reason phrase, discarded
    }
    return line_end(ParseKind::kStatus);
  }

  // Header lines up to and including the empty line that ends the head; more lines than `lines`
  // takes are `too_large`.
  Step header_lines(LineSlots& lines, bool ignore_invalid) {
    while (true) {
      if (i_ >= n_) return Step::kIncomplete;
      const char first = p_[i_];
      if (first == '\n' || first == '\r') {
        return line_end(ParseKind::kHeaderToken);
      }
      const size_t name_start = i_;
      while (i_ < n_ && chars::token(p_[i_]))
        ++i_;
      const size_t name_size = i_ - name_start;
      if (name_size > kMaxHeaderNameLength) {
        return fail(ParseKind::kTooLarge, LineFault::kHeaderName);
      }
      if (i_ >= n_) return Step::kIncomplete;
      if (name_size == 0 || p_[i_] != ':') {
        if (!ignore_invalid) {
          return fail(ParseKind::kHeaderToken,
                      name_size == 0 ? LineFault::kHeaderName : LineFault::kToken);
        }
        if (Step s = skip_invalid_line(); s != Step::kOk) return s;
        continue;
      }
      ++i_;  // the colon
      while (i_ < n_ && (p_[i_] == ' ' || p_[i_] == '\t'))
        ++i_;
      const size_t value_start = i_;
      i_ += scan_field_value(p_ + i_, n_ - i_);
      if (i_ >= n_) return Step::kIncomplete;
      size_t value_end = i_;
      const bool crlf = p_[i_] == '\r' && i_ + 1 < n_ && p_[i_ + 1] == '\n';
      if (p_[i_] == '\r' && i_ + 1 >= n_) return Step::kIncomplete;
      if (p_[i_] != '\n' && !crlf) {
        if (!ignore_invalid) {
          return fail(ParseKind::kHeaderToken,
                      p_[i_] == '\r' ? LineFault::kNewLine : LineFault::kHeaderValue);
        }
        if (Step s = skip_invalid_line(); s != Step::kOk) return s;
        continue;
      }
      i_ += crlf ? 2 : 1;
      while (value_end > value_start && (p_[value_end - 1] == ' ' || p_[value_end - 1] == '\t')) {
        --value_end;
      }
      if (!lines.push(
              RawLine{p_ + name_start, name_size, p_ + value_start, value_end - value_start})) {
        return fail(ParseKind::kTooLarge, LineFault::kTooManyHeaders);
      }
    }
  }

 private:
  // Skips the rest of a malformed header line. A NUL byte or a CR without LF in it still fails.
  Step skip_invalid_line() {
    for (; i_ < n_; ++i_) {
      const char c = p_[i_];
      if (c == '\0') return fail(ParseKind::kHeaderToken);
      if (c == '\n') {
        ++i_;
        return Step::kOk;
      }
      if (c == '\r') {
        if (i_ + 1 >= n_) return Step::kIncomplete;
        if (p_[i_ + 1] != '\n') return fail(ParseKind::kHeaderToken);
        i_ += 2;
        return Step::kOk;
      }
    }
    return Step::kIncomplete;
  }

  const char* p_;
  size_t n_;
  size_t i_ = 0;
  ParseKind error_ = ParseKind::kInternal;
  LineFault fault_ = LineFault::kNone;
};

// Sizes the head's map for all its lines at once.
void reserve_for(const LineSlots& lines, HeaderMap* headers) {
  size_t bytes = 0;
  for (size_t k = 0; k < lines.size(); ++k)
    bytes += lines[k].name_size + lines[k].value_size;
  headers->reserve(lines.size(), bytes);
}

ParseOutcome outcome_of(Step step, const Cursor& cursor) {
  ParseOutcome out;
  out.status = step == Step::kIncomplete ? ParseStatus::kIncomplete : ParseStatus::kError;
  out.error = cursor.error();
  return out;
}

ParseOutcome error_outcome(ParseKind kind) {
  ParseOutcome out;
  out.status = ParseStatus::kError;
  out.error = kind;
  return out;
}

// Names the role rules look at, by their lower-case spelling.
enum class Known : uint8_t {
  kOther,
  kTransferEncoding,
  kContentLength,
  kConnection,
  kExpect,
  kUpgrade,
  kTe,
};

Known classify(std::string_view name) {
  switch (name.size()) {
    case 2:
      return equals_ignore_case(name, "te") ? Known::kTe : Known::kOther;
    case 6:
      return equals_ignore_case(name, "expect") ? Known::kExpect : Known::kOther;
    case 7:
      return equals_ignore_case(name, "upgrade") ? Known::kUpgrade : Known::kOther;
    case 10:
      return equals_ignore_case(name, "connection") ? Known::kConnection : Known::kOther;
    case 14:
      return equals_ignore_case(name, "content-length") ? Known::kContentLength : Known::kOther;
    case 17:
      return equals_ignore_case(name, "transfer-encoding") ? Known::kTransferEncoding
                                                           : Known::kOther;
    default:
      return Known::kOther;
  }
}

// Keep-alive follows the Connection lines one by one; a `close` token on any line wins over
// every other line, so the verdict agrees with the close test the encoders apply.
struct KeepAlive {
  bool value;
  bool closed = false;

  void connection_line(std::string_view v) {
    if (has_token(v, "close")) closed = true;
    value = value ? !has_token(v, "close") : has_token(v, "keep-alive");
  }
  bool result() const { return value && !closed; }
};

// The request-target as the head reports it: scheme "://" authority path-and-query for the
// absolute form (an empty path becomes "/"), the authority alone for the authority form, else
// the target exactly as received.
bool request_target_text(std::string_view raw, std::string* out) {
  if (raw.size() > kMaxUriLength) return false;
  Uri uri;
  UriError error;
  if (!parse_uri(raw, &uri, &error)) return false;
  switch (uri.form) {
    case UriForm::kOrigin:
    case UriForm::kAsterisk:
      out->assign(raw);
      break;
    case UriForm::kAuthority:
      out->assign(uri.authority);
      break;
    case UriForm::kAbsolute:
      out->reserve(raw.size() + 1);
      out->assign(uri.scheme);
      out->append("://");
      out->append(uri.authority);
      if (uri.path_and_query.empty() || uri.path_and_query.front() != '/') out->push_back('/');
      out->append(uri.path_and_query);
      break;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Request heads

ParseOutcome parse_request_head(std::string_view buffer, const RequestLimits& limits,
                                RequestHead* head) {
  Cursor cursor(buffer);
  std::string_view raw_target;
  bool http10 = false;
  if (Step s = cursor.request_line(head, &raw_target, &http10); s != Step::kOk) {
    return outcome_of(s, cursor);
  }
  LineSlots lines(limits.max_headers);
  if (Step s = cursor.header_lines(lines, limits.ignore_invalid_headers); s != Step::kOk) {
    return outcome_of(s, cursor);
  }

  if (raw_target.size() > kMaxUriLength) return error_outcome(ParseKind::kUriTooLong);
  if (!request_target_text(raw_target, &head->target)) return error_outcome(ParseKind::kUri);

  head->http10 = http10;
  head->is_upgrade = head->method == Method::kConnect;
  KeepAlive keep_alive{!http10};
  bool transfer_encoding_seen = false;
  bool last_te_chunked = false;
  bool length_with_te = false;  // a Content-Length met a Transfer-Encoding, in either order
  bool length_accepted = false;
  uint64_t length = 0;
  HeaderMap& headers = head->headers;
  reserve_for(lines, &headers);

  for (size_t k = 0; k < lines.size(); ++k) {
    const std::string_view name = lines[k].name_view();
    const std::string_view value = lines[k].value_view();
    switch (classify(name)) {
      case Known::kTransferEncoding:
        if (http10) return error_outcome(ParseKind::kTransferEncodingUnexpected);
        transfer_encoding_seen = true;
        if (length_accepted) {
          headers.remove("content-length");
          length_accepted = false;
          length_with_te = true;
        }
        last_te_chunked = last_token_is(value, "chunked");
        break;
      case Known::kContentLength: {
        if (transfer_encoding_seen) {
          length_with_te = true;
          continue;  // dropped: the chunked framing decides
        }
        const std::optional<uint64_t> parsed = parse_decimal(value);
        if (!parsed) return error_outcome(ParseKind::kContentLengthInvalid);
        if (length_accepted) {
          if (*parsed != length) return error_outcome(ParseKind::kContentLengthInvalid);
          continue;  // a repeat of the same length
        }
        if (*parsed > kMaxContentLength) return error_outcome(ParseKind::kTooLarge);
        length_accepted = true;
        length = *parsed;
        break;
      }
      case Known::kConnection:
        keep_alive.connection_line(value);
        break;
      case Known::kExpect:
        head->expect_continue = equals_ignore_case(value, "100-continue");
        break;
      case Known::kUpgrade:
        head->is_upgrade = !http10;
        break;
      case Known::kTe:
        if (has_token(value, "trailers")) head->allow_trailers = true;
        break;
      case Known::kOther:
        break;
    }
    if (!headers.append(name, value)) return error_outcome(ParseKind::kTooLarge);
  }

  if (transfer_encoding_seen) {
    if (!last_te_chunked) return error_outcome(ParseKind::kTransferEncodingInvalid);
    head->body_kind = BodyKind::kChunked;
    head->content_length = 0;
  } else if (length_accepted && length != 0) {
    head->body_kind = BodyKind::kLength;
    head->content_length = length;
  } else {
    head->body_kind = BodyKind::kEmpty;
    head->content_length = 0;
  }
  head->keep_alive = keep_alive.result() && !length_with_te;

  ParseOutcome out;
  out.status = ParseStatus::kComplete;
  out.consumed = cursor.pos();
  return out;
}

// ---------------------------------------------------------------------------------------------
// Response heads

namespace {

// Every comma-separated item of every Content-Length line, trimmed, must be the same number.
enum class LengthVerdict : uint8_t { kOk, kInvalid };

LengthVerdict response_length(const LineSlots& lines, uint64_t* length) {
  bool seen = false;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (classify(lines[k].name_view()) != Known::kContentLength) continue;
    std::string_view rest = lines[k].value_view();
    while (true) {
      const size_t comma = rest.find(',');
      const std::optional<uint64_t> item = parse_decimal(trim_whitespace(rest.substr(0, comma)));
      if (!item || (seen && *item != *length)) return LengthVerdict::kInvalid;
      seen = true;
      *length = *item;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return LengthVerdict::kOk;
}

}  // namespace

ParseOutcome parse_response_head(std::string_view buffer, const RequestMethod* request_method,
                                 ResponseHead* head) {
  Cursor cursor(buffer);
  uint16_t status = 0;
  bool http10 = false;
  if (Step s = cursor.status_line(&status, &http10); s != Step::kOk) return outcome_of(s, cursor);
  LineSlots lines(kDefaultMaxHeaders);
  if (Step s = cursor.header_lines(lines, false); s != Step::kOk) return outcome_of(s, cursor);
  ParseOutcome out;
  out.consumed = cursor.pos();
  if (status == 100 || (status >= 102 && status <= 199)) {
    out.status = ParseStatus::kInformational;
    return out;
  }

  head->status = status;
  head->http10 = http10;
  reserve_for(lines, &head->headers);
  KeepAlive keep_alive{!http10};
  bool has_te = false;
  bool has_length = false;
  std::string_view last_te;
  for (size_t k = 0; k < lines.size(); ++k) {
    const RawLine& line = lines[k];
    switch (classify(line.name_view())) {
      case Known::kConnection:
        keep_alive.connection_line(line.value_view());
        break;
      case Known::kTransferEncoding:
        has_te = true;
        last_te = line.value_view();
        break;
      case Known::kContentLength:
        has_length = true;
        break;
      case Known::kExpect:
      case Known::kTe:
      case Known::kUpgrade:
      case Known::kOther:
        break;
    }
    if (!head->headers.append(line.name_view(), line.value_view())) {
      return error_outcome(ParseKind::kTooLarge);
    }
  }
  head->keep_alive = keep_alive.result();

  const bool is_head = request_method != nullptr && request_method->is(Method::kHead);
  const bool is_connect = request_method != nullptr && request_method->is(Method::kConnect);
  head->body_kind = BodyKind::kEmpty;
  head->content_length = 0;
  if (status == 101) {
    head->is_upgrade = true;
  } else if (status == 204 || status == 304 || is_head) {
    // no body
  } else if (is_connect && status >= 200 && status <= 299) {
    head->is_upgrade = true;
  } else if (has_te) {
    if (http10) return error_outcome(ParseKind::kTransferEncodingUnexpected);
    head->body_kind = last_token_is(last_te, "chunked") ? BodyKind::kChunked : BodyKind::kClose;
  } else if (has_length) {
    uint64_t length = 0;
    if (response_length(lines, &length) != LengthVerdict::kOk) {
      return error_outcome(ParseKind::kContentLengthInvalid);
    }
    if (length > kMaxContentLength) return error_outcome(ParseKind::kTooLarge);
    if (length != 0) {
      head->body_kind = BodyKind::kLength;
      head->content_length = length;
    }
  } else {
    head->body_kind = BodyKind::kClose;
  }
  out.status = ParseStatus::kComplete;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Trailer sections

LineOutcome parse_trailer_lines(std::string_view block, size_t max_lines, HeaderMap* out) {
  Cursor cursor(block);
  LineSlots lines(max_lines);
  LineOutcome outcome;
  const Step step = cursor.header_lines(lines, false);
  if (step == Step::kIncomplete) return outcome;
  if (step == Step::kError) {
    outcome.status = ParseStatus::kError;
    outcome.fault = cursor.fault();
    return outcome;
  }
  for (size_t k = 0; k < lines.size(); ++k) {
    if (!out->append(lines[k].name_view(), lines[k].value_view())) {
      outcome.status = ParseStatus::kError;
      outcome.fault = LineFault::kMapRefused;
      outcome.refused_name = lines[k].name_view();
      return outcome;
    }
  }
  outcome.status = ParseStatus::kComplete;
  outcome.consumed = cursor.pos();
  return outcome;
}

}  // namespace quillet::h1
