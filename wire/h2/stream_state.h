// The state of one HTTP/2 stream (RFC 9113 section 5.1): how far each direction has got and,
// once the stream is over, why it ended.
//
// A plain value: the connection keeps one per stream under its own lock, and the H2StreamState
// class keeps one behind a mutex of its own. Every transition either applies in full or is
// refused with the state unchanged; nothing here allocates except a GOAWAY error's debug data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/h2/error.h"

namespace quillet::h2 {

// The largest stream id (31 bits). Ids above it never reach a state: the frame decoder masks
// the reserved bit off and the Python boundary refuses larger ones.
inline constexpr uint32_t kMaxStreamId = 0x7fffffff;

// Where a direction stands while it is open: its head has not been sent or received yet (or
// only informational 1xx heads so far), or the head is done and DATA may flow.
enum class Peer : uint8_t { kAwaitingHeaders, kStreaming };

enum class Phase : uint8_t {
  kIdle,
  kReservedLocal,     // reserved by a promise we would send
  kReservedRemote,    // reserved by a promise the peer sent
  kOpen,              // both halves open
  kHalfClosedLocal,   // we sent END_STREAM
  kHalfClosedRemote,  // the peer sent END_STREAM
  kClosed,
};
inline constexpr size_t kPhaseCount = size_t(Phase::kClosed) + 1;

// Why a closed stream ended.
enum class Cause : uint8_t {
  kEndStream,             // both halves ended by END_STREAM
  kError,                 // a reset or failure while the receive half was open
  kErrorAfterEndStream,   // a reset or failure after the peer's END_STREAM (its body was whole)
  kScheduledLibraryReset  // a reset decided here and not sent yet
};
inline constexpr size_t kCauseCount = size_t(Cause::kScheduledLibraryReset) + 1;

// Who ended a stream: the application, this library after a peer violation, or the peer.
enum class Initiator : uint8_t { kUser, kLibrary, kRemote };
inline constexpr size_t kInitiatorCount = size_t(Initiator::kRemote) + 1;

// "user", "library", "remote": the names the initiator has in exception args and reprs.
std::string_view initiator_name(Initiator initiator);
std::optional<Initiator> parse_initiator(std::string_view name);

// The transport failures a stream can end with.
enum class IoKind : uint8_t { kBrokenPipe };
inline constexpr size_t kIoKindCount = size_t(IoKind::kBrokenPipe) + 1;

enum class ErrorKind : uint8_t { kReset, kGoAway, kIo };
inline constexpr size_t kErrorKindCount = size_t(ErrorKind::kIo) + 1;

// The error a stream ended with: an RST_STREAM (sent or received), a GOAWAY, or a transport
// failure. Only the fields of its kind are meaningful.
struct StreamError {
  ErrorKind kind = ErrorKind::kReset;
  uint32_t stream_id = 0;                  // kReset
  uint32_t reason = kNoError;              // kReset, kGoAway: the RFC 9113 error code
  Initiator initiator = Initiator::kUser;  // kReset, kGoAway
  IoKind io = IoKind::kBrokenPipe;         // kIo
  std::string debug_data;                  // kGoAway

  static StreamError reset(uint32_t stream_id, uint32_t reason, Initiator initiator);
  static StreamError go_away(std::string debug_data, uint32_t reason, Initiator initiator);
  static StreamError io_error(IoKind io);

  bool operator==(const StreamError&) const = default;
};

// What ensure_recv_open() found.
enum class RecvCheck : uint8_t {
  kOpen,            // the receive half may still get frames
  kEnded,           // it ended cleanly (or was never ours to receive on)
  kFailed,          // the stream ended with error(): the caller raises it
  kScheduledReset,  // a library reset is pending: the caller raises scheduled_reset()
};

// What recv_open() did.
enum class RecvOpen : uint8_t {
  kOpened,       // this head opened the stream
  kAlreadyOpen,  // the stream was open already (a response head, an informational head)
  kRefused,      // a head is not allowed here: a connection-level PROTOCOL_ERROR
};

// "Idle", "Open", "HalfClosedLocal" and so on: the phase alone.
std::string_view phase_name(Phase phase);

class StreamState {
 public:
  StreamState() = default;
  // What send_open() makes of an idle stream: a stream we open with our head.
  static StreamState opened_by_send(bool eos);
  // What recv_open() makes of an idle stream with a final head: a stream the peer opens.
  static StreamState opened_by_recv(bool eos);

