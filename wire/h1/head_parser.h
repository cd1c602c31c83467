// The HTTP/1 head parser: request heads (server side) and response heads (client side) from the
// front of a read buffer.
//
// An attempt either completes (with the number of bytes the head took), needs more bytes, or
// fails with a parse kind. Header lines are first located and checked, then the role rules decide
// the framing and the verdicts and fill the head's header map (or its field list).
//
// A head that arrives in pieces is checked once: an attempt that needs more bytes records how far
// it got in a HeadProgress, and the next attempt over the same buffer (with bytes appended) goes
// on from there. Once the end of the head is found, one pass from the buffer start builds it.
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
  // Leave the fields in RequestHead::fields rather than fill RequestHead::headers, when the role
  // rules allow (a Content-Length that a later Transfer-Encoding removes needs the map).
  bool fields_as_list = false;
};

struct ResponseLimits {
  // Leave the fields in ResponseHead::fields rather than fill ResponseHead::headers (the role
  // rules only read the lines).
  bool fields_as_list = false;
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
  // The bytes this attempt walked over, from where it started to where it stopped (the end of
  // the buffer when it needs more), the building pass included: a measure of its work for tests
  // and benchmarks.
  size_t scanned = 0;
};

// Where in the head grammar a checked prefix ends. The parser's own business: callers only keep
// a HeadProgress and start it over. The phases of the start line come before kLineStart.
enum class HeadPhase : uint8_t {
  kStart,        // before the start line, among empty lines
  kMethod,       // in the method token
  kTarget,       // in the request-target
  kVersion,      // at the request line's version, read again from its first byte
  kStatusLine,   // at the status line, read again from its first byte up to the reason phrase
  kReason,       // in the reason phrase
  kLineStart,    // at the start of a header line or of the empty line that ends the head
  kName,         // in a header name
  kSpace,        // in the whitespace after the colon
  kValue,        // in a header value
  kInvalidLine,  // in a malformed line being skipped (ignore_invalid_headers)
};

// How far an incomplete head has been checked, as offsets from the buffer start. Valid only for
// the same buffer with bytes appended, parsed for the same role with the same limits: whoever
// removes or replaces bytes at the front starts over with a fresh value.
struct HeadProgress {
  size_t pos = 0;    // every byte before it has been checked
  size_t mark = 0;   // where the element being read at `pos` starts
  size_t lines = 0;  // header lines counted before `pos`
  HeadPhase phase = HeadPhase::kStart;

  bool fresh() const { return pos == 0 && phase == HeadPhase::kStart; }
};

// With a `progress`, the attempt goes on from it and, when it needs more bytes, records how far
// it got there; an error or a complete head leaves it as it was. Without one it starts at the
// buffer start.
ParseOutcome parse_request_head(std::string_view buffer, const RequestLimits& limits,
                                RequestHead* out, HeadProgress* progress = nullptr);

// `request_method` is the method of the request this response answers, or nullptr when none was
// recorded. An informational head is complete for `progress` too: the caller drops it and starts
// the next head fresh.
ParseOutcome parse_response_head(std::string_view buffer, const RequestMethod* request_method,
                                 const ResponseLimits& limits, ResponseHead* out,
                                 HeadProgress* progress = nullptr);

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

// The scanners the parser locates lines with: the index of the first byte outside the field-value
// set (HTAB, 0x20 to 0x7E, 0x80 to 0xFF), or outside the request-target set (0x21 to 0x7E, 0x80
// to 0xFF); `size` when there is none. The byte-by-byte versions are the reference; the wide ones
// check 32 bytes at a time (AVX2, when the processor has it) or 16 (SSE2), finish with the
// tables, and must agree exactly with the reference.
size_t scan_field_value(const char* data, size_t size);  // the widest available
size_t scan_field_value_bytewise(const char* data, size_t size);
size_t scan_target(const char* data, size_t size);
size_t scan_target_bytewise(const char* data, size_t size);

// Each width on its own, for tests that hold them to the reference. A width this build or this
// processor lacks is not available; asked for anyway, it runs the widest narrower one.
enum class ScanWidth : uint8_t { kBytewise, kSse2, kAvx2 };
bool scan_width_available(ScanWidth width);
size_t scan_field_value_with(ScanWidth width, const char* data, size_t size);
size_t scan_target_with(ScanWidth width, const char* data, size_t size);

}  // namespace quillet::h1
