// One side of an HTTP/2 connection for the C++ tests and fuzz targets: the connection state with
// a frame decoder of its own, and the dispatch of decoded frames to the state, as a driver does.
#pragma once

#include "tests/support/server_cores.h"
#include "wire/common/handle.h"
#include "wire/h2/connection.h"
#include "wire/h2/frame.h"

#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::h2::test_support {

// The counted stand-ins every connection test shares: their hooks install once per process.
using h1::test_support::install_counting_hooks;
using h1::test_support::Obj;
using h1::test_support::ref;

class Peer final : public DecoderLimits {
 public:
  explicit Peer(ConnectionConfig config) : conn(config), decoder(config.server) {}

  void set_recv_limits(uint32_t max_frame_size, uint32_t max_header_list_size) override {
    decoder.set_max_frame_size(max_frame_size);
    decoder.set_max_header_list_size(max_header_list_size);
  }

  // Everything queued, as one batch.
  std::string take() {
    bool stopping = false;
    return conn.take_pending(&stopping);
  }

  // What one receive produced, verdict by verdict.
  struct Outcome {
    std::optional<FrameError> decode_error;
    std::optional<Failure> failure;  // a connection error: dispatching stopped there
    std::vector<Connection::SettingsResult> settings;
    std::vector<uint32_t> ping_flags;
    std::vector<RecvHeadersVerdict> headers;
    std::vector<RecvDataVerdict> data;
    std::vector<std::string> payloads;  // of the delivered DATA, in order
    std::vector<std::vector<Handle>> window_wakes;
    std::vector<PeerResetVerdict> resets;
    std::vector<Connection::GoAwayResult> goaways;
    std::vector<std::pair<uint32_t, uint32_t>> stream_errors;  // (sid, reason), answered
    uint32_t flags = 0;
  };

  // Decodes `bytes` and hands each frame to the state. A stream error is answered with
  // reset_on_error and dispatching goes on; a connection error stops it.
  Outcome receive(std::string_view bytes) {
    Outcome out;
    DecodeBatch batch;
    out.decode_error = decoder.decode(bytes, &batch);
    if (out.decode_error) return out;
    for (const FrameEvent& e : batch.events) {
      std::optional<Failure> failure = dispatch(batch, e, out);
      if (failure && failure->kind == FailureKind::kStream) {
        out.stream_errors.emplace_back(uint32_t(failure->value), failure->reason);
        ResetVerdict v;
        failure = conn.reset_on_error(uint32_t(failure->value), failure->reason, &v, bin);
        out.flags |= v.flags;
      }
      if (failure) {
        out.failure = failure;
        break;
      }
    }
    out.flags |= conn.maybe_goaway_reply();
    return out;
  }

  // Declared first so that it outlives everything holding references to its objects.
  std::list<Obj> spares;  // the handles of the streams the peer opened, by creation
  Connection conn;
  FrameDecoder decoder;
  HandleBin bin;

 private:
  std::optional<Failure> dispatch(const DecodeBatch& batch, const FrameEvent& e, Outcome& out) {
    std::optional<Failure> failure;
    switch (e.kind) {
      case FrameEventKind::kSettings: {
        Connection::SettingsResult result;
        failure = conn.recv_settings(e.flag, e.settings, *this, &result);
        out.flags |= result.flags;
        out.settings.push_back(std::move(result));
        break;
      }
      case FrameEventKind::kPing: {
        uint32_t flags = 0;
        failure = conn.recv_ping(e.flag, std::string_view(e.ping.data(), 8), &flags);
        out.flags |= flags;
        out.ping_flags.push_back(flags);
        break;
      }
      case FrameEventKind::kHeaders: {
        const BlockFacts facts = block_facts(*e.block);
        Connection::HeadersFrame frame;
        frame.stream_id = e.stream_id;
        frame.end_stream = e.flag;
        frame.status = facts.status;
        frame.content_length = facts.content_length;
        frame.content_length_invalid = facts.content_length_invalid;
        frame.shape = facts.shape;
        frame.over_size = facts.over_size;
        Handle spare;
        if (conn.is_server())
          spare = ref(spares.emplace_back("stream " + std::to_string(e.stream_id)));
        RecvHeadersVerdict v;
        failure = conn.recv_headers(frame, std::move(spare), &v, bin);
        out.flags |= v.flags;
        out.headers.push_back(std::move(v));
        break;
      }
      case FrameEventKind::kData: {
        Connection::DataFrame frame;
        frame.stream_id = e.stream_id;
        frame.end_stream = e.flag;
        frame.flow_controlled_len = e.length;
        frame.data_len = e.length - e.padding;
        RecvDataVerdict v;
        failure = conn.recv_data(frame, &v, bin);
        out.flags |= v.flags;
        if (v.deliver) out.payloads.emplace_back(batch.bytes(e));
        out.data.push_back(std::move(v));
        break;
      }
      case FrameEventKind::kWindowUpdate: {
        std::vector<Handle> wake;
        failure = conn.recv_window_update(e.stream_id, e.code, &wake);
        out.window_wakes.push_back(std::move(wake));
        break;
      }
      case FrameEventKind::kRstStream: {
        PeerResetVerdict v;
        failure = conn.recv_reset(e.stream_id, e.code, &v, bin);
        out.flags |= v.flags;
        out.resets.push_back(std::move(v));
        break;
      }
      case FrameEventKind::kGoAway: {
        Connection::GoAwayResult result;
        failure = conn.recv_go_away(e.stream_id, e.code, batch.bytes(e), &result, bin);
        out.flags |= result.flags;
        out.goaways.push_back(std::move(result));
        break;
      }
      case FrameEventKind::kStreamError:
        failure = Failure{FailureKind::kStream, e.stream_id, e.code};
        break;
      case FrameEventKind::kPriority:
        break;
    }
    return failure;
  }
};

inline ConnectionConfig client_config() {
  ConnectionConfig c;
  c.max_send_buf_size = 1 << 20;
  return c;
}

inline ConnectionConfig server_config() {
  ConnectionConfig c = client_config();
  c.server = true;
  return c;
}

}  // namespace quillet::h2::test_support
