// The state of one HTTP/1 server connection and of its current request: where the next head
// comes from, which request is current (`seq`), who owns the transport read, whether a
// 100 Continue or the response may be written, and whether the connection is reused, closed or
// handed over after the response. It performs no input or output; the server driver asks it at
// every step.
//
// Contract:
// - Every public method is one transition. The Python class runs each under the object's lock,
//   so nothing here releases a Handle: what a transition lets go of goes into the caller's
//   HandleBin, and what it hands out comes back as a Handle the caller now owns.
// - The connection's codec and the current request's body decoder have locks of their own.
//   The state reaches them only through `ServerCores`, whose implementation takes their locks
//   (always after the state's own, one at a time); the rules stay here.
// - A `seq` names the current request only when it is non-zero and equal to `seq()`; every
//   per-request transition answers a stale seq with its stale result and changes nothing
//   (`fail_response` closes the connection whatever the seq).
#pragma once

#include "wire/common/handle.h"
#include "wire/h1/codec.h"
#include "wire/h1/error.h"
#include "wire/h1/head.h"
#include "wire/h1/head_encoder.h"
#include "wire/h1/watcher_slot.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::h1 {

// Where the next request head comes from. The values are the module's H1_NEXT_* and H1_READ_*
// constants.
enum class NextStep : uint8_t {
  kNone = 0,       // closed or not reusable: serve no more
  kRaise = 1,      // the current request is unanswered
  kClose = 2,      // the unread body cannot be drained: close (with the transport)
  kDrain = 3,      // drain the unread body, then report with drain_done
  kParse = 4,      // the codec already holds bytes: parse them first
  kShutdown = 5,   // a graceful shutdown was asked for
  kWatcher = 6,    // the read belongs to the watcher (with its done event)
  kTransport = 7,  // read from the transport (with the transport)
  kEof = 8,        // there is no transport: end of input
};
inline constexpr int kNextStepCount = int(NextStep::kEof) + 1;

// A per-request verdict. The values are the module's H1_REQ_* constants.
enum class RequestVerdict : uint8_t {
  kOk = 0,
  kAlready = 1,     // the response was already claimed
  kStale = 2,       // seq is not the current request
  kParked = 3,      // a watcher read is parked: the connection cannot be detached now
  kPeerClosed = 4,  // the client closed mid-request: nothing is written
  kContinue = 5,    // a claimed 100 Continue is in flight: call again once it is written
};
inline constexpr int kRequestVerdictCount = int(RequestVerdict::kContinue) + 1;

// The codec and the current body decoder as the server state needs them. `decoder` is the
// opaque object of the state's decoder Handle; `read` that of a watcher read's data.
class ServerCores {
 public:
  // Feeds `data` to the codec and parses one request head from its read buffer. After a head,
  // every byte the codec holds past it is moved out into `rest`, in the same step.
  virtual HeadResult parse_head(std::string_view data, RequestHead* head, ParseKind* error,
                                std::string* rest) = 0;
  // Makes `decoder` the decoder of the head's body framing, fed with `rest`. Returns whether the
  // body is already complete.
  virtual bool start_body(void* decoder, const RequestHead& head, std::string&& rest) = 0;
  virtual size_t codec_buffered() = 0;
  // Starts the next message; the read buffer stays.
  virtual void codec_reset() = 0;
  // Moves the bytes `decoder` holds into the codec's read buffer: all of them (`whole`), or
  // only those past the end of a finished body. Returns how many moved.
  virtual size_t decoder_to_codec(void* decoder, bool whole) = 0;
  // Appends the bytes of a read the watcher kept to the codec's read buffer.
  virtual void codec_feed_read(void* read) = 0;
  // Takes every byte the codec holds.
  virtual std::string codec_take_all() = 0;

  struct Encoded {
    bool last = false;             // the connection closes after this response
    bool close_delimited = false;  // its body ends by closing the connection
  };
  // Encodes a response head for the recorded request (see Codec::encode_response).
  virtual std::optional<UserKind> encode_response(StatusCode status, bool keep_alive, bool http10,
                                                  const BodySpec& body, const HeaderMap& headers,
                                                  std::string* out, Encoded* verdicts) = 0;

