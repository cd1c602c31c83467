// What the peer's stream frames do to the connection: HEADERS, DATA, WINDOW_UPDATE and
// RST_STREAM, the resets this side sends, and the release of receive capacity and budget.
#include "wire/h2/connection.h"

#include <algorithm>
#include <utility>

namespace quillet::h2 {
namespace {

Failure stream_error(uint32_t sid, uint32_t reason) {
  return Failure{FailureKind::kStream, sid, reason};
}

bool contains(const std::vector<uint32_t>& ids, uint32_t sid) {
  return std::find(ids.begin(), ids.end(), sid) != ids.end();
}

}  // namespace

// --- HEADERS ---

std::optional<Failure> Connection::recv_headers(const HeadersFrame& frame, Handle spare,
                                                RecvHeadersVerdict* out, HandleBin& bin) {
  const uint32_t sid = frame.stream_id;
  *out = RecvHeadersVerdict();
  out->stream_id = sid;
  const size_t queued = pending_.size();
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr && server_ && !in_reset_store(sid))
    return open_peer_stream(frame, std::move(spare), out, bin);
  bin.add(std::move(spare));  // only a new stream takes it
  if (ignored(sid)) return std::nullopt;
  if (r == nullptr) {
    if (idle(sid)) return Failure{FailureKind::kIdleStream, sid};
    return stream_error(sid, kStreamClosed);
  }
  if (r->state.is_closed() && r->state.is_local_error()) return std::nullopt;  // we reset it

  if (r->state.is_recv_headers() && !r->state.is_closed()) {
    // The response head; informational heads come first and are consumed here.
    if (!frame.shape.response) return stream_error(sid, kProtocolError);
    if (frame.status && *frame.status >= 100 && *frame.status <= 199) {
      if (frame.end_stream) return stream_error(sid, kProtocolError);
      return std::nullopt;
    }
    // A 2xx answer to CONNECT turns the stream into a tunnel whose DATA is no message body:
    // its length fields are ignored (RFC 9110 section 9.3.6).
    const bool tunnel = r->connect && frame.status && *frame.status >= 200 && *frame.status <= 299;
    if (frame.content_length_invalid && !tunnel) return stream_error(sid, kProtocolError);
    ContentLength length = r->content_length;
    // A 204 or 304 response has no body whatever length it declares (RFC 9110 sections 6.4.1
    // and 8.6), like the response to HEAD.
    const bool bodiless = frame.status && (*frame.status == 204 || *frame.status == 304);
    if (frame.content_length && !bodiless && !tunnel) length.set(*frame.content_length);
    if (frame.end_stream && !length.is_satisfied()) return stream_error(sid, kProtocolError);
    if (r->state.recv_open(frame.end_stream, false) == RecvOpen::kRefused)
      return stream_error(sid, kProtocolError);
    r->content_length = length;
    out->kind = HeadersKind::kHead;
  } else {
    // Trailers end the body: they carry END_STREAM, and a declared length is complete. Trailer
    // fields our budget dropped cannot be answered any more: the stream is refused.
    if (!frame.shape.trailers || frame.over_size || !frame.end_stream ||
        !r->content_length.is_satisfied() || r->state.is_closed() || !r->state.recv_close()) {
      return stream_error(sid, kProtocolError);
    }
    out->kind = HeadersKind::kTrailers;
  }
  out->handle = r->handle.share();
  out->eof = frame.end_stream;
  out->flags = settle_stream(sid, bin);
  if (pending_.size() != queued) out->flags |= flag::kWake;
  return std::nullopt;
}

std::optional<Failure> Connection::open_peer_stream(const HeadersFrame& frame, Handle spare,
                                                    RecvHeadersVerdict* out, HandleBin& bin) {
  const uint32_t sid = frame.stream_id;
  // A stream opened after our final GOAWAY is not processed.
  if (sid > max_stream_id_) {
    bin.add(std::move(spare));
    return std::nullopt;
  }
  if (sid % 2 == 0 || sid <= highest_peer_id_) {
    bin.add(std::move(spare));
    return Failure{FailureKind::kInvalidNewStreamId, sid};
  }
  if (!spare) return Failure{FailureKind::kNoSpareHandle};
  highest_peer_id_ = sid;
  if (max_concurrent_streams_ && num_streams_ >= *max_concurrent_streams_) {
    bin.add(std::move(spare));
    return stream_error(sid, kRefusedStream);
  }
  ContentLength length;
  if (frame.content_length) length.set(*frame.content_length);
  // A malformed request never reaches the application (RFC 9113 section 8.1.1); :protocol is
  // one only where this side announced extended CONNECT (RFC 8441 section 4).
  if (!frame.shape.request || (frame.shape.extended_connect && !enable_connect_protocol_) ||
      frame.content_length_invalid || (frame.end_stream && !length.is_satisfied())) {
    bin.add(std::move(spare));
    return stream_error(sid, kProtocolError);
  }
  StreamRecord& r = streams_.insert(sid, bin);
  r.handle = std::move(spare);
  r.state = StreamState::opened_by_recv(frame.end_stream);
  r.send_window = FlowControl(peer_initial_window_);
  r.recv_window = FlowControl(local_initial_window_);
  r.content_length = length;
  ++num_streams_;
  last_processed_id_ = sid;
  pending_accept_.push_back(sid);
  out->kind = HeadersKind::kOpened;
  out->handle = r.handle.share();
  out->eof = frame.end_stream;
  return std::nullopt;
}

