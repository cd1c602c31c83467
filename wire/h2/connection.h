// The state of one HTTP/2 connection, client or server: the settings of both sides, the
// connection windows, the stream table, the pending output, and how the connection ends. It
// performs no input or output: the driver feeds it the frames it decoded and writes out what it
// queued.
//
// Contract:
// - Every public method is one transition. The Python class runs each under the state lock, so
//   nothing here releases a Handle: what a transition lets go of goes into the caller's
//   HandleBin, and what it hands out comes back as a Handle the caller now owns.
// - The frame decoder has a lock of its own and is never touched here except through
//   `DecoderLimits`, whose implementation takes the decoder lock inside the state lock (the one
//   place both are held).
// - A transition that fails returns a `Failure` and has changed nothing; the caller turns it
//   into the connection or stream error it names.
// - Output accumulates in the pending buffer until `take_pending` moves it out whole. A
//   released batch comes back through `give_back_spare`, so its capacity is reused.
#pragma once

#include "wire/common/handle.h"
#include "wire/common/header_map.h"
#include "wire/h2/data_frame_budget.h"
#include "wire/h2/error.h"
#include "wire/h2/flow_control.h"
#include "wire/h2/frame.h"
#include "wire/h2/hpack/encoder.h"
#include "wire/h2/hpack/header_list.h"
#include "wire/h2/stream_table.h"
#include "wire/h2/verdict.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::h2 {

struct ConnectionConfig {
  bool server = false;
  uint32_t initial_window_size = kDefaultInitialWindowSize;
  uint32_t connection_window = kDefaultConnectionWindow;
  uint32_t max_frame_size = kDefaultMaxFrameSize;
  uint32_t max_header_list_size = kDefaultMaxHeaderListSize;
  uint32_t max_send_buf_size = 0;
  std::optional<uint32_t> max_concurrent_streams;
  uint32_t max_pending_accept_reset_streams = 20;
  std::optional<uint32_t> max_local_error_reset_streams = 1024;
  std::optional<uint32_t> data_frame_budget;
  bool auto_date_header = true;
  std::optional<bool> enable_push;
  // Server: announce SETTINGS_ENABLE_CONNECT_PROTOCOL and accept extended CONNECT requests
  // (RFC 8441); without it a request with :protocol is malformed.
  bool enable_connect_protocol = false;
};

enum class ConfigError : uint8_t {
  kMaxFrameSize,  // outside 16384..16777215
  kWindowSize,    // a window above 2^31 - 1
};
std::optional<ConfigError> validate(const ConnectionConfig& config);

// The decoder's receive limits, as the connection sets them. The caller validated the frame
// size.
class DecoderLimits {
 public:
  virtual void set_recv_limits(uint32_t max_frame_size, uint32_t max_header_list_size) = 0;

 protected:
  ~DecoderLimits() = default;
};

// The replies a peer's frames make us queue (SETTINGS and PING acknowledgements) are bounded
// between two `take_pending` calls: a peer that keeps asking while the driver cannot write
// must not grow the buffer without end.
inline constexpr uint32_t kMaxQueuedReplies = 10000;

// The ASCII payload of the PING that closes the first phase of a graceful shutdown.
inline constexpr std::string_view kShutdownPing("SHUTDOWN", 8);

// Stream ids the reset store remembers at most, and for how long (in Connection).
inline constexpr size_t kResetStoreSize = 50;

// DATA frames a stream queues in one turn while others wait for the connection window.
inline constexpr uint8_t kTurnQuantum = 4;

class Connection {
 public:
  // `config` must have passed validate().
  explicit Connection(const ConnectionConfig& config);

  // --- handshake and settings (connection_settings.cc) ---

  // Queues the client preface (client role), our SETTINGS and the connection WINDOW_UPDATE that
  // brings the receive window to its target, and widens the decoder's limits to ours. A second
  // call queues nothing.
  void begin(DecoderLimits& decoder);

  struct SettingsResult {
    bool initial = false;
    std::vector<Handle> wake_windows;
    uint32_t flags = 0;
  };
  // The peer's SETTINGS frame (`ack` set: its acknowledgement of ours).
  [[nodiscard]] std::optional<Failure> recv_settings(bool ack, const Settings& settings,
                                                     DecoderLimits& decoder, SettingsResult* out);
  // The peer's PING; answers the flags.
  [[nodiscard]] std::optional<Failure> recv_ping(bool ack, std::string_view payload,
                                                 uint32_t* flags);