 protected:
  ~ServerCores() = default;
};

class ServerState {
 public:
  ServerState(Handle transport, bool keep_alive_enabled, bool half_close)
      : transport_(std::move(transport)),
        keep_alive_enabled_(keep_alive_enabled),
        half_close_(half_close) {}

  uint64_t seq() const { return seq_; }
  bool closed() const { return conn_ != Conn::kOpen && conn_ != Conn::kLastRequest; }
  bool reusable() const { return conn_ == Conn::kOpen; }
  bool upgraded() const { return conn_ == Conn::kUpgraded; }
  bool half_close() const { return half_close_; }
  bool keep_alive_enabled() const { return keep_alive_enabled_; }
  bool shutdown_requested() const { return shutdown_requested_; }
  bool responded() const { return claim_ == Claim::kAwaitingContinue || claim_ == Claim::kClaimed; }
  bool response_done() const { return response_done_; }
  bool has_watcher() const { return watcher_.has_value(); }
  bool watcher_parked() const { return watcher_ && watcher_->armed(); }

  // Second references to held objects (empty when absent); nothing is taken out.
  Handle transport_ref() const { return transport_.share(); }
  Handle decoder_ref() const { return decoder_.share(); }
  Handle watcher_done() const { return watcher_ ? watcher_->done().share() : Handle(); }

  // --- the read side ---

  struct Next {
    NextStep step = NextStep::kNone;
    Handle object;  // the transport or the watcher's done event, for the steps that name one
  };
  Next begin_read(ServerCores& cores, HandleBin& bin);
  // One drain attempt of an unread body ended.
  Next drain_done(ServerCores& cores, bool complete, HandleBin& bin);
  // Parses the next head from `data` after what the codec holds. A complete head becomes the
  // current request with `decoder` (an empty decoder object the caller made) as its body
  // decoder, and `*seq` its number; kNone and kError change nothing here (`decoder` is binned).
  HeadResult accept_head(ServerCores& cores, std::string_view data, Handle decoder,
                         RequestHead* head, ParseKind* error, uint64_t* seq, HandleBin& bin);
  // The head read failed: the connection closes; returns the transport.
  Handle fail_read();
  void stop_serving() { close_unusable(); }
  struct Closing {
    Handle transport;
    Handle watcher_done;  // a second reference: the slot keeps its own
    bool was_closed = false;
  };
  Closing mark_closed();
  void mark_unusable();

  // --- the request body and the response ---

  bool try_send_continue(uint64_t seq);
  bool begin_body_read(uint64_t seq);
  void end_body_read(uint64_t seq, bool complete);

  struct ResponseHead {
    StatusCode status = StatusCode::ok();
    const HeaderMap* headers = nullptr;
    BodySpec body;
    bool want = false;  // the response asks for the watcher read
  };
  struct Responded {
    RequestVerdict verdict = RequestVerdict::kOk;
    std::optional<UserKind> failure;  // the encoder refused the head; the claim stays
    bool armed = false;               // the caller spawns the watcher for `done`
  };
  // Claims the response and encodes its head into `out`. `done` is kept when the watcher is
  // armed, binned otherwise.
  Responded respond_head(ServerCores& cores, uint64_t seq, const ResponseHead& response,
                         Handle done, std::string* out, HandleBin& bin);

  struct Finished {
    bool switched = false;  // hand transport and leftover to a tunnel
    bool close = false;
    Handle transport;
    std::optional<std::string> leftover;
  };
  Finished finish_response(ServerCores& cores, uint64_t seq);
  Handle fail_response(uint64_t seq);
  struct Detached {
    RequestVerdict verdict = RequestVerdict::kOk;
    Handle transport;
    std::optional<std::string> leftover;
  };
  Detached detach(ServerCores& cores, uint64_t seq, HandleBin& bin);
  bool close_window(uint64_t seq);

