// The HTTP/1 error value. Every HTTP/1 rule reports failure as an `h1::Error`; the boundary turns
// it into the matching Python exception in one place, which also owns every message text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quillet::h1 {

enum class ErrorCategory : uint8_t {
  kParse,              // a malformed head; `parse` says which rule failed
  kUser,               // local misuse on the write path; `user` says which
  kIncompleteMessage,  // the connection ended while a message was still expected
  kUnexpectedMessage,  // the peer sent bytes when none were expected
  kCanceled,
  kChannelClosed,
  kIo,  // the transport failed
  kHeadReadTimeout,
  kBody,  // a body that could not be decoded
  kBodyWrite,
  kShutdown,
};

enum class ParseKind : uint8_t {
  kMethod,
  kVersion,
  kVersionH2,  // an HTTP/2 preface arrived on an HTTP/1 connection
  kUri,
  kUriTooLong,
  kHeaderToken,
  kContentLengthInvalid,
  kTransferEncodingInvalid,
  kTransferEncodingUnexpected,
  kTransferEncodingUnsupported,  // a transfer coding other than chunked (answered 501)
  kHostMissing,                  // an HTTP/1.1 request without Host
  kHostInvalid,                  // two Host lines, or a value that is no host [":" port]
  kTooLarge,
  kStatus,
  kInternal,
};

enum class UserKind : uint8_t {
  kBody,
  kBodyWriteAborted,
  kService,
  kUnexpectedHeader,
  kUnsupportedStatusCode,
  kNoUpgrade,
  kManualUpgrade,
  kDispatchGone,
};

// The kind of an input/output failure underneath an error.
enum class IoKind : uint8_t {
  kUnexpectedEof,
  kInvalidInput,
  kInvalidData,
  kConnectionReset,
  kConnectionAborted,
  kBrokenPipe,
  kTimedOut,
  kWriteZero,
  kOther,
};

// What caused an error: an input/output failure (with its kind) or a nested error; either way
// the cause has a text of its own that follows the error's message after ": ".
struct Cause {
  std::optional<IoKind> io;  // set when the cause is an input/output failure
  std::string text;
};

struct Error {
  ErrorCategory category;
  ParseKind parse = ParseKind::kInternal;  // meaningful for kParse only
  UserKind user = UserKind::kBody;         // meaningful for kUser only
  std::optional<Cause> cause;

  static Error parse_error(ParseKind kind) {
    return Error{ErrorCategory::kParse, kind, UserKind::kBody, std::nullopt};
  }
  static Error user_error(UserKind kind, std::optional<Cause> cause = std::nullopt) {
    return Error{ErrorCategory::kUser, ParseKind::kInternal, kind, std::move(cause)};
  }
  static Error body_error(IoKind io, std::string text) {
    return Error{ErrorCategory::kBody, ParseKind::kInternal, UserKind::kBody,
                 Cause{io, std::move(text)}};
  }
  static Error of(ErrorCategory category, std::optional<Cause> cause = std::nullopt) {
    return Error{category, ParseKind::kInternal, UserKind::kBody, std::move(cause)};
  }
};

}  // namespace quillet::h1

namespace quillet::h1 {

inline constexpr int kErrorCategoryCount = int(ErrorCategory::kShutdown) + 1;
inline constexpr int kParseKindCount = int(ParseKind::kInternal) + 1;
inline constexpr int kUserKindCount = int(UserKind::kDispatchGone) + 1;
inline constexpr int kIoKindCount = int(IoKind::kOther) + 1;

}  // namespace quillet::h1