  // --- stream slots and opening (connection_send.cc) ---

  bool try_claim_slot();
  bool can_open() const;
  void release_slot_count();
  void apply_stream_limit(std::optional<uint32_t> limit) { stream_limit_ = limit; }

  // A client request stream on a claimed slot. The caller built the head outside the lock;
  // `head_refused` says that it failed (it is reported only if the connection could otherwise
  // open the stream). Every path but success gives the slot back. Answers the new stream id, or
  // nullopt in `*id` when the connection refuses new streams. An extended CONNECT (`pseudo`
  // holds :protocol) is refused with kConnectProtocolNotAnnounced unless the peer's SETTINGS
  // enabled it (RFC 8441 section 3).
  struct OpenRequest {
    const hpack::PseudoHeaders* pseudo = nullptr;
    const HeaderMap* fields = nullptr;
    bool end_stream = false;
    bool is_head = false;
    bool head_refused = false;
  };
  [[nodiscard]] std::optional<Failure> open_stream(const OpenRequest& request, Handle handle,
                                                   std::optional<uint32_t>* id, HandleBin& bin);

  // --- sending (connection_send.cc) ---

  // At most one DATA frame of `data` (the caller's bytes from its offset on). An empty `data`
  // queues END_STREAM alone when asked, and nothing otherwise.
  SendVerdict send_data(uint32_t sid, std::string_view data, bool end_stream, HandleBin& bin);
  // Up to `max_frames` (at least 1) DATA frames of `data`: send_data again and again for as long
  // as each step queues a frame, leaves more to send and reports nothing but new bytes (kWake),
  // which is what a driver that repeats the call would see. The verdict covers every step: the
  // bytes queued by all of them and the last step's outcome.
  SendVerdict send_data_frames(uint32_t sid, std::string_view data, bool end_stream,
                               uint32_t max_frames, HandleBin& bin);
  // A trailing HEADERS frame with END_STREAM; the caller checked the fields.
  SendVerdict send_trailers(uint32_t sid, const HeaderMap& trailers, HandleBin& bin);
  // Server: the response head; the caller built and checked it. kUnexpectedFrameType when the
  // stream's head was sent already or its send side is finished.
  [[nodiscard]] std::optional<Failure> send_response_head(uint32_t sid,
                                                          const hpack::PseudoHeaders& pseudo,
                                                          const HeaderMap& fields, bool end_stream,
                                                          SendVerdict* out, HandleBin& bin);
  // After a verdict with flag::kCapacity: the sender whose turn it now is.
  Handle next_capacity_wake();

  // Body-writer tasks: counted before they start, so that none starts after release_writers.
  bool writer_start();
  bool writer_end();
  bool release_writers();

  // --- the pending output (connection_send.cc) ---

  bool has_pending() const { return !pending_.empty(); }
  // Moves the pending output out whole and hands the credit batch to the next credit_written.
  std::string take_pending(bool* stopping);
  // A batch that could not be handed out goes back to the front of the pending output.
  void restore_pending(std::string&& batch);
  // A released batch's buffer (cleared) comes back to be the next pending buffer.
  void give_back_spare(std::string&& buffer);
  void stop_pump() { stopping_ = true; }
  // The batches taken so far are written: returns the handles of the streams whose buffered
  // DATA went out, once each, in the order first seen.
  std::vector<Handle> credit_written();

  // --- receiving (connection_receive.cc) ---

  // What the receive methods need of a frame.
  struct HeadersFrame {
    uint32_t stream_id = 0;
    bool end_stream = false;
    std::optional<uint32_t> status;  // a response head's
    std::optional<uint64_t> content_length;
    bool content_length_invalid = false;
    ReceivedShape shape;     // what the block may be; anything else is a malformed message
    bool over_size = false;  // fields were dropped by our header-list budget
  };
  struct DataFrame {
    uint32_t stream_id = 0;
    bool end_stream = false;
    uint32_t flow_controlled_len = 0;  // the payload with its padding
    uint32_t data_len = 0;
  };