// --- DATA ---

std::optional<Failure> Connection::pass_through(uint32_t flow_controlled_len, uint32_t* flags) {
  // The bytes count against the connection window even when their stream is gone, and come
  // back at once: the peer's view of the window stays right.
  if (flow_controlled_len > uint32_t(std::max(conn_recv_.raw_window_size(), 0)))
    return Failure{FailureKind::kFlowControl};
  if (conn_recv_.dec_recv_window(flow_controlled_len) != FlowResult::kOk)
    return Failure{FailureKind::kFlowControl};
  *flags |= release_connection(flow_controlled_len);
  return std::nullopt;
}

std::optional<Failure> Connection::recv_data(const DataFrame& frame, RecvDataVerdict* out,
                                             HandleBin& bin) {
  const uint32_t sid = frame.stream_id;
  const uint32_t flen = frame.flow_controlled_len;
  *out = RecvDataVerdict();
  StreamRecord* r = streams_.find(sid);

  if (r == nullptr || (r->state.is_closed() && r->state.is_local_error())) {
    if (auto failure = pass_through(flen, &out->flags)) return failure;
    if (r != nullptr || ignored(sid)) return std::nullopt;
    if (idle(sid)) return Failure{FailureKind::kIdleStream, sid};
    return stream_error(sid, kStreamClosed);
  }
  if (r->state.is_closed()) {
    // Its END_STREAM came already, or the peer reset it: what it holds goes back first.
    out->flags |= reclaim(*r);
    if (auto failure = pass_through(flen, &out->flags)) return failure;
    out->flags |= settle_stream(sid, bin);
    return stream_error(sid, kStreamClosed);
  }
  if (!r->state.is_recv_streaming()) return Failure{FailureKind::kUnexpectedData, sid};

  if (flen > uint32_t(std::max(conn_recv_.raw_window_size(), 0)) ||
      conn_recv_.dec_recv_window(flen) != FlowResult::kOk) {
    return Failure{FailureKind::kFlowControl};
  }
  // From here a stream error first gives the frame's bytes back to the connection window.
  auto refuse = [&](uint32_t returned, uint32_t reason) {
    out->flags |= release_connection(returned);
    return stream_error(sid, reason);
  };
  if (flen > uint32_t(std::max(r->recv_window.raw_window_size(), 0)) ||
      r->recv_window.dec_recv_window(flen) != FlowResult::kOk) {
    return refuse(flen, kFlowControlError);
  }
  // Padding never reaches the application: it goes back to both windows at once.
  const uint32_t padding = flen - frame.data_len;
  if (padding > 0) {
    if (r->recv_window.assign_capacity(padding) == FlowResult::kOk)
      out->flags |= announce_stream_window(*r);
    out->flags |= release_connection(padding);
  }
  if (!r->content_length.dec(frame.data_len) ||
      (frame.end_stream && !r->content_length.is_satisfied())) {
    return refuse(frame.data_len, kProtocolError);
  }
  // Small frames that keep the stream going cost budget until they are consumed; the one that
  // ends a body is part of any ordinary request and is not charged.
  if (!frame.end_stream) {
    const std::optional<uint32_t> charge = budget_.record(frame.data_len);
    if (!charge) return Failure{FailureKind::kDataFrameFlood};
    r->budget_charged += *charge;
    out->budgeted = *charge > 0;
  }
  r->recv_unreleased += frame.data_len;
  out->handle = r->handle.share();
  out->deliver = true;
  out->eof = frame.end_stream;
  if (frame.end_stream && r->state.recv_close()) out->flags |= settle_stream(sid, bin);
  return std::nullopt;
}

uint32_t Connection::announce_stream_window(StreamRecord& r) {
  if (!r.state.is_recv_streaming()) return 0;
  const std::optional<uint32_t> increment = r.recv_window.take_update();
  if (!increment) return 0;
  queue_window_update(r.id, *increment);
  return flag::kWake;
}

bool Connection::ignored(uint32_t sid) const {
  // Frames the peer sent before it saw our reset, or on streams opened after our final GOAWAY.
  return in_reset_store(sid) || (server_ && sid > max_stream_id_);
}

// --- WINDOW_UPDATE and RST_STREAM ---

