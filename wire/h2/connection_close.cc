// How the connection ends: the graceful shutdown and the objects it holds for the driver.
#include "wire/h2/connection.h"

#include <utility>

namespace quillet::h2 {

void Connection::queue_goaway(uint32_t last_stream_id, uint32_t error_code) {
  // A GOAWAY promises the peer that nothing above its last id was or will be processed, so the
  // peer may retry those requests elsewhere: a later GOAWAY may never name a higher id, and a
  // server ignores the streams opened above it from then on (RFC 9113 section 6.8).
  if (goaway_sent_last_ && *goaway_sent_last_ < last_stream_id) last_stream_id = *goaway_sent_last_;
  goaway_sent_last_ = last_stream_id;
  if (server_ && last_stream_id < max_stream_id_) max_stream_id_ = last_stream_id;
  // Never refused: the last stream id is one of ours or the peer's, so below 2^31.
  if (write_goaway(last_stream_id, error_code, {}, &pending_)) return;
}

void Connection::queue_ping(std::string_view payload, bool ack) {
  // Never refused: every payload here is 8 bytes (ours, or one the decoder checked).
  if (write_ping(payload, ack, &pending_)) return;
}

uint32_t Connection::begin_graceful_shutdown() {
  if (graceful_) return 0;
  graceful_ = true;
  // The first GOAWAY promises nothing about the last stream: the client may have requests in
  // flight we have not seen. Its answer to the PING that follows marks the point after which it
  // has seen the GOAWAY, and so the stream the final GOAWAY can name.
  queue_goaway(kMaxStreamId, kNoError);
  queue_ping(kShutdownPing, false);
  return flag::kWake;
}

void Connection::store_task_handles(Handle read, Handle pump, HandleBin& bin) {
  bin.add(std::exchange(read_task_, std::move(read)));
  bin.add(std::exchange(pump_task_, std::move(pump)));
}

void Connection::clear_handles(HandleBin& bin) {
  bin.add(std::move(read_task_));
  bin.add(std::move(pump_task_));
  bin.add(std::move(failure_.exception));
  for (StreamRecord& r : streams_)
    bin.add(std::move(r.handle));
}

}  // namespace quillet::h2

namespace quillet::h2 {

void Connection::queue_rst_stream(uint32_t stream_id, uint32_t reason) {
  // Never refused: a stream in the table has a valid id.
  if (write_rst_stream(stream_id, reason, &pending_)) return;
}

Stop Connection::stop_of(const StreamState& state) {
  if (const std::optional<uint32_t> scheduled = state.scheduled_reset())
    return Stop{*scheduled, false};
  if (!state.is_reset()) return Stop{};
  const StreamError& e = state.error();
  switch (e.kind) {
    case ErrorKind::kReset:
      return Stop{e.reason, false};
    case ErrorKind::kGoAway:
      return Stop{e.reason, true};
    case ErrorKind::kIo:
      break;
  }
  return Stop{std::nullopt, true};
}

// --- closing a stream ---

uint32_t Connection::settle_stream(uint32_t sid, HandleBin& bin) {
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr) return 0;
  uint32_t flags = 0;
  const bool closing = r->state.is_closed() && !r->close_counted;
  if (closing) {
    r->close_counted = true;
    if (num_streams_ > 0) --num_streams_;
    if (r->local_slot) {
      release_slot_count();
      flags |= flag::kSlotFreed;
    }
    flags |= leave_turn(*r);
    if (server_ && shutdown_final_ && num_streams_ == 0) flags |= flag::kStopAccepting;
  }
  // A closed stream whose received bytes the application still holds, or whose small frames
  // still owe the budget, keeps its record until those come back.
  if (r->close_counted && r->recv_unreleased == 0 && r->budget_charged == 0)
    streams_.erase(sid, bin);
  if (closing) flags |= maybe_goaway_reply();
  return flags;
}

uint32_t Connection::reclaim(StreamRecord& r) {
  if (r.recv_reclaimed) return 0;
  r.recv_reclaimed = true;
  budget_.release(std::exchange(r.budget_charged, 0));
  return release_connection(std::exchange(r.recv_unreleased, 0));
}

uint32_t Connection::release_connection(uint32_t n) {
  // The bytes were taken from this window when they arrived, so giving them back stays in range.
  if (n == 0 || conn_recv_.assign_capacity(n) != FlowResult::kOk) return 0;
  return announce_connection_window() ? flag::kWake : 0;
}

