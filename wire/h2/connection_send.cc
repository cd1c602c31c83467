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