  // `spare` becomes the handle of a stream the peer opens (server).
  [[nodiscard]] std::optional<Failure> recv_headers(const HeadersFrame& frame, Handle spare,
                                                    RecvHeadersVerdict* out, HandleBin& bin);
  [[nodiscard]] std::optional<Failure> recv_data(const DataFrame& frame, RecvDataVerdict* out,
                                                 HandleBin& bin);
  [[nodiscard]] std::optional<Failure> recv_window_update(uint32_t sid, uint32_t increment,
                                                          std::vector<Handle>* wake);
  [[nodiscard]] std::optional<Failure> recv_reset(uint32_t sid, uint32_t reason,
                                                  PeerResetVerdict* out, HandleBin& bin);
  ResetVerdict reset_stream(uint32_t sid, uint32_t reason, Initiator initiator, HandleBin& bin);
  [[nodiscard]] std::optional<Failure> reset_on_error(uint32_t sid, uint32_t reason,
                                                      ResetVerdict* out, HandleBin& bin);
  ResetVerdict aclose_body(uint32_t sid, HandleBin& bin);
  // The application consumed `n` bytes of the stream's body; answers flag::kWake or 0.
  uint32_t release_capacity(uint32_t sid, uint32_t n, HandleBin& bin);
  void release_data_frame(uint32_t sid, uint32_t payload_len, HandleBin& bin);
  void accepted(uint32_t sid);
  bool in_reset_store(uint32_t sid) const;

  // The monotonic clock of the reset store (tests place it where they need it).
  using Clock = std::chrono::steady_clock;
  using Now = Clock::time_point (*)();
  void set_clock(Now now) { now_ = now; }

  // --- GOAWAY, shutdown and failure (connection_close.cc) ---

  struct GoAwayResult {
    std::vector<StoppedStream> aborted;  // the client's streams the peer did not process
    uint32_t flags = 0;
  };
  [[nodiscard]] std::optional<Failure> recv_go_away(uint32_t last_stream_id, uint32_t error_code,
                                                    std::string_view debug_data, GoAwayResult* out,
                                                    HandleBin& bin);
  uint32_t maybe_goaway_reply();
  uint32_t send_goaway(uint32_t reason);
  // Stores the first error (an exception handle, else `message`) and stops every stream.
  std::vector<StoppedStream> fail(Handle exception, std::string_view message, HandleBin& bin);
  // The stored error: the exception, or the closure message when no exception was stored.
  struct StoredError {
    Handle exception;
    std::optional<std::string> message;
  };
  StoredError conn_error() const;
  struct PeerGoAway {
    uint32_t last_stream_id = 0;
    uint32_t error_code = kNoError;
    std::string debug_data;
  };
  const std::optional<PeerGoAway>& goaway_info() const { return peer_goaway_; }
  bool is_closed() const { return failure_.stored || peer_goaway_.has_value(); }

  uint32_t begin_graceful_shutdown();

  // --- task handles ---

  void store_task_handles(Handle read, Handle pump, HandleBin& bin);
  Handle take_read_handle() { return std::move(read_task_); }
  Handle take_pump_handle() { return std::move(pump_task_); }
  // Lets go of every Python object held (the cyclic collector's clear).
  void clear_handles(HandleBin& bin);
  // Visits every object held (the cyclic collector's traverse); stops at the first non-zero.
  template <class Visit>
  int visit_handles(Visit&& visit) const;

  // --- inspection ---

  bool is_server() const { return server_; }
  bool auto_date_header() const { return auto_date_header_; }
  size_t table_size() const { return streams_.size(); }
  uint32_t num_streams() const { return num_streams_; }
  uint32_t num_open_streams() const { return num_open_streams_; }
  std::optional<uint32_t> stream_limit() const { return stream_limit_; }
  std::optional<uint32_t> peer_max_concurrent_streams() const { return peer_max_concurrent_; }
  uint32_t peer_initial_window_size() const { return peer_initial_window_; }
  uint32_t peer_max_frame_size() const { return peer_max_frame_size_; }
  uint32_t peer_header_table_size() const { return peer_header_table_size_; }
  // The peer announced SETTINGS_ENABLE_CONNECT_PROTOCOL: extended CONNECT may be sent to it.
  bool peer_enable_connect_protocol() const { return peer_connect_protocol_; }
  bool enable_connect_protocol() const { return enable_connect_protocol_; }
  uint32_t conn_send_window() const { return conn_send_.window_size(); }
  int32_t conn_recv_available() const { return conn_recv_.available(); }
  int32_t conn_recv_advertised() const { return conn_recv_.raw_window_size(); }
  uint32_t local_initial_window() const { return local_initial_window_; }
  uint32_t budget_available() const { return budget_.available(); }
  uint32_t budget_empty_frames() const { return budget_.empty_frames(); }
  uint32_t max_pending_accept_reset_streams() const { return max_pending_accept_resets_; }
  std::optional<uint32_t> max_local_error_reset_streams() const { return max_local_error_resets_; }
  uint32_t local_error_resets() const { return local_error_resets_; }
  bool graceful() const { return graceful_; }
  bool shutdown_final() const { return shutdown_final_; }
  uint32_t last_processed_id() const { return last_processed_id_; }
  uint32_t max_stream_id() const { return max_stream_id_; }
  bool goaway_replied() const { return goaway_replied_; }
  bool failed() const { return failure_.stored; }
  bool goaway_received() const { return peer_goaway_.has_value(); }
  uint32_t next_stream_id() const { return next_stream_id_; }
  size_t pending_size() const { return pending_.size(); }

