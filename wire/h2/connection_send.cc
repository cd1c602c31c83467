// What the connection puts on the wire: stream slots, opening a request stream, and the pending
// output with the credit of the DATA it carried.
#include "wire/h2/connection.h"

#include <utility>

namespace quillet::h2 {

bool Connection::try_claim_slot() {
  if (!can_open()) return false;
  ++num_open_streams_;
  return true;
}

bool Connection::can_open() const {
  return !stream_limit_ || num_open_streams_ < *stream_limit_;
}

void Connection::release_slot_count() {
  if (num_open_streams_ > 0) --num_open_streams_;
}

std::optional<Failure> Connection::open_stream(const OpenRequest& request, Handle handle,
                                               std::optional<uint32_t>* id, HandleBin& bin) {
  id->reset();
  if (failure_.stored || peer_goaway_) {
    release_slot_count();
    bin.add(std::move(handle));
    return std::nullopt;
  }
  std::optional<Failure> refused;
  if (next_stream_id_ > kMaxStreamId) {
    refused = Failure{FailureKind::kStreamIdsExhausted};
  } else if (request.head_refused) {
    refused = Failure{FailureKind::kRequestHead};
  } else if ((*request.pseudo)[hpack::PseudoHeader::kProtocol] && !peer_connect_protocol_) {
    refused = Failure{FailureKind::kConnectProtocolNotAnnounced};
  }
  if (refused) {
    release_slot_count();
    bin.add(std::move(handle));
    return refused;
  }

  const uint32_t sid = next_stream_id_;
  next_stream_id_ += 2;
  StreamRecord& r = streams_.insert(sid, bin);
  r.handle = std::move(handle);
  r.state = StreamState::opened_by_send(request.end_stream);
  r.send_window = FlowControl(peer_initial_window_);
  r.recv_window = FlowControl(local_initial_window_);
  r.content_length = ContentLength(request.is_head);
  r.local_slot = true;
  const auto& method = (*request.pseudo)[hpack::PseudoHeader::kMethod];
  r.connect = method && *method == "CONNECT";
  ++num_streams_;
  // Allocating, inserting and queuing in one step keeps the ids on the wire increasing.
  queue_headers(sid, *request.pseudo, *request.fields, request.end_stream);
  *id = sid;
  return std::nullopt;
}

void Connection::queue_headers(uint32_t stream_id, const hpack::PseudoHeaders& pseudo,
                               const HeaderMap& fields, bool end_stream) {
  block_.clear();
  encoder_.encode(pseudo, fields, &block_);
  // Never refused: the id is a valid stream id and the frame size the peer's, which is valid.
  if (write_headers(stream_id, block_, end_stream, peer_max_frame_size_, &pending_)) return;
}

void Connection::queue_window_update(uint32_t stream_id, uint32_t increment) {
  // Never refused: increments come from windows, so they are positive and below 2^31.
  if (write_window_update(stream_id, increment, &pending_)) return;
}

std::string Connection::take_pending(bool* stopping) {
  std::string batch = std::move(pending_);
  pending_ = std::move(spare_);
  spare_ = std::string();
  pending_.clear();
  if (pending_.capacity() == 0) pending_.reserve(4096);
  queued_replies_ = 0;
  written_credit_.insert(written_credit_.end(), credit_batch_.begin(), credit_batch_.end());
  credit_batch_.clear();
  *stopping = stopping_;
  return batch;
}

void Connection::restore_pending(std::string&& batch) {
  batch += pending_;
  pending_ = std::move(batch);
}

void Connection::give_back_spare(std::string&& buffer) {
  // Keep the larger of two returned buffers: a burst's buffer saves the regrowth next time.
  if (buffer.capacity() <= spare_.capacity()) return;
  buffer.clear();
  spare_ = std::move(buffer);
}

std::vector<Handle> Connection::credit_written() {
  std::vector<Handle> woken;
  std::vector<uint32_t> seen;
  for (const auto& [sid, bytes] : written_credit_) {
    StreamRecord* r = streams_.find(sid);
    if (r == nullptr) continue;
    r->send_buffered = bytes >= r->send_buffered ? 0 : r->send_buffered - bytes;
    r->turn_frames = 0;
    bool listed = false;
    for (uint32_t s : seen)
      listed = listed || s == sid;
    if (listed) continue;
    seen.push_back(sid);
    woken.push_back(r->handle.share());
  }
  written_credit_.clear();
  return woken;
}

}  // namespace quillet::h2

