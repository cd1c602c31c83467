#include "wire/h1/body_decoder.h"

#include "wire/common/text.h"
#include "wire/h1/head_parser.h"

#include <algorithm>
#include <utility>

namespace quillet::h1 {

namespace {

constexpr uint64_t kSizeShiftLimit = uint64_t(1) << 60;  // one more digit would overflow

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Error invalid_input(const char* text) {
  return Error::body_error(IoKind::kInvalidInput, text);
}
Error invalid_data(const char* text) {
  return Error::body_error(IoKind::kInvalidData, text);
}

Error trailer_error(const LineOutcome& outcome) {
  switch (outcome.fault) {
    case LineFault::kToken:
      return invalid_input("invalid token");
    case LineFault::kHeaderValue:
      return invalid_input("invalid header value");
    case LineFault::kNewLine:
      return invalid_input("invalid new line");
    case LineFault::kTooManyHeaders:
      return invalid_input("too many headers");
    case LineFault::kMapRefused:
      return Error::body_error(
          IoKind::kInvalidInput,
          "Invalid header name: " + quoted(outcome.refused_name) + " does not fit the trailer map");
    case LineFault::kHeaderName:
    case LineFault::kNone:
      break;
  }
  return invalid_input("invalid header name");
}

// The framing between two chunks in its common shape: CR LF after the data (when `after_data`),
// then one to fifteen hex digits and CR LF, all in `input`. The size and the bytes it took, or
// 0 bytes when the shape is not there (the byte walk then reads it, with every rule and error).
struct SizeLine {
  uint64_t size = 0;
  size_t length = 0;
};

SizeLine plain_size_line(std::string_view input, bool after_data) {
  size_t k = 0;
  if (after_data) {
    if (input.size() < 2 || input[0] != '\r' || input[1] != '\n') return {};
    k = 2;
  }
  const size_t digits_start = k;
  uint64_t size = 0;
  // Fifteen digits cannot reach the overflow limit; a longer size goes the long way.
  const size_t digits_end = std::min(input.size(), digits_start + 15);
  for (; k < digits_end; ++k) {
    const int digit = hex_value(input[k]);
    if (digit < 0) break;
    size = size * 16 + uint64_t(digit);
  }
  if (k == digits_start || k + 2 > input.size() || input[k] != '\r' || input[k + 1] != '\n') {
    return {};
  }
  return SizeLine{size, k + 2};
}

}  // namespace

BodyDecoder::BodyDecoder(BodyKind framing, uint64_t length) : framing_(framing) {
  if (framing == BodyKind::kLength) {
    remaining_ = length;
    complete_ = length == 0;
  } else if (framing == BodyKind::kEmpty) {
    complete_ = true;
  }
}

BodyDecoder BodyDecoder::from_kind(std::string_view kind, uint64_t length) {
  return BodyDecoder(body_kind_from_name(kind), length);
}

void BodyDecoder::feed(std::string_view bytes) {
  input_.append(bytes);
}

void BodyDecoder::feed_owned(std::string&& bytes) {
  input_.append_owned(std::move(bytes));
}

void BodyDecoder::mark_eof() {
  eof_ = true;
}

std::optional<HeaderMap> BodyDecoder::take_trailers() {
  if (!complete_) return std::nullopt;
  std::optional<HeaderMap> out = std::move(trailers_);
  trailers_.reset();
  return out;
}

DecodeResult BodyDecoder::fail(Error error) {
  failed_ = error;
  return DecodeResult{DecodeStatus::kError, {}, std::move(error)};
}

DecodeResult BodyDecoder::decode() {
  if (failed_) return DecodeResult{DecodeStatus::kError, {}, failed_};
  if (complete_) return DecodeResult{DecodeStatus::kComplete, {}, std::nullopt};
  switch (framing_) {
    case BodyKind::kLength:
      return step_length();
    case BodyKind::kChunked:
      return step_chunked();
    case BodyKind::kClose:
      return step_close();
    case BodyKind::kEmpty:
      break;
  }
  complete_ = true;
  return DecodeResult{DecodeStatus::kComplete, {}, std::nullopt};
}

void BodyDecoder::consume(size_t n) {
  if (complete_ || failed_) return;
  if (framing_ == BodyKind::kChunked && state_ != State::kBody) return;
  n = std::min(n, input_.size());
  if (framing_ != BodyKind::kClose && remaining_ < n) n = size_t(remaining_);
  if (n == 0) return;
  input_.consume(n);
  if (framing_ == BodyKind::kLength) {
    remaining_ -= n;
    complete_ = remaining_ == 0;
  } else if (framing_ == BodyKind::kChunked) {
    remaining_ -= n;
    if (remaining_ == 0) state_ = State::kBodyCr;
  }
}

DecodeResult BodyDecoder::decode_into(std::string* out) {
  DecodeResult result = decode();
  if (result.status == DecodeStatus::kData) {
    out->append(result.data);
    consume(result.data.size());
  }
  return result;
}

DecodeResult BodyDecoder::step_length() {
  const std::string_view input = input_.view();
  if (input.empty()) {
    if (!eof_) return DecodeResult{};
    return fail(
        Error::body_error(IoKind::kUnexpectedEof, "end of file before message length reached"));
  }
  const size_t take = remaining_ < input.size() ? size_t(remaining_) : input.size();
  return DecodeResult{DecodeStatus::kData, input.substr(0, take), std::nullopt};
}

DecodeResult BodyDecoder::step_close() {
  const std::string_view input = input_.view();
  if (input.empty()) {
    if (!eof_) return DecodeResult{};
    complete_ = true;
    return DecodeResult{DecodeStatus::kComplete, {}, std::nullopt};
  }
  return DecodeResult{DecodeStatus::kData,
                      input.substr(0, std::min(input.size(), kMaxCloseDelimitedResult)),
                      std::nullopt};
}

DecodeResult BodyDecoder::step_chunked() {
  while (true) {
    if (state_ == State::kEnd) {
      if (std::optional<Error> e = finish_trailers()) return fail(std::move(*e));
      complete_ = true;
      return DecodeResult{DecodeStatus::kComplete, {}, std::nullopt};
    }
    const std::string_view input = input_.view();
    if (input.empty()) {
      if (!eof_) return DecodeResult{};
      return fail(Error::body_error(IoKind::kUnexpectedEof,
                                    state_ == State::kBody
                                        ? "end of file before message length reached"
                                        : "unexpected EOF during chunk size line"));
    }
    if (state_ == State::kBody) {
      const size_t take = remaining_ < input.size() ? size_t(remaining_) : input.size();
      return DecodeResult{DecodeStatus::kData, input.substr(0, take), std::nullopt};
    }
    if (state_ == State::kBodyCr || state_ == State::kStart) {
      const SizeLine line = plain_size_line(input, state_ == State::kBodyCr);
      if (line.length != 0) {
        remaining_ = line.size;
        state_ = line.size == 0 ? State::kEndCr : State::kBody;
        input_.consume(line.length);
        continue;
      }
    }
    // The byte walk reads the buffer in place and drops what it read in one go: consuming may
    // reset the storage `input` views.
    size_t k = 0;
    std::optional<Error> error;
    while (k < input.size() && state_ != State::kBody && state_ != State::kEnd) {
      error = chunked_byte(input[k++]);
      if (error) break;
    }
    input_.consume(k);
    if (error) return fail(std::move(*error));
  }
}

std::optional<Error> BodyDecoder::chunked_byte(char c) {
  switch (state_) {
    case State::kStart: {
      const int digit = hex_value(c);
      if (digit < 0) return invalid_input("Invalid chunk size line: missing size digit");
      remaining_ = uint64_t(digit);
      state_ = State::kSize;
      return std::nullopt;
    }
    case State::kSize: {
      const int digit = hex_value(c);
      if (digit >= 0) {
        if (remaining_ >= kSizeShiftLimit) return invalid_data("invalid chunk size: overflow");
        remaining_ = remaining_ * 16 + uint64_t(digit);
      } else if (c == ' ' || c == '\t') {
        state_ = State::kSizeLws;
      } else if (c == ';') {
        state_ = State::kExtension;
      } else if (c == '\r') {
        state_ = State::kSizeLf;
      } else {
        return invalid_input("Invalid chunk size line: Invalid Size");
      }
      return std::nullopt;
    }
    case State::kSizeLws:
      if (c == ';') {
        state_ = State::kExtension;
      } else if (c == '\r') {
        state_ = State::kSizeLf;
      } else if (c != ' ' && c != '\t') {
        return invalid_input("Invalid chunk size linear white space");
      }
      return std::nullopt;
    case State::kExtension:
      if (c == '\r') {
        state_ = State::kSizeLf;
      } else if (c == '\n') {
        return invalid_data("invalid chunk extension contains newline");
      } else if (++extension_bytes_ > kMaxChunkExtensionBytes) {
        return invalid_data("chunk extensions over limit");
      }
      return std::nullopt;
    case State::kSizeLf:
      if (c != '\n') return invalid_input("Invalid chunk size LF");
      state_ = remaining_ == 0 ? State::kEndCr : State::kBody;
      return std::nullopt;
    case State::kBodyCr:
      if (c != '\r') return invalid_input("Invalid chunk body CR");
      state_ = State::kBodyLf;
      return std::nullopt;
    case State::kBodyLf:
      if (c != '\n') return invalid_input("Invalid chunk body LF");
      state_ = State::kStart;
      return std::nullopt;
    case State::kEndCr:
      if (c == '\r') {
        state_ = State::kEndLf;
        if (trailer_buffer_) return append_trailer(c);
        return std::nullopt;
      }
      if (!trailer_buffer_) {
        trailer_buffer_.emplace();
        trailer_buffer_->reserve(64);
      }
      state_ = State::kTrailer;
      return append_trailer(c);
    case State::kTrailer:
      if (c == '\r') state_ = State::kTrailerLf;
      return append_trailer(c);
    case State::kTrailerLf:
      if (c != '\n') return invalid_input("Invalid trailer end LF");
      if (++trailer_lines_ > kMaxTrailerLines) return invalid_data("chunk trailers count overflow");
      state_ = State::kEndCr;
      return append_trailer(c);
    case State::kEndLf:
      if (c != '\n') return invalid_input("Invalid chunk end LF");
      state_ = State::kEnd;
      if (trailer_buffer_) return append_trailer(c);
      return std::nullopt;
    case State::kBody:
    case State::kEnd:
      break;
  }
  return std::nullopt;  // not reached: data and the end are handled by step_chunked
}

std::optional<Error> BodyDecoder::append_trailer(char c) {
  if (trailer_buffer_->size() + 1 >= kMaxTrailerBytes) {
    return invalid_data("chunk trailers bytes over limit");
  }
  trailer_buffer_->push_back(c);
  return std::nullopt;
}

std::optional<Error> BodyDecoder::finish_trailers() {
  if (!trailer_buffer_) return std::nullopt;
  HeaderMap map;
  const LineOutcome outcome = parse_trailer_lines(*trailer_buffer_, trailer_lines_, &map);
  if (outcome.status == ParseStatus::kIncomplete) return invalid_input("Partial header");
  if (outcome.status != ParseStatus::kComplete) return trailer_error(outcome);
  trailer_buffer_.reset();
  trailers_ = std::move(map);
  return std::nullopt;
}

}  // namespace quillet::h1