  const StreamRecord* stream(uint32_t id) const { return streams_.find(id); }
  const StreamTable& streams() const { return streams_; }
  uint32_t max_send_buf_size() const { return max_send_buf_size_; }

  // Test hooks: place the id counters at their limits.
  void set_next_stream_id(uint32_t id) { next_stream_id_ = id; }
  void set_max_stream_id(uint32_t id) { max_stream_id_ = id; }
  void set_last_processed_id(uint32_t id) { last_processed_id_ = id; }

 private:
  enum class LocalSettings : uint8_t { kNone, kSent, kAcknowledged };

  // Queues WINDOW_UPDATE(0) when the connection's unannounced receive capacity is worth it;
  // answers whether it did.
  bool announce_connection_window();
  // Appends a HEADERS block (and its CONTINUATION frames) for `stream_id`.
  void queue_headers(uint32_t stream_id, const hpack::PseudoHeaders& pseudo,
                     const HeaderMap& fields, bool end_stream);
  void queue_goaway(uint32_t last_stream_id, uint32_t error_code);
  void queue_window_update(uint32_t stream_id, uint32_t increment);
  void queue_rst_stream(uint32_t stream_id, uint32_t reason);

  // The close bookkeeping: when the stream of `sid` has closed and this has not run yet, the
  // stream stops counting, its slot is freed, it leaves the send rotation; a closed record that
  // owes nothing is dropped. Every path that may close a stream ends with it. Answers the flags.
  uint32_t settle_stream(uint32_t sid, HandleBin& bin);
  // Resets a live stream from this side (RST_STREAM queued, closed as reset by `initiator`,
  // its receive capacity and budget charge returned, its id remembered). Answers the flags of
  // the close, flag::kWake included; `r` is gone after.
  uint32_t reset_live(StreamRecord& r, uint32_t reason, Initiator initiator, HandleBin& bin);
  // Returns what a closing stream holds of the connection's receive window and DATA budget.
  uint32_t reclaim(StreamRecord& r);
  // Gives `n` bytes back to the connection receive window, announcing it when worth it.
  uint32_t release_connection(uint32_t n);
  // The reset store: ids this side reset, remembered for a second so that the frames the peer
  // sent before it saw the reset are ignored.
  void remember_reset(uint32_t sid);
  // The stop a stream that cannot send reports (a bare stop for one that ended cleanly).
  static Stop stop_of(const StreamState& state);
  // Whether an id neither in the table nor in the reset store is one the peer may still use.
  bool idle(uint32_t sid) const;
  // Whether frames for an id not in the table are dropped without a word.
  bool ignored(uint32_t sid) const;

  // The receive path.
  std::optional<Failure> open_peer_stream(const HeadersFrame& frame, Handle spare,
                                          RecvHeadersVerdict* out, HandleBin& bin);
  // Counts DATA of a stream that is gone against the connection window and gives it back.
  std::optional<Failure> pass_through(uint32_t flow_controlled_len, uint32_t* flags);
  // Queues the stream's WINDOW_UPDATE when its unannounced capacity is worth it.
  uint32_t announce_stream_window(StreamRecord& r);

