// The HTTP/1 head parser: request heads (server side) and response heads (client side) from the
// front of a read buffer.
//
// A parse is stateless: each attempt starts over at the buffer start and either completes (with
// the number of bytes the head took), needs more bytes, or fails with a parse kind. Header lines
// are first located and checked, then the role rules decide the framing and the verdicts and
// fill the head's header map.
#pragma once

#include "wire/h1/error.h"
#include "wire/h1/head.h"

#include <cstddef>
#include <string_view>

namespace quillet::h1 {

inline constexpr size_t kDefaultMaxHeaders = 100;
// Header slots that live on the stack; a larger limit allocates its slots per parse.
inline constexpr size_t kStackHeaderSlots = 100;
inline constexpr size_t kMaxHeaderNameLength = 65535;

struct RequestLimits {
  size_t max_headers = kDefaultMaxHeaders;
  bool ignore_invalid_headers = false;
};

enum class ParseStatus : uint8_t {
  kComplete,
  kIncomplete,
  kError,
  kInformational,  // a 1xx response other than 101: `consumed` bytes to drop, then parse again
};

struct ParseOutcome {
  ParseStatus status = ParseStatus::kIncomplete;
  size_t consumed = 0;                     // the head's length, for kComplete and kInformational
  ParseKind error = ParseKind::kInternal;  // for kError
};

ParseOutcome parse_request_head(std::string_view buffer, const RequestLimits& limits,
                                RequestHead* out);

// `request_method` is the method of the request this response answers, or nullptr when none was
// recorded.
ParseOutcome parse_response_head(std::string_view buffer, const RequestMethod* request_method,
                                 ResponseHead* out);

// The scanners the parser locates lines with: the index of the first byte outside the field-value
// set (HTAB, 0x20 to 0x7E, 0x80 to 0xFF), or outside the request-target set (0x21 to 0x7E, 0x80
// to 0xFF); `size` when there is none. The wide versions check 16 bytes at a time where the
// machine can, and must agree exactly with the byte-by-byte ones.
// Which rule of the header-line grammar a block of lines broke.
enum class LineFault : uint8_t {
  kNone,
  kHeaderName,      // an empty name (a line starting with whitespace or a colon) or one too long
  kToken,           // a name followed by a byte that is neither a token byte nor the colon
  kHeaderValue,     // a byte outside the field-value set
  kNewLine,         // a CR not followed by LF
  kTooManyHeaders,  // more lines than allowed
  kMapRefused,      // the header map had no room for the field named `refused_name`
};

struct LineOutcome {
  ParseStatus status = ParseStatus::kIncomplete;  // kComplete, kIncomplete or kError
  size_t consumed = 0;                            // for kComplete: the bytes of the block used
  LineFault fault = LineFault::kNone;             // for kError
  std::string_view refused_name;                  // for kMapRefused: a view into the block
};

// Parses header lines up to and including the empty line that ends them, with the same grammar
// as a head (no obsolete folding, no whitespace before the colon), at most `max_lines` of them,
// appending every field in order to `out`. Used for the trailer section of a chunked body. On
// error `out` may hold the fields before the failing one.
LineOutcome parse_trailer_lines(std::string_view block, size_t max_lines, HeaderMap* out);

size_t scan_field_value(const char* data, size_t size);
size_t scan_field_value_bytewise(const char* data, size_t size);
size_t scan_target(const char* data, size_t size);
size_t scan_target_bytewise(const char* data, size_t size);

}  // namespace quillet::h1
