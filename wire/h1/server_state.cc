#include "wire/h1/server_state.h"

#include <utility>

namespace quillet::h1 {

Handle ServerState::take_transport() {
  if (upgraded()) return Handle();  // it belongs to the caller that took it for a tunnel
  return std::move(transport_);
}

void ServerState::close_unusable() {
  if (conn_ != Conn::kUpgraded) conn_ = Conn::kClosed;
}

void ServerState::decoder_to_codec(ServerCores& cores, bool whole) {
  if (decoder_) cores.decoder_to_codec(decoder_.get(), whole);
}

// --- the read side ---

ServerState::Next ServerState::position_at_next_head(ServerCores& cores, HandleBin& bin) {
  decoder_to_codec(cores, false);  // bytes past the body belong to the next, pipelined request
  cores.codec_reset();
  bin.add(std::move(decoder_));
  response_done_ = true;
  body_done_ = true;
  Next next;
  if (cores.codec_buffered() > 0) {
    next.step = NextStep::kParse;
  } else if (shutdown_requested_) {
    next.step = NextStep::kShutdown;
  } else if (watcher_) {
    idle_read_parked_ = true;
    next.step = NextStep::kWatcher;
    next.object = watcher_->done().share();
  } else if (transport_) {
    idle_read_parked_ = true;
    next.step = NextStep::kTransport;
    next.object = transport_.share();
  } else {
    next.step = NextStep::kEof;
  }
  return next;
}

ServerState::Next ServerState::begin_read(ServerCores& cores, HandleBin& bin) {
  if (!reusable()) return Next{NextStep::kNone, Handle()};
  if (seq_ != 0 && !response_done_) return Next{NextStep::kRaise, Handle()};
  if (seq_ != 0 && !body_done_) {
    if (body_read_ != BodyRead::kNobody) {
      // A body reader is parked on the transport, so the body cannot be drained.
      close_unusable();
      return Next{NextStep::kClose, take_transport()};
    }
    body_read_ = BodyRead::kDrain;
    return Next{NextStep::kDrain, Handle()};
  }
  return position_at_next_head(cores, bin);
}

ServerState::Next ServerState::drain_done(ServerCores& cores, bool complete, HandleBin& bin) {
  body_read_ = BodyRead::kNobody;
  if (!complete) {
    close_unusable();
    return Next{NextStep::kClose, take_transport()};
  }
  body_done_ = true;
  return position_at_next_head(cores, bin);
}

HeadResult ServerState::accept_head(ServerCores& cores, std::string_view data, Handle decoder,
                                    RequestHead* head, ParseKind* error, uint64_t* seq,
                                    HandleBin& bin) {
  std::string rest;
  const HeadResult result = cores.parse_head(data, head, error, &rest);
  if (result != HeadResult::kHead) {
    bin.add(std::move(decoder));
    return result;
  }
  body_done_ = cores.start_body(decoder.get(), *head, std::move(rest));
  *seq = seq_ = next_seq_++;
  bin.add(std::move(decoder_));
  decoder_ = std::move(decoder);
  request_.expect_continue = head->expect_continue;
  request_.http10 = head->http10;
  request_.keep_alive = head->keep_alive;
  request_.connect = head->method == Method::kConnect;
  request_.upgrade_requested = head->is_upgrade && !request_.connect;
  claim_ = Claim::kNone;
  after_ = After::kUndecided;
  body_read_ = BodyRead::kNobody;
  response_done_ = false;
  peer_closed_ = false;
  want_read_ = false;
  return result;
}

Handle ServerState::fail_read() {
  close_unusable();
  return take_transport();
}

ServerState::Closing ServerState::mark_closed() {
  Closing closing;
  closing.was_closed = closed();
  close_unusable();
  closing.transport = take_transport();
  closing.watcher_done = watcher_done();
  return closing;
}

void ServerState::mark_unusable() {
  if (conn_ == Conn::kOpen) conn_ = Conn::kLastRequest;
}

// --- the request body and the response ---

bool ServerState::try_send_continue(uint64_t seq) {
  // Decided under the same lock as the response claim, so a response head never overtakes a
  // claimed 100 Continue.
  if (!current(seq) || !request_.expect_continue || request_.http10 || claim_ != Claim::kNone) {
    return false;
  }
  claim_ = Claim::kContinueClaimed;
  return true;
}

bool ServerState::begin_body_read(uint64_t seq) {
  if (!current(seq) || body_done_ || body_read_ != BodyRead::kNobody) return false;
  body_read_ = BodyRead::kReader;  // the body reader is the one reader of the transport
  return true;
}

void ServerState::end_body_read(uint64_t seq, bool complete) {
  if (!current(seq)) return;
  body_read_ = BodyRead::kNobody;
  if (complete) body_done_ = true;
}

ServerState::Responded ServerState::respond_head(ServerCores& cores, uint64_t seq,
                                                 const ResponseHead& response, Handle done,
                                                 std::string* out, HandleBin& bin) {
  Responded r;
  if (!current(seq)) {
    r.verdict = RequestVerdict::kStale;
  } else {
    switch (claim_) {
      case Claim::kNone:
        claim_ = Claim::kClaimed;
        break;
      case Claim::kContinueClaimed:
        claim_ = Claim::kAwaitingContinue;
        r.verdict = RequestVerdict::kContinue;
        break;
      case Claim::kAwaitingContinue:
        claim_ = Claim::kClaimed;  // the 100 Continue went out: the claim goes on
        break;
      case Claim::kClaimed:
        r.verdict = RequestVerdict::kAlready;
        break;
    }
  }
  if (r.verdict == RequestVerdict::kOk && peer_closed_) r.verdict = RequestVerdict::kPeerClosed;
  if (r.verdict != RequestVerdict::kOk) {
    bin.add(std::move(done));
    return r;
  }
  const uint16_t status = response.status.value();
  const bool switches = status == 101 ? request_.upgrade_requested
                                      : request_.connect && status >= 200 && status <= 299;
  // A connection that will close after this response must not promise keep-alive.
  const bool keep_alive =
      keep_alive_enabled_ && request_.keep_alive && !shutdown_requested_ && reusable();
  static const HeaderMap kNoHeaders;
  ServerCores::Encoded encoded;
  r.failure =
      cores.encode_response(response.status, keep_alive, request_.http10, response.body,
                            response.headers ? *response.headers : kNoHeaders, out, &encoded);
  if (r.failure) {
    bin.add(std::move(done));
    return r;
  }
  if (switches) {
    after_ = After::kSwitch;
  } else if (encoded.last || encoded.close_delimited) {
    after_ = After::kClose;
  } else {
    after_ = After::kReuse;
  }
  if (response.want) want_read_ = true;
  r.armed = arm_decision(cores, std::move(done), bin);
  return r;
}

ServerState::Finished ServerState::finish_response(ServerCores& cores, uint64_t seq) {
  Finished f;
  if (!current(seq)) return f;
  response_done_ = true;
  if (after_ == After::kSwitch) {
    decoder_to_codec(cores, true);
    f.leftover = cores.codec_take_all();
    f.transport = take_transport();
    conn_ = Conn::kUpgraded;
    f.switched = true;
    return f;
  }
  // A connection made non-reusable never becomes reusable again.
  if (after_ != After::kReuse && conn_ == Conn::kOpen) conn_ = Conn::kLastRequest;
  if (!reusable()) {
    close_unusable();
    f.close = true;
    f.transport = take_transport();
  }
  return f;
}

Handle ServerState::fail_response(uint64_t seq) {
  if (current(seq)) response_done_ = true;
  close_unusable();
  return take_transport();
}

ServerState::Detached ServerState::detach(ServerCores& cores, uint64_t seq, HandleBin& bin) {
  Detached d;
  if (!current(seq)) {
    d.verdict = RequestVerdict::kStale;
  } else if (responded()) {
    d.verdict = RequestVerdict::kAlready;
  } else if (watcher_parked()) {
    // One reader per transport: the parked read can be neither handed over nor cancelled
    // without risking bytes.
    d.verdict = RequestVerdict::kParked;
  } else {
    claim_ = Claim::kClaimed;
    response_done_ = true;
    decoder_to_codec(cores, true);
    if (watcher_ && watcher_->data()) {
      cores.codec_feed_read(watcher_->data().get());
      bin.add(watcher_->take_data());
    }
    d.leftover = cores.codec_take_all();
    d.transport = take_transport();
    conn_ = Conn::kUpgraded;
  }
  return d;
}

bool ServerState::close_window(uint64_t seq) {
  if (!current(seq) || response_done_) return false;
  response_done_ = true;
  return true;
}

// --- shutdown and the watcher ---

Handle ServerState::request_shutdown() {
  mark_unusable();
  shutdown_requested_ = true;
  if (!idle_read_parked_) return Handle();
  close_unusable();
  return take_transport();  // closing it ends the parked read
}

bool ServerState::unpark_idle_read() {
  idle_read_parked_ = false;
  return closed();
}

std::optional<bool> ServerState::peer_closed_now(uint64_t seq) const {
  if (!current(seq)) return false;
  if (!response_done_) return std::nullopt;  // the window is open: arm the watcher and wait
  return peer_closed_;
}

bool ServerState::arm_decision(ServerCores& cores, Handle done, HandleBin& bin) {
  bool armed = want_read_ && !half_close_ && !closed() && transport_ && !watcher_ && body_done_ &&
               !response_done_;
  // No watcher on a connection about to switch protocols, nor before that is known.
  if (armed && request_.may_switch() && (after_ == After::kUndecided || after_ == After::kSwitch)) {
    armed = false;
  }
  if (armed && cores.codec_buffered() > 0) armed = false;
  // Pipelined bytes already read by the decoder are there to be parsed, not watched for.
  if (armed && decoder_ && cores.decoder_to_codec(decoder_.get(), false) > 0) armed = false;
  if (!armed) {
    bin.add(std::move(done));
    return false;
  }
  watcher_.emplace(std::move(done));
  return true;
}

bool ServerState::arm_watcher(ServerCores& cores, uint64_t seq, Handle done, bool want,
                              bool head_negotiated, HandleBin& bin) {
  if (!current(seq)) {
    bin.add(std::move(done));
    return false;
  }
  // The driver negotiated the head itself: no switch is known, and no reuse was granted.
  if (head_negotiated && after_ == After::kUndecided) after_ = After::kClose;
  if (want) want_read_ = true;
  return arm_decision(cores, std::move(done), bin);
}

Handle ServerState::store_watcher_handle(Handle handle) {
  if (closed() || !watcher_) return handle;
  // Storing nothing leaves the slot waiting for the task's handle.
  return watcher_->store_task(std::move(handle), false);
}

bool ServerState::watcher_completed(Handle data, size_t data_size, Handle error, HandleBin& bin) {
  if (!watcher_) {  // a racing close already freed the slot
    bin.add(std::move(data));
    bin.add(std::move(error));
    return false;
  }
  const bool client_ended = !data || data_size == 0;
  watcher_->complete(std::move(data), std::move(error), bin);
  if (!client_ended || response_done_ || peer_closed_) return false;
  mark_unusable();
  peer_closed_ = true;
  return true;
}

void ServerState::watcher_aborted() {
  if (watcher_) watcher_->abort();
}

Handle ServerState::take_watcher_handle() {
  return watcher_ ? watcher_->take_task() : Handle();
}

ServerState::WatcherResult ServerState::take_watcher_result(HandleBin& bin) {
  WatcherResult result;
  if (!watcher_) return result;
  result.data = watcher_->take_data();
  result.error = watcher_->take_error();
  if (watcher_->task_taken()) {
    watcher_->release(bin);
    watcher_.reset();
  }
  return result;
}

std::array<void*, ServerState::kMaxHeld> ServerState::held() const {
  std::array<void*, kMaxHeld> objects{transport_.get(), decoder_.get()};
  if (watcher_) {
    for (int i = 0; i < WatcherSlot::kHeld; ++i)
      objects[size_t(2 + i)] = watcher_->held(i);
  }
  return objects;
}

void ServerState::clear(HandleBin& bin) {
  bin.add(std::move(transport_));
  bin.add(std::move(decoder_));
  if (watcher_) {
    watcher_->release(bin);
    watcher_.reset();
  }
}

}  // namespace quillet::h1
