// One side of an HTTP/2 connection for the C++ tests and fuzz targets: the connection state with
// a frame decoder of its own, and the dispatch of decoded frames to the state, as a driver does.
#pragma once

#include "tests/support/server_cores.h"
#include "wire/common/handle.h"
#include "wire/h2/connection.h"
#include "wire/h2/frame.h"

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

  // What the last dispatch produced.
  struct Outcome {
    std::optional<FrameError> decode_error;
    std::optional<Failure> failure;
    std::vector<Connection::SettingsResult> settings;
    std::vector<uint32_t> ping_flags;
    std::vector<FrameEventKind> undispatched;  // kinds this harness does not hand on
  };

  // Decodes `bytes` and hands each frame to the state, stopping at the first failure.
  Outcome receive(std::string_view bytes) {
    Outcome out;
    DecodeBatch batch;
    out.decode_error = decoder.decode(bytes, &batch);
    if (out.decode_error) return out;
    for (const FrameEvent& e : batch.events) {
      switch (e.kind) {
        case FrameEventKind::kSettings: {
          Connection::SettingsResult result;
          out.failure = conn.recv_settings(e.flag, e.settings, *this, &result);
          out.settings.push_back(std::move(result));
          break;
        }
        case FrameEventKind::kPing: {
          uint32_t flags = 0;
          out.failure = conn.recv_ping(e.flag, std::string_view(e.ping.data(), 8), &flags);
          out.ping_flags.push_back(flags);
          break;
        }
        case FrameEventKind::kData:
        case FrameEventKind::kHeaders:
        case FrameEventKind::kWindowUpdate:
        case FrameEventKind::kGoAway:
        case FrameEventKind::kRstStream:
        case FrameEventKind::kPriority:
        case FrameEventKind::kStreamError:
          out.undispatched.push_back(e.kind);
          break;
      }
      if (out.failure) break;
    }
    return out;
  }

  Connection conn;
  FrameDecoder decoder;
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
