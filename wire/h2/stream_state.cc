#include "wire/h2/stream_state.h"

#include "wire/common/text.h"

#include <array>
#include <iterator>
#include <utility>

namespace quillet::h2 {
namespace {

// In the order of `Initiator`.
constexpr std::string_view kInitiatorNames[] = {"user", "library", "remote"};
static_assert(std::size(kInitiatorNames) == kInitiatorCount, "one name per initiator");

// In the order of `IoKind`.
constexpr std::string_view kIoKindNames[] = {"BrokenPipe"};
static_assert(std::size(kIoKindNames) == kIoKindCount, "one name per kind");

// In the order of `Phase`.
constexpr std::string_view kPhaseNames[] = {"Idle",  "ReservedLocal",   "ReservedRemote",
                                            "Open",  "HalfClosedLocal", "HalfClosedRemote",
                                            "Closed"};
static_assert(std::size(kPhaseNames) == kPhaseCount, "one name per phase");

}  // namespace

std::string_view phase_name(Phase phase) {
  return kPhaseNames[size_t(phase)];
}

namespace {

std::string_view peer_name(Peer peer) {
  switch (peer) {
    case Peer::kAwaitingHeaders:
      return "AwaitingHeaders";
    case Peer::kStreaming:
      return "Streaming";
  }
  return "";
}

// The fields a reset and a GOAWAY share, and the closing brace.
void append_reason_and_initiator(std::string& out, const StreamError& error) {
  out += ", reason: ";
  append_decimal(out, error.reason);
  out += ", initiator: ";
  out += initiator_name(error.initiator);
  out += " }";
}

void append_error(std::string& out, const StreamError& error) {
  switch (error.kind) {
    case ErrorKind::kReset:
      out += "Reset { stream_id: ";
      append_decimal(out, error.stream_id);
      append_reason_and_initiator(out, error);
      return;
    case ErrorKind::kGoAway:
      out += "GoAway { debug_data: ";
      append_quoted(out, error.debug_data);
      append_reason_and_initiator(out, error);
      return;
    case ErrorKind::kIo:
      out += "Io(";
      out += kIoKindNames[size_t(error.io)];
      out += ')';
      return;
  }
}

}  // namespace

std::string_view initiator_name(Initiator initiator) {
  return kInitiatorNames[size_t(initiator)];
}

std::optional<Initiator> parse_initiator(std::string_view name) {
  for (size_t i = 0; i < kInitiatorCount; ++i) {
    if (kInitiatorNames[i] == name) return Initiator(i);
  }
  return std::nullopt;
}

StreamError StreamError::reset(uint32_t stream_id, uint32_t reason, Initiator initiator) {
  StreamError e;
  e.kind = ErrorKind::kReset;
  e.stream_id = stream_id;
  e.reason = reason;
  e.initiator = initiator;
  return e;
}

StreamError StreamError::go_away(std::string debug_data, uint32_t reason, Initiator initiator) {
  StreamError e;
  e.kind = ErrorKind::kGoAway;
  e.reason = reason;
  e.initiator = initiator;
  e.debug_data = std::move(debug_data);
  return e;
}

StreamError StreamError::io_error(IoKind io) {
  StreamError e;
  e.kind = ErrorKind::kIo;
  e.io = io;
  return e;
}

StreamState StreamState::opened_by_send(bool eos) {
  StreamState s;
  s.open_idle_by_send(eos);
  return s;
}

void StreamState::open_idle_by_send(bool eos) {
  remote_ = Peer::kAwaitingHeaders;
  if (eos) {
    phase_ = Phase::kHalfClosedLocal;
  } else {
    phase_ = Phase::kOpen;
    local_ = Peer::kStreaming;
  }
}

StreamState StreamState::opened_by_recv(bool eos) {
  StreamState s;
  s.open_idle_by_recv(eos, Peer::kStreaming);
  return s;
}

void StreamState::open_idle_by_recv(bool eos, Peer head_done) {
  local_ = Peer::kAwaitingHeaders;
  if (eos) {
    phase_ = Phase::kHalfClosedRemote;
  } else {
    phase_ = Phase::kOpen;
    remote_ = head_done;
  }
}

bool StreamState::send_open(bool eos) {
  switch (phase_) {
    case Phase::kIdle:
      open_idle_by_send(eos);
      return true;
    case Phase::kOpen:
      if (local_ != Peer::kAwaitingHeaders) return false;
      if (eos) {
        phase_ = Phase::kHalfClosedLocal;
      } else {
        local_ = Peer::kStreaming;
      }
      return true;
    case Phase::kHalfClosedRemote:
      if (local_ != Peer::kAwaitingHeaders) return false;
      [[fallthrough]];
    case Phase::kReservedLocal:
      if (eos) {
        close(Cause::kEndStream);
      } else {
        phase_ = Phase::kHalfClosedRemote;
        local_ = Peer::kStreaming;
      }
      return true;
    case Phase::kReservedRemote:
    case Phase::kHalfClosedLocal:
    case Phase::kClosed:
      return false;
  }
  return false;
}

RecvOpen StreamState::recv_open(bool eos, bool informational) {
  const Peer head_done = informational ? Peer::kAwaitingHeaders : Peer::kStreaming;
  switch (phase_) {
    case Phase::kIdle:
      open_idle_by_recv(eos, head_done);
      return RecvOpen::kOpened;
    case Phase::kReservedRemote:
      if (eos) {
        close(Cause::kEndStream);
      } else if (!informational) {
        phase_ = Phase::kHalfClosedLocal;
        remote_ = Peer::kStreaming;
      }
      return RecvOpen::kOpened;
    case Phase::kOpen:
      if (remote_ != Peer::kAwaitingHeaders) return RecvOpen::kRefused;
      if (eos) {
        phase_ = Phase::kHalfClosedRemote;
      } else {
        remote_ = head_done;
      }
      return RecvOpen::kAlreadyOpen;
    case Phase::kHalfClosedLocal:
      if (remote_ != Peer::kAwaitingHeaders) return RecvOpen::kRefused;
      if (eos) {
        close(Cause::kEndStream);
      } else {
        remote_ = head_done;
      }
      return RecvOpen::kAlreadyOpen;
    case Phase::kReservedLocal:
    case Phase::kHalfClosedRemote:
    case Phase::kClosed:
      return RecvOpen::kRefused;
  }
  return RecvOpen::kRefused;
}

bool StreamState::reserve_remote() {
  if (phase_ != Phase::kIdle) return false;
  phase_ = Phase::kReservedRemote;
  return true;
}

bool StreamState::reserve_local() {
  if (phase_ != Phase::kIdle) return false;
  phase_ = Phase::kReservedLocal;
  return true;
}

bool StreamState::recv_close() {
  switch (phase_) {
    case Phase::kOpen:
      phase_ = Phase::kHalfClosedRemote;
      return true;
    case Phase::kHalfClosedLocal:
      close(Cause::kEndStream);
      return true;
    case Phase::kIdle:
    case Phase::kReservedLocal:
    case Phase::kReservedRemote:
    case Phase::kHalfClosedRemote:
    case Phase::kClosed:
      return false;
  }
  return false;
}

void StreamState::recv_reset(uint32_t stream_id, uint32_t reason, bool queued) {
  if (phase_ == Phase::kClosed && !queued) return;
  // The peer's body was complete if it had sent END_STREAM, which a clean close and an error
  // after END_STREAM both imply.
  const bool body_complete = phase_ == Phase::kHalfClosedRemote ||
                             (phase_ == Phase::kClosed && (cause_ == Cause::kEndStream ||
                                                           cause_ == Cause::kErrorAfterEndStream));
  close_with(body_complete ? Cause::kErrorAfterEndStream : Cause::kError,
             StreamError::reset(stream_id, reason, Initiator::kRemote));
}

void StreamState::recv_eof() {
  fail(StreamError::io_error(IoKind::kBrokenPipe));
}

void StreamState::fail(StreamError error) {
  if (phase_ == Phase::kClosed) return;
  close_with(Cause::kError, std::move(error));
}

bool StreamState::send_close() {
  if (!is_send_streaming()) return false;
  if (phase_ == Phase::kOpen) {
    phase_ = Phase::kHalfClosedLocal;
  } else {
    close(Cause::kEndStream);
  }
  return true;
}

void StreamState::set_reset(uint32_t stream_id, uint32_t reason, Initiator initiator) {
  close_with(Cause::kError, StreamError::reset(stream_id, reason, initiator));
}

bool StreamState::set_scheduled_reset(uint32_t reason) {
  if (phase_ == Phase::kClosed) return false;
  close(Cause::kScheduledLibraryReset);
  scheduled_reason_ = reason;
  return true;
}

std::optional<uint32_t> StreamState::scheduled_reset() const {
  if (!is_scheduled_reset()) return std::nullopt;
  return scheduled_reason_;
}

RecvCheck StreamState::ensure_recv_open() const {
  switch (phase_) {
    case Phase::kIdle:
    case Phase::kReservedRemote:
    case Phase::kOpen:
    case Phase::kHalfClosedLocal:
      return RecvCheck::kOpen;
    case Phase::kReservedLocal:
    case Phase::kHalfClosedRemote:
      return RecvCheck::kEnded;
    case Phase::kClosed:
      break;
  }
  switch (cause_) {
    case Cause::kEndStream:
    case Cause::kErrorAfterEndStream:
      return RecvCheck::kEnded;
    case Cause::kError:
      return RecvCheck::kFailed;
    case Cause::kScheduledLibraryReset:
      return RecvCheck::kScheduledReset;
  }
  return RecvCheck::kEnded;
}

bool StreamState::is_reset() const {
  return phase_ == Phase::kClosed && cause_ != Cause::kEndStream;
}

bool StreamState::is_scheduled_reset() const {
  return phase_ == Phase::kClosed && cause_ == Cause::kScheduledLibraryReset;
}

bool StreamState::is_local_error() const {
  if (is_scheduled_reset()) return true;
  if (!closed_by_error()) return false;
  switch (error_.kind) {
    case ErrorKind::kIo:
      return true;
    case ErrorKind::kReset:
    case ErrorKind::kGoAway:
      return error_.initiator != Initiator::kRemote;
  }
  return false;
}

bool StreamState::is_remote_reset() const {
  return closed_by_error() && error_.kind == ErrorKind::kReset &&
         error_.initiator == Initiator::kRemote;
}

bool StreamState::is_send_streaming() const {
  return (phase_ == Phase::kOpen || phase_ == Phase::kHalfClosedRemote) &&
         local_ == Peer::kStreaming;
}

bool StreamState::is_send_closed() const {
  return phase_ == Phase::kHalfClosedLocal || phase_ == Phase::kReservedRemote ||
         phase_ == Phase::kClosed;
}

bool StreamState::is_recv_headers() const {
  switch (phase_) {
    case Phase::kIdle:
    case Phase::kReservedRemote:
      return true;
    case Phase::kOpen:
    case Phase::kHalfClosedLocal:
      return remote_ == Peer::kAwaitingHeaders;
    case Phase::kReservedLocal:
    case Phase::kHalfClosedRemote:
    case Phase::kClosed:
      return false;
  }
  return false;
}

bool StreamState::is_recv_streaming() const {
  return (phase_ == Phase::kOpen || phase_ == Phase::kHalfClosedLocal) &&
         remote_ == Peer::kStreaming;
}

bool StreamState::is_recv_end_stream() const {
  return phase_ == Phase::kHalfClosedRemote ||
         (phase_ == Phase::kClosed &&
          (cause_ == Cause::kEndStream || cause_ == Cause::kErrorAfterEndStream));
}

std::string StreamState::describe() const {
  std::string out(kPhaseNames[size_t(phase_)]);
  switch (phase_) {
    case Phase::kIdle:
    case Phase::kReservedLocal:
    case Phase::kReservedRemote:
      break;
    case Phase::kOpen:
      out += " { local: ";
      out += peer_name(local_);
      out += ", remote: ";
      out += peer_name(remote_);
      out += " }";
      break;
    case Phase::kHalfClosedLocal:
      out += '(';
      out += peer_name(remote_);
      out += ')';
      break;
    case Phase::kHalfClosedRemote:
      out += '(';
      out += peer_name(local_);
      out += ')';
      break;
    case Phase::kClosed:
      out += '(';
      switch (cause_) {
        case Cause::kEndStream:
          out += "EndStream";
          break;
        case Cause::kError:
          out += "Error(";
          append_error(out, error_);
          out += ')';
          break;
        case Cause::kErrorAfterEndStream:
          out += "ErrorAfterEndStream(";
          append_error(out, error_);
          out += ')';
          break;
        case Cause::kScheduledLibraryReset:
          out += "ScheduledLibraryReset(";
          append_decimal(out, scheduled_reason_);
          out += ')';
          break;
      }
      out += ')';
      break;
  }
  return out;
}

}  // namespace quillet::h2