  // --- shutdown and the watcher ---

  // Returns the transport when an idle read is parked: closing it ends that read.
  Handle request_shutdown();
  // The parked idle read returned; true when a shutdown closed the connection meanwhile.
  bool unpark_idle_read();
  // nullopt: the window is open and nothing is known yet.
  std::optional<bool> peer_closed_now(uint64_t seq) const;
  bool peer_closed_flag(uint64_t seq) const { return current(seq) && peer_closed_; }
  bool arm_watcher(ServerCores& cores, uint64_t seq, Handle done, bool want, bool head_negotiated,
                   HandleBin& bin);
  // Returns `handle` back when refused (closed, no slot, or the slot's handle already stored
  // or taken); empty when stored.
  Handle store_watcher_handle(Handle handle);
  // The watcher's read ended with `data` (empty Handle: none; `data_size` its length) and
  // `error`. True when that means the client has gone mid-request.
  bool watcher_completed(Handle data, size_t data_size, Handle error, HandleBin& bin);
  void watcher_aborted();
  Handle take_watcher_handle();
  struct WatcherResult {
    Handle data;
    Handle error;
  };
  // Takes data and error; frees the slot (binning its done event) once the handle was taken.
  WatcherResult take_watcher_result(HandleBin& bin);

  // Every object held, for the collector's traversal (null where absent).
  static constexpr size_t kMaxHeld = 6;
  std::array<void*, kMaxHeld> held() const;
  // Lets go of every object held (the collector breaking a cycle).
  void clear(HandleBin& bin);

 private:
  // The connection's life. Closed is final; upgraded (the transport went to the caller for a
  // tunnel or a detach) is closed for good.
  enum class Conn : uint8_t { kOpen, kLastRequest, kClosed, kUpgraded };
  // The response claim. A 100 Continue is claimed (by the body reader) only while the response
  // is free, and a response head never overtakes it.
  enum class Claim : uint8_t {
    kNone,              // free
    kContinueClaimed,   // free; the body reader claimed a 100 Continue for this request
    kAwaitingContinue,  // claimed; the head waits for that 100 Continue to go out
    kClaimed,
  };
  // What the connection does once the response is over: unknown until the head is encoded (or
  // the driver says it negotiated the head itself, which grants no reuse), then serve the next
  // request, close, or hand the transport over for a new protocol.
  enum class After : uint8_t { kUndecided, kReuse, kClose, kSwitch };
  // Who reads the request body from the transport.
  enum class BodyRead : uint8_t { kNobody, kReader, kDrain };
  // What the current request's head said.
  struct Request {
    bool expect_continue = false;
    bool http10 = false;
    bool keep_alive = false;
    bool upgrade_requested = false;
    bool connect = false;
    bool may_switch() const { return upgrade_requested || connect; }
  };

  bool current(uint64_t seq) const { return seq != 0 && seq == seq_; }
  Handle take_transport();
  void close_unusable();
  Next position_at_next_head(ServerCores& cores, HandleBin& bin);
  bool arm_decision(ServerCores& cores, Handle done, HandleBin& bin);
  // Moves the decoder's bytes back into the codec (all, or those past a finished body).
  void decoder_to_codec(ServerCores& cores, bool whole);

  Handle transport_;
  Handle decoder_;  // the current request's body decoder
  const bool keep_alive_enabled_;
  const bool half_close_;
  Conn conn_ = Conn::kOpen;
  bool shutdown_requested_ = false;
  bool idle_read_parked_ = false;
  uint64_t next_seq_ = 1;
  uint64_t seq_ = 0;
  std::optional<WatcherSlot> watcher_;

  // The current request.
  Request request_;
  Claim claim_ = Claim::kNone;
  BodyRead body_read_ = BodyRead::kNobody;
  After after_ = After::kUndecided;
  bool response_done_ = true;  // the window in which a client closing matters is over
  bool body_done_ = true;
  bool peer_closed_ = false;
  bool want_read_ = false;
};

}  // namespace quillet::h1