  // The send rotation.
  bool can_send_data(const StreamRecord& r) const;
  bool could_send_more(uint32_t sid) const;
  StreamRecord* rotation_front();
  void enter_rotation(StreamRecord& r);
  // Takes `r` out of the rotation and the wait list; answers flag::kCapacity when that hands
  // the connection window to another sender.
  uint32_t leave_turn(StreamRecord& r);
  uint32_t capacity_flag();
  void admit_waiter();
  // END_STREAM was queued on `r`: its send side closes, with the server's teardown of a request
  // still arriving. Answers the flags.
  uint32_t finish_send(StreamRecord& r, SendVerdict* v, HandleBin& bin);
  // The send side of `r` has just closed.
  uint32_t after_end_stream(StreamRecord& r, SendVerdict* v, HandleBin& bin);
  void queue_ping(std::string_view payload, bool ack);

  // Role and our settings, fixed at construction.
  const bool server_;
  const uint32_t initial_window_size_;
  const uint32_t connection_window_;
  const uint32_t max_frame_size_;
  const uint32_t max_header_list_size_;
  const uint32_t max_send_buf_size_;
  const std::optional<uint32_t> max_concurrent_streams_;
  const uint32_t max_pending_accept_resets_;
  const std::optional<uint32_t> max_local_error_resets_;
  const bool auto_date_header_;
  const std::optional<bool> enable_push_;
  const bool enable_connect_protocol_;

  // The peer's settings.
  uint32_t peer_header_table_size_ = hpack::kEncoderTableCap;
  uint32_t peer_initial_window_ = kDefaultInitialWindowSize;
  uint32_t peer_max_frame_size_ = kDefaultMaxFrameSize;
  std::optional<uint32_t> peer_max_concurrent_;
  bool peer_connect_protocol_ = false;
  bool peer_settings_seen_ = false;

  LocalSettings local_settings_ = LocalSettings::kNone;
  // The receive window of a new stream: the protocol default until our SETTINGS are
  // acknowledged, if ours is smaller.
  uint32_t local_initial_window_;

  FlowControl conn_send_;
  FlowControl conn_recv_;

  std::string pending_;
  std::string spare_;
  std::string block_;  // scratch for one HPACK block
  uint32_t queued_replies_ = 0;
  bool stopping_ = false;
  // (stream id, bytes) of the DATA queued since the last take_pending, and of the batches taken
  // since the last credit_written.
  std::vector<std::pair<uint32_t, uint32_t>> credit_batch_;
  std::vector<std::pair<uint32_t, uint32_t>> written_credit_;

  std::vector<uint32_t> rotation_;          // front first
  std::vector<uint32_t> capacity_waiters_;  // first come first
  uint32_t live_writers_ = 0;
  bool draining_ = false;

  StreamTable streams_;
  uint32_t highest_peer_id_ = 0;
  std::vector<uint32_t> pending_accept_;
  std::vector<uint32_t> reset_while_pending_;
  struct RememberedReset {
    uint32_t sid;
    Clock::time_point at;
  };
  std::vector<RememberedReset> reset_store_;
  Now now_ = &Clock::now;
  uint32_t num_streams_ = 0;
  uint32_t num_open_streams_ = 0;
  std::optional<uint32_t> stream_limit_;
  uint32_t next_stream_id_;
  uint32_t max_stream_id_ = kMaxStreamId;
  uint32_t last_processed_id_ = 0;
  uint32_t local_error_resets_ = 0;
  DataFrameBudget budget_;

  // How the connection ends.
  std::optional<PeerGoAway> peer_goaway_;
  bool goaway_replied_ = false;
  std::optional<uint32_t> goaway_sent_last_;  // the last stream id of our latest GOAWAY
  bool graceful_ = false;
  bool shutdown_final_ = false;
  struct StoredFailure {
    bool stored = false;
    Handle exception;     // the driver's exception object, or
    std::string message;  // a closure message
  };
  StoredFailure failure_;

  hpack::Encoder encoder_;
  Handle read_task_;
  Handle pump_task_;
};

template <class Visit>
int Connection::visit_handles(Visit&& visit) const {
  for (const Handle* h : {&read_task_, &pump_task_, &failure_.exception}) {
    if (*h) {
      if (const int r = visit(h->get())) return r;
    }
  }
  for (const StreamRecord& record : streams_) {
    if (record.handle) {
      if (const int r = visit(record.handle.get())) return r;
    }
  }
  return 0;
}

}  // namespace quillet::h2
