// How the connection ends: the graceful shutdown and the objects it holds for the driver.
#include "wire/h2/connection.h"

#include <utility>

namespace quillet::h2 {

void Connection::queue_goaway(uint32_t last_stream_id, uint32_t error_code) {
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
  queue_goaway(kMaxStreamId, 0);
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
