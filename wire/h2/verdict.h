// What the HTTP/2 connection tells its driver after each step: the flag bits, the kinds of a
// received header block, the stop a stream is left with, and the verdict of each kind of step.
// The driver never inspects the connection to decide what to do next; it acts on these.
//
// Verdicts carry stream handles as Handles: the caller owns them and releases them after the
// connection's lock is let go.
#pragma once

#include "wire/common/handle.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillet::h2 {

// The flag bits of a verdict (the module's H2_FLAG_* constants); any combination may be set.
namespace flag {
inline constexpr uint32_t kWake = 1;           // new bytes wait in the pending-send buffer
inline constexpr uint32_t kSlotFreed = 2;      // a stream slot was freed or the limit changed
inline constexpr uint32_t kConnDone = 4;       // GOAWAYs exchanged and no stream left
inline constexpr uint32_t kStopAccepting = 8;  // the graceful shutdown has no stream left
inline constexpr uint32_t kCapacity = 16;      // connection send capacity for a waiting stream
}  // namespace flag

// What a received HEADERS frame turned out to be (the module's H2_HEADERS_* constants).
enum class HeadersKind : uint8_t {
  kIgnored = 0,   // nothing to deliver
  kOpened = 1,    // server: a new request stream
  kHead = 2,      // client: the final response head
  kTrailers = 3,  // the fields end the body
};
inline constexpr size_t kHeadersKindCount = size_t(HeadersKind::kTrailers) + 1;

// Why a stream can no longer proceed: the error code of the reset, GOAWAY or failure that
// stopped it (none for a stream that ended with nothing to report), and whether the stop came
// from the connection rather than the stream.
struct Stop {
  std::optional<uint32_t> reason;
  bool conn = false;
  bool operator==(const Stop&) const = default;
};

struct SendVerdict {
  uint32_t sent = 0;  // payload bytes queued by this step
  bool done = false;  // everything asked for is queued
  std::optional<Stop> stopped;
  Handle handle;  // a stream whose reader must see `reader_stop`
  std::optional<Stop> reader_stop;
  uint32_t flags = 0;
};

struct RecvHeadersVerdict {
  HeadersKind kind = HeadersKind::kIgnored;
  Handle handle;
  uint32_t stream_id = 0;
  bool eof = false;
  uint32_t flags = 0;
};

// The payload itself stays with the frame it came in; `deliver` says whether it goes to the
// stream's body.
struct RecvDataVerdict {
  Handle handle;
  bool deliver = false;
  bool budgeted = false;
  bool eof = false;
  uint32_t flags = 0;
};

struct ResetVerdict {
  Handle handle;
  std::optional<Stop> stop;
  uint32_t flags = 0;
};

// The peer's RST_STREAM: `notify_body` unless the peer had already ended its body.
struct PeerResetVerdict {
  Handle handle;
  std::optional<Stop> stop;
  bool notify_body = false;
  uint32_t flags = 0;
};

// A stream the connection stopped, with the stop to publish to it.
struct StoppedStream {
  Handle handle;
  Stop stop;
};

}  // namespace quillet::h2