uint32_t Connection::reset_live(StreamRecord& r, uint32_t reason, Initiator initiator,
                                HandleBin& bin) {
  const uint32_t sid = r.id;
  queue_rst_stream(sid, reason);
  r.state.set_reset(sid, reason, initiator);
  uint32_t flags = flag::kWake | reclaim(r);
  // The peer may have sent frames before it sees the reset; they are ignored, not errors.
  remember_reset(sid);
  return flags | settle_stream(sid, bin);
}

void Connection::remember_reset(uint32_t sid) {
  const Clock::time_point now = now_();
  std::erase_if(reset_store_,
                [now](const RememberedReset& e) { return now - e.at > std::chrono::seconds(1); });
  if (in_reset_store(sid)) return;
  if (reset_store_.size() < kResetStoreSize) reset_store_.push_back({sid, now});
}

bool Connection::in_reset_store(uint32_t sid) const {
  for (const RememberedReset& e : reset_store_) {
    if (e.sid == sid) return true;
  }
  return false;
}

bool Connection::idle(uint32_t sid) const {
  if (sid == 0 || sid % 2 == 0) return true;
  return server_ ? sid > highest_peer_id_ : sid >= next_stream_id_;
}

// --- GOAWAY ---

std::optional<Failure> Connection::recv_go_away(uint32_t last_stream_id, uint32_t error_code,
                                                std::string_view debug_data, GoAwayResult* out,
                                                HandleBin& bin) {
  *out = GoAwayResult();
  if (peer_goaway_ && last_stream_id > peer_goaway_->last_stream_id)
    return Failure{FailureKind::kGoAwayRaisedLastId};
  peer_goaway_ = PeerGoAway{last_stream_id, error_code, std::string(debug_data)};
  out->flags = flag::kSlotFreed;
  if (server_) return std::nullopt;
  // The peer never processed our streams above its last id: they may be retried elsewhere.
  std::vector<uint32_t> aborted;
  for (StreamRecord& r : streams_) {
    if (r.id <= last_stream_id || r.state.is_closed()) continue;
    r.state.fail(StreamError::go_away(std::string(debug_data), error_code, Initiator::kRemote));
    out->aborted.push_back({r.handle.share(), Stop{error_code, true}});
    aborted.push_back(r.id);
  }
  for (uint32_t sid : aborted) {
    if (StreamRecord* r = streams_.find(sid)) out->flags |= reclaim(*r);
    out->flags |= settle_stream(sid, bin);
  }
  return std::nullopt;
}

uint32_t Connection::maybe_goaway_reply() {
  if (goaway_replied_ || failure_.stored || num_streams_ != 0 || !peer_goaway_ ||
      peer_goaway_->last_stream_id >= kMaxStreamId) {
    return 0;
  }
  goaway_replied_ = true;
  queue_goaway(server_ ? last_processed_id_ : 0, kNoError);
  failure_.stored = true;
  failure_.message = "connection closed: GOAWAY exchanged";
  return flag::kWake | flag::kConnDone;
}

uint32_t Connection::send_goaway(uint32_t reason) {
  queue_goaway(server_ ? last_processed_id_ : 0, reason);
  return flag::kWake;
}

std::vector<StoppedStream> Connection::fail(Handle exception, std::string_view message,
                                            HandleBin& bin) {
  if (!failure_.stored) {
    failure_.stored = true;
    if (exception) {
      failure_.exception = std::move(exception);
    } else {
      failure_.message = std::string(message);
    }
  }
  bin.add(std::move(exception));  // empty unless an error was stored before
  std::vector<StoppedStream> stopped;
  for (StreamRecord& r : streams_) {
    const bool already_failed = r.state.is_reset();
    r.state.fail(StreamError::io_error(IoKind::kBrokenPipe));
    if (already_failed) {
      bin.add(std::move(r.handle));
    } else {
      stopped.push_back({std::move(r.handle), Stop{std::nullopt, true}});
    }
  }
  StreamTable().swap(streams_);
  rotation_.clear();
  capacity_waiters_.clear();
  num_streams_ = 0;
  num_open_streams_ = 0;
  return stopped;
}

Connection::StoredError Connection::conn_error() const {
  StoredError e;
  if (!failure_.stored) return e;
  if (failure_.exception) {
    e.exception = failure_.exception.share();
  } else {
    e.message = failure_.message;
  }
  return e;
}

}  // namespace quillet::h2