std::optional<Failure> Connection::recv_window_update(uint32_t sid, uint32_t increment,
                                                      std::vector<Handle>* wake) {
  wake->clear();
  if (sid == 0) {
    if (!conn_send_.can_shift(increment)) return Failure{FailureKind::kFlowControl};
    conn_send_.shift(increment);
    admit_waiter();
    if (StreamRecord* front = rotation_front()) wake->push_back(front->handle.share());
    return std::nullopt;
  }
  if (StreamRecord* r = streams_.find(sid)) {
    if (!r->send_window.can_shift(increment)) return stream_error(sid, kFlowControlError);
    r->send_window.shift(increment);
    wake->push_back(r->handle.share());
    return std::nullopt;
  }
  if (ignored(sid) || !idle(sid)) return std::nullopt;
  return Failure{FailureKind::kIdleStream, sid};
}

std::optional<Failure> Connection::recv_reset(uint32_t sid, uint32_t reason, PeerResetVerdict* out,
                                              HandleBin& bin) {
  *out = PeerResetVerdict();
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr) {
    if (ignored(sid) || !idle(sid)) return std::nullopt;
    return Failure{FailureKind::kIdleStream, sid};
  }
  if (server_ && contains(pending_accept_, sid) && !contains(reset_while_pending_, sid)) {
    // A peer that opens streams and resets them before the application sees them makes us do
    // the work of a request for nothing: the rapid-reset attack. Their number is capped.
    if (reset_while_pending_.size() >= max_pending_accept_resets_)
      return Failure{FailureKind::kTooManyPendingResets};
    reset_while_pending_.push_back(sid);
  }
  if (r->close_counted) return std::nullopt;
  const size_t queued = pending_.size();
  out->notify_body = !r->state.is_recv_end_stream();
  r->state.recv_reset(sid, reason, r->send_buffered > 0);
  out->handle = r->handle.share();
  out->stop = Stop{reason, false};
  out->flags = reclaim(*r);
  out->flags |= settle_stream(sid, bin);
  if (pending_.size() != queued) out->flags |= flag::kWake;
  return std::nullopt;
}

// --- resets from this side ---

ResetVerdict Connection::reset_stream(uint32_t sid, uint32_t reason, Initiator initiator,
                                      HandleBin& bin) {
  ResetVerdict v;
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr) return v;
  if (r->state.is_closed()) {
    // Over already, but its record still holds received bytes: they are abandoned now.
    r->state.set_reset(sid, reason, initiator);
    remember_reset(sid);
    v.flags = reclaim(*r);
    v.flags |= settle_stream(sid, bin);
    return v;
  }
  v.handle = r->handle.share();
  v.stop = Stop{reason, false};
  v.flags = reset_live(*r, reason, initiator, bin);
  return v;
}

std::optional<Failure> Connection::reset_on_error(uint32_t sid, uint32_t reason, ResetVerdict* out,
                                                  HandleBin& bin) {
  *out = ResetVerdict();
  if (local_error_resets_ != UINT32_MAX) ++local_error_resets_;
  if (max_local_error_resets_ && local_error_resets_ > *max_local_error_resets_)
    return Failure{FailureKind::kTooManyErrorResets};
  StreamRecord* r = streams_.find(sid);
  if (r != nullptr && !r->state.is_closed()) {
    *out = reset_stream(sid, reason, Initiator::kLibrary, bin);
    return std::nullopt;
  }
  if (r != nullptr) {
    *out = reset_stream(sid, reason, Initiator::kLibrary, bin);
  } else {
    remember_reset(sid);
  }
  // A stream error is answered on the wire even when the stream is gone.
  queue_rst_stream(sid, reason);
  out->flags |= flag::kWake;
  return std::nullopt;
}

ResetVerdict Connection::aclose_body(uint32_t sid, HandleBin& bin) {
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr) return ResetVerdict();
  if (!r->state.is_recv_end_stream()) return reset_stream(sid, kCancel, Initiator::kUser, bin);
  // The whole body arrived: nothing to cancel, but what nobody will read goes back now.
  ResetVerdict v;
  v.flags = reclaim(*r);
  v.flags |= settle_stream(sid, bin);
  return v;
}

// --- capacity ---

uint32_t Connection::release_capacity(uint32_t sid, uint32_t n, HandleBin& bin) {
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr || r->recv_reclaimed) return 0;
  r->recv_unreleased = n >= r->recv_unreleased ? 0 : r->recv_unreleased - n;
  uint32_t flags = 0;
  if (r->recv_window.assign_capacity(n) == FlowResult::kOk) flags |= announce_stream_window(*r);
  flags |= release_connection(n);
  settle_stream(sid, bin);  // a closed stream whose bytes are all released is forgotten
  return flags & flag::kWake;
}

void Connection::release_data_frame(uint32_t sid, uint32_t payload_len, HandleBin& bin) {
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr || payload_len == 0 || payload_len >= kDataFrameOverheadThreshold) return;
  const uint32_t charge = std::min(r->budget_charged, kDataFrameOverheadThreshold - payload_len);
  r->budget_charged -= charge;
  budget_.release(charge);
  settle_stream(sid, bin);
}

void Connection::accepted(uint32_t sid) {
  std::erase(pending_accept_, sid);
  std::erase(reset_while_pending_, sid);
}

}  // namespace quillet::h2