namespace quillet::h2 {

// --- the send rotation ---
//
// Streams that want the connection send window take turns: the rotation's front sends up to
// four DATA frames, then yields to the next. A stream that found the connection window empty
// waits in the capacity list, and re-enters the rotation when the window opens again.

bool Connection::can_send_data(const StreamRecord& r) const {
  return r.state.is_send_streaming();
}

StreamRecord* Connection::rotation_front() {
  while (!rotation_.empty()) {
    StreamRecord* r = streams_.find(rotation_.front());
    if (r != nullptr && r->in_rotation && can_send_data(*r)) return r;
    if (r != nullptr) r->in_rotation = false;
    rotation_.erase(rotation_.begin());
  }
  return nullptr;
}

void Connection::enter_rotation(StreamRecord& r) {
  if (r.in_rotation) return;
  r.in_rotation = true;
  r.turn_frames = 0;
  rotation_.push_back(r.id);
}

uint32_t Connection::capacity_flag() {
  if (rotation_front() != nullptr) return flag::kCapacity;
  if (!capacity_waiters_.empty() && conn_send_.raw_window_size() > 0) return flag::kCapacity;
  return 0;
}

uint32_t Connection::leave_turn(StreamRecord& r) {
  if (r.in_rotation) {
    r.in_rotation = false;
    std::erase(rotation_, r.id);
  }
  if (r.waiting_capacity) {
    r.waiting_capacity = false;
    std::erase(capacity_waiters_, r.id);
  }
  return capacity_flag();
}

void Connection::admit_waiter() {
  if (conn_send_.raw_window_size() <= 0 || rotation_front() != nullptr) return;
  while (!capacity_waiters_.empty()) {
    const uint32_t sid = capacity_waiters_.front();
    capacity_waiters_.erase(capacity_waiters_.begin());
    StreamRecord* r = streams_.find(sid);
    if (r == nullptr || !r->waiting_capacity) continue;
    r->waiting_capacity = false;
    if (!can_send_data(*r)) continue;
    enter_rotation(*r);
    return;
  }
}

Handle Connection::next_capacity_wake() {
  admit_waiter();
  StreamRecord* r = rotation_front();
  return r != nullptr ? r->handle.share() : Handle();
}

// --- DATA ---

SendVerdict Connection::send_data(uint32_t sid, std::string_view data, bool end_stream,
                                  HandleBin& bin) {
  SendVerdict v;
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr) {
    v.stopped = Stop{};
    return v;
  }
  if (!can_send_data(*r)) {
    v.stopped = stop_of(r->state);
    return v;
  }

  if (data.empty()) {
    // An empty DATA frame without END_STREAM would carry nothing; peers count such frames as
    // abuse, so only END_STREAM earns one.
    v.done = true;
    if (!end_stream) return v;
    if (write_data(sid, {}, true, peer_max_frame_size_, &pending_)) return v;
    v.flags = flag::kWake | finish_send(*r, &v, bin);
    return v;
  }

  if (r->waiting_capacity) {
    r->waiting_capacity = false;
    std::erase(capacity_waiters_, sid);
  }
  StreamRecord* front = rotation_front();
  if (front != nullptr && front != r) {
    enter_rotation(*r);
    return v;  // not its turn
  }
  if (front == nullptr) enter_rotation(*r);

  if (r->turn_frames >= kTurnQuantum && num_streams_ > 1) {
    if (rotation_.size() > 1) {
      // Its turn is over: to the back of the line.
      std::erase(rotation_, sid);
      rotation_.push_back(sid);
      r->turn_frames = 0;
      v.flags = rotation_front() != r ? flag::kCapacity : 0;
    }
    // Alone in the rotation with other streams live: it resumes when its frames are written.
    return v;
  }

  const int64_t room = int64_t(max_send_buf_size_) - int64_t(r->send_buffered);
  const uint32_t buffer_room = room > 0 ? uint32_t(room) : 0;
  const uint32_t stream_window = r->send_window.window_size();
  const uint32_t conn_window = conn_send_.window_size();
  uint64_t n = data.size();
  n = std::min<uint64_t>(n, conn_window);
  n = std::min<uint64_t>(n, stream_window);
  n = std::min<uint64_t>(n, buffer_room);
  n = std::min<uint64_t>(n, peer_max_frame_size_);

  // A stream that could send but for the connection window waits for it in line.
  auto wait_for_connection = [&]() {
    if (conn_send_.raw_window_size() <= 0 && r->send_window.raw_window_size() > 0 &&
        int64_t(max_send_buf_size_) > int64_t(r->send_buffered) && !r->waiting_capacity) {
      const uint32_t flags = leave_turn(*r);
      r->waiting_capacity = true;
      capacity_waiters_.push_back(sid);
      return flags;
    }
    return leave_turn(*r);
  };

  if (n == 0) {
    v.flags = wait_for_connection();
    return v;
  }

  const uint32_t sent = uint32_t(n);
  const bool last = sent == data.size();
  if (write_data(sid, data.substr(0, sent), last && end_stream, peer_max_frame_size_, &pending_))
    return v;  // cannot happen: the frame is within the peer's frame size
  // Both windows hold at least `sent`, so neither refuses.
  if (conn_send_.send_data(sent) != FlowResult::kOk ||
      r->send_window.send_data(sent) != FlowResult::kOk) {
    return v;
  }
  r->send_buffered += sent;
  ++r->turn_frames;
  if (!credit_batch_.empty() && credit_batch_.back().first == sid) {
    credit_batch_.back().second += sent;
  } else {
    credit_batch_.emplace_back(sid, sent);
  }
  v.sent = sent;
  v.done = last;
  v.flags = flag::kWake;