  Phase phase() const { return phase_; }
  // The local peer state: meaningful in kOpen and kHalfClosedRemote.
  Peer local() const { return local_; }
  // The remote peer state: meaningful in kOpen and kHalfClosedLocal.
  Peer remote() const { return remote_; }
  // Meaningful in kClosed.
  Cause cause() const { return cause_; }
  // Meaningful in kClosed with kError or kErrorAfterEndStream.
  const StreamError& error() const { return error_; }

  // We send HEADERS (eos: with END_STREAM). False when a head may not be sent now: the
  // caller's misuse (unexpected frame type); the state is unchanged.
  [[nodiscard]] bool send_open(bool eos);
  // The peer's HEADERS arrived (informational: a 1xx response head).
  [[nodiscard]] RecvOpen recv_open(bool eos, bool informational);
  // Reservations by PUSH_PROMISE. False unless the stream is idle: for the remote one a
  // connection-level PROTOCOL_ERROR, for the local one the caller's misuse.
  [[nodiscard]] bool reserve_remote();
  [[nodiscard]] bool reserve_local();
  // The peer's END_STREAM arrived on DATA or trailers. False when its receive half was not
  // open: a connection-level PROTOCOL_ERROR; the state is unchanged.
  [[nodiscard]] bool recv_close();
  // The peer's RST_STREAM arrived. `queued`: the stream still has frames waiting to be sent,
  // which the peer's reset must drop, so even a closed stream takes the reset as its cause.
  void recv_reset(uint32_t stream_id, uint32_t reason, bool queued);
  // The transport ended: fail(Io(broken pipe)).
  void recv_eof();
  // Ends any stream that is not closed yet with `error` (a transport failure, a GOAWAY that
  // aborts it); a closed stream keeps its cause.
  void fail(StreamError error);
  // We send END_STREAM after a streamed body. False, with nothing changed, when the local half
  // is not streaming (a reset closed the stream meanwhile).
  [[nodiscard]] bool send_close();
  // We reset the stream: whatever the state, it is closed with this reset.
  void set_reset(uint32_t stream_id, uint32_t reason, Initiator initiator);
  // Schedules a library reset with `reason`; false, with nothing changed, when the stream is
  // closed already.
  [[nodiscard]] bool set_scheduled_reset(uint32_t reason);
  std::optional<uint32_t> scheduled_reset() const;

  RecvCheck ensure_recv_open() const;

  bool is_idle() const { return phase_ == Phase::kIdle; }
  bool is_closed() const { return phase_ == Phase::kClosed; }
  bool is_reset() const;
  bool is_scheduled_reset() const;
  bool is_local_error() const;
  bool is_remote_reset() const;
  bool is_send_streaming() const;
  bool is_send_closed() const;
  bool is_recv_headers() const;
  bool is_recv_streaming() const;
  bool is_recv_end_stream() const;

  // The state as text: "Idle", "Open { local: Streaming, remote: AwaitingHeaders }",
  // "HalfClosedLocal(Streaming)", "Closed(Error(Reset(1, 8, remote)))" and so on.
  std::string describe() const;

 private:
  void open_idle_by_send(bool eos);
  void open_idle_by_recv(bool eos, Peer head_done);
  void close(Cause cause) {
    phase_ = Phase::kClosed;
    cause_ = cause;
  }
  void close_with(Cause cause, StreamError error) {
    close(cause);
    error_ = std::move(error);
  }
  bool closed_by_error() const {
    return phase_ == Phase::kClosed &&
           (cause_ == Cause::kError || cause_ == Cause::kErrorAfterEndStream);
  }

  Phase phase_ = Phase::kIdle;
  Peer local_ = Peer::kAwaitingHeaders;
  Peer remote_ = Peer::kAwaitingHeaders;
  Cause cause_ = Cause::kEndStream;
  uint32_t scheduled_reason_ = kNoError;  // kScheduledLibraryReset
  StreamError error_;
};

}  // namespace quillet::h2
