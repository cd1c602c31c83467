// The connection's settings and windows: construction, the handshake, the peer's SETTINGS and
// PING frames.
#include "wire/h2/connection.h"

#include "wire/h2/preface.h"

#include <algorithm>
#include <cstdint>

namespace quillet::h2 {
std::optional<ConfigError> validate(const ConnectionConfig& config) {
  if (!valid_max_frame_size(config.max_frame_size)) return ConfigError::kMaxFrameSize;
  if (config.initial_window_size > kMaxWindowSize || config.connection_window > kMaxWindowSize)
    return ConfigError::kWindowSize;
  return std::nullopt;
}

Connection::Connection(const ConnectionConfig& config)
    : server_(config.server),
      initial_window_size_(config.initial_window_size),
      connection_window_(config.connection_window),
      max_frame_size_(config.max_frame_size),
      max_header_list_size_(config.max_header_list_size),
      max_send_buf_size_(config.max_send_buf_size),
      max_concurrent_streams_(config.max_concurrent_streams),
      max_pending_accept_resets_(config.max_pending_accept_reset_streams),
      max_local_error_resets_(config.max_local_error_reset_streams),
      auto_date_header_(config.auto_date_header),
      enable_push_(config.enable_push),
      enable_connect_protocol_(config.server && config.enable_connect_protocol),
      local_initial_window_(std::max(config.initial_window_size, kDefaultInitialWindowSize)),
      conn_send_(kDefaultConnectionWindow),
      conn_recv_(kDefaultConnectionWindow),
      next_stream_id_(config.server ? 2 : 1),
      budget_(config.data_frame_budget, config.connection_window) {
  pending_.reserve(4096);
}

void Connection::begin(DecoderLimits& decoder) {
  if (local_settings_ != LocalSettings::kNone) return;
  Settings ours;
  if (server_) ours.max_concurrent_streams = max_concurrent_streams_;
  ours.initial_window_size = initial_window_size_;
  ours.max_frame_size = max_frame_size_;
  ours.max_header_list_size = max_header_list_size_;
  ours.enable_push = enable_push_;
  if (enable_connect_protocol_) ours.enable_connect_protocol = true;
  std::string frame;
  // Cannot fail: the constructor's caller validated both sizes.
  if (write_settings(ours, &frame)) return;
  if (!server_) pending_ += kClientPreface;
  pending_ += frame;
  local_settings_ = LocalSettings::kSent;

  // Our limits reach the decoder now, not at the ACK. The frame size may only grow (it is at
  // least the default), and one read can carry the peer's ACK followed by frames of our size,
  // decoded a whole read ahead of the ACK reaching recv_settings. The header-list budget (and
  // the CONTINUATION cap and abuse limit it sets) protects us: a peer that never acknowledges
  // must not keep the 16 MiB default, so we hold it to our budget before it knows it; an
  // over-size list is refused per stream, not per connection.
  decoder.set_recv_limits(max_frame_size_, max_header_list_size_);

  // The window starts at the protocol default; the rest of the target is ours to announce.
  if (connection_window_ > kDefaultConnectionWindow)
    conn_recv_ = FlowControl(kDefaultConnectionWindow, connection_window_);
  announce_connection_window();
}

bool Connection::announce_connection_window() {
  const std::optional<uint32_t> increment = conn_recv_.take_update();
  if (increment) queue_window_update(0, *increment);
  return increment.has_value();
}

std::optional<Failure> Connection::recv_settings(bool ack, const Settings& settings,
                                                 DecoderLimits& decoder, SettingsResult* out) {
  *out = SettingsResult();
  if (ack) {
    if (local_settings_ != LocalSettings::kSent) return std::nullopt;  // unsolicited
    const int64_t delta = int64_t(initial_window_size_) - int64_t(local_initial_window_);
    for (const StreamRecord& r : streams_) {
      if (!r.recv_window.can_shift(delta)) return Failure{FailureKind::kFlowControl};
    }
    local_settings_ = LocalSettings::kAcknowledged;
    decoder.set_recv_limits(max_frame_size_, max_header_list_size_);
    local_initial_window_ = initial_window_size_;
    if (delta != 0) {
      for (StreamRecord& r : streams_)
        r.recv_window.shift(delta);
    }
    return std::nullopt;
  }

  // Validate everything first: a refused frame changes nothing.
  if (settings.max_frame_size && !valid_max_frame_size(*settings.max_frame_size))
    return Failure{FailureKind::kBadMaxFrameSize, *settings.max_frame_size};
  // Once announced, extended CONNECT may not be taken back (RFC 8441 section 3).
  if (peer_connect_protocol_ && settings.enable_connect_protocol == false)
    return Failure{FailureKind::kConnectProtocolWithdrawn};
  int64_t send_delta = 0;
  if (settings.initial_window_size && *settings.initial_window_size != peer_initial_window_) {
    send_delta = int64_t(*settings.initial_window_size) - int64_t(peer_initial_window_);
    for (const StreamRecord& r : streams_) {
      if (!r.state.is_send_closed() && !r.send_window.can_shift(send_delta))
        return Failure{FailureKind::kFlowControl};
    }
  }
  if (queued_replies_ >= kMaxQueuedReplies)
    return Failure{FailureKind::kTooManyQueuedControlFrames};
  ++queued_replies_;

  // The acknowledgement goes out ahead of anything these values make us send.
  write_settings_ack(&pending_);
  out->flags |= flag::kWake;
  out->initial = !peer_settings_seen_;
  peer_settings_seen_ = true;

  if (settings.header_table_size) {
    peer_header_table_size_ = *settings.header_table_size;
    encoder_.update_max_table_size(std::min(peer_header_table_size_, hpack::kEncoderTableCap));
  }
  if (settings.max_frame_size) peer_max_frame_size_ = *settings.max_frame_size;
  if (settings.enable_connect_protocol == true) peer_connect_protocol_ = true;
  if (settings.max_concurrent_streams) {
    peer_max_concurrent_ = settings.max_concurrent_streams;
    if (!server_) {
      stream_limit_ = peer_max_concurrent_;
      out->flags |= flag::kSlotFreed;
    }
  }
  if (send_delta != 0) {
    peer_initial_window_ = *settings.initial_window_size;
    // Only streams that may still send DATA have a send window to correct; the connection
    // window is not an initial window and stays as it is.
    for (StreamRecord& r : streams_) {
      if (r.state.is_send_closed()) continue;
      r.send_window.shift(send_delta);
      if (send_delta > 0) out->wake_windows.push_back(r.handle.share());
    }
  }
  return std::nullopt;
}

std::optional<Failure> Connection::recv_ping(bool ack, std::string_view payload, uint32_t* flags) {
  *flags = 0;
  if (!ack) {
    if (queued_replies_ >= kMaxQueuedReplies)
      return Failure{FailureKind::kTooManyQueuedControlFrames};
    queue_ping(payload, true);
    ++queued_replies_;
    *flags = flag::kWake;
    return std::nullopt;
  }
  // The client has acknowledged the shutdown PING, so it has processed every stream it opened
  // before our first GOAWAY: last_processed_id is now the true last stream.
  if (server_ && graceful_ && !shutdown_final_ && payload == kShutdownPing) {
    shutdown_final_ = true;
    max_stream_id_ = last_processed_id_;
    queue_goaway(last_processed_id_, kNoError);
    *flags = flag::kWake | (num_streams_ == 0 ? flag::kStopAccepting : 0);
  }
  return std::nullopt;
}

}  // namespace quillet::h2