  if (last) {
    v.flags |= leave_turn(*r);
  } else if (conn_send_.raw_window_size() <= 0) {
    v.flags |= wait_for_connection();
  } else if (r->send_window.raw_window_size() <= 0 || r->send_buffered >= max_send_buf_size_) {
    v.flags |= leave_turn(*r);
  }
  if (last && end_stream) v.flags |= finish_send(*r, &v, bin);
  return v;
}

SendVerdict Connection::send_data_frames(uint32_t sid, std::string_view data, bool end_stream,
                                         uint32_t max_frames, HandleBin& bin) {
  // At most the connection window (below 2^31) is queued in one call, so the total fits.
  uint32_t sent = 0;
  for (uint32_t k = 1;; ++k) {
    SendVerdict v = send_data(sid, data.substr(sent), end_stream, bin);
    sent += v.sent;
    const bool plain_frame = v.sent != 0 && !v.done && v.flags == flag::kWake && !v.stopped &&
                             !v.handle && !v.reader_stop;
    if (k >= max_frames || !plain_frame || !could_send_more(sid)) {
      v.sent = sent;
      if (sent != 0) v.flags |= flag::kWake;
      return v;
    }
  }
}

// Whether a further send_data on `sid` would queue a frame: its turn goes on and neither window
// nor its share of the send buffer is spent. The steps that would queue nothing are left to the
// caller's next call, as with one frame per call.
bool Connection::could_send_more(uint32_t sid) const {
  const StreamRecord* r = streams_.find(sid);
  if (r == nullptr || !r->in_rotation || !can_send_data(*r) || r->waiting_capacity) return false;
  if (r->turn_frames >= kTurnQuantum && num_streams_ > 1) return false;
  if (rotation_.empty() || rotation_.front() != sid) return false;
  return conn_send_.raw_window_size() > 0 && r->send_window.raw_window_size() > 0 &&
         r->send_buffered < max_send_buf_size_;
}

uint32_t Connection::finish_send(StreamRecord& r, SendVerdict* v, HandleBin& bin) {
  if (!r.state.send_close()) return 0;  // cannot happen: the caller saw it streaming
  return after_end_stream(r, v, bin);
}

uint32_t Connection::after_end_stream(StreamRecord& r, SendVerdict* v, HandleBin& bin) {
  if (server_ && r.state.phase() == Phase::kHalfClosedLocal) {
    // The response is complete but the request body is still arriving: the server will never
    // read it, so the stream ends now with RST_STREAM(NO_ERROR) (RFC 9113 section 8.1), and its
    // body reader is told.
    v->handle = r.handle.share();
    v->reader_stop = Stop{kNoError, false};
    return reset_live(r, kNoError, Initiator::kUser, bin);
  }
  return settle_stream(r.id, bin);
}

// --- HEADERS ---

SendVerdict Connection::send_trailers(uint32_t sid, const HeaderMap& trailers, HandleBin& bin) {
  SendVerdict v;
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr) {
    v.stopped = Stop{};
    return v;
  }
  if (!can_send_data(*r)) {
    v.stopped = stop_of(r->state);
    return v;
  }
  queue_headers(sid, hpack::PseudoHeaders{}, trailers, true);
  v.done = true;
  v.flags = flag::kWake | leave_turn(*r) | finish_send(*r, &v, bin);
  return v;
}

std::optional<Failure> Connection::send_response_head(uint32_t sid,
                                                      const hpack::PseudoHeaders& pseudo,
                                                      const HeaderMap& fields, bool end_stream,
                                                      SendVerdict* out, HandleBin& bin) {
  SendVerdict& v = *out;
  v = SendVerdict();
  StreamRecord* r = streams_.find(sid);
  if (r == nullptr) {
    v.stopped = Stop{};
    return std::nullopt;
  }
  if (r->state.is_closed()) {
    // The peer reset the stream, or the connection dropped it, while the response was being
    // computed: there is nobody to answer.
    v.stopped = stop_of(r->state);
    return std::nullopt;
  }
  if (!r->state.send_open(end_stream)) return Failure{FailureKind::kUnexpectedFrameType};
  queue_headers(sid, pseudo, fields, end_stream);
  v.done = true;
  v.flags = flag::kWake;
  if (end_stream) v.flags |= after_end_stream(*r, &v, bin);
  return std::nullopt;
}

// --- writers ---

bool Connection::writer_start() {
  if (failure_.stored || draining_) return false;
  ++live_writers_;
  return true;
}

bool Connection::writer_end() {
  if (live_writers_ > 0) --live_writers_;
  return live_writers_ == 0 && draining_;
}

bool Connection::release_writers() {
  draining_ = true;
  return live_writers_ == 0;
}

}  // namespace quillet::h2
