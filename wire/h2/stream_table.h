// The streams of one HTTP/2 connection: one record per stream the connection still knows, kept
// in stream-id order.
//
// Ids of new streams only grow (ours are allocated in order, the peer's must exceed every id it
// used before), so records are kept in a vector sorted by id: a new stream is appended, a lookup
// is a binary search over a few contiguous records, and walking the table visits streams in id
// order, which is the order every fan-out reports them in.
#pragma once

#include "wire/common/handle.h"
#include "wire/h2/content_length.h"
#include "wire/h2/flow_control.h"
#include "wire/h2/stream_state.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet::h2 {

struct StreamRecord {
  explicit StreamRecord(uint32_t stream_id) : id(stream_id) {}

  uint32_t id;
  Handle handle;  // the driver's per-stream object
  StreamState state;
  FlowControl send_window;
  FlowControl recv_window;
  ContentLength content_length;
  uint32_t send_buffered = 0;    // DATA queued and not yet credited back as written
  uint32_t recv_unreleased = 0;  // DATA received and not yet released by the application
  bool recv_reclaimed = false;   // the in-flight receive capacity went back to the connection
  uint32_t budget_charged = 0;   // what this stream's small DATA frames owe the budget
  bool local_slot = false;       // opened by us on a claimed stream slot
  bool connect = false;          // our CONNECT (extended or not): a 2xx answer opens a tunnel
  bool close_counted = false;    // the close bookkeeping ran
  // The send rotation.
  bool in_rotation = false;
  bool waiting_capacity = false;
  uint8_t turn_frames = 0;
};

class StreamTable {
 public:
  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void swap(StreamTable& other) noexcept { records_.swap(other.records_); }

  StreamRecord* find(uint32_t id);
  const StreamRecord* find(uint32_t id) const;

  // Inserts a fresh record for `id`. A record already under that id is replaced; its handle
  // goes into `bin`.
  StreamRecord& insert(uint32_t id, HandleBin& bin);

  // Removes the record of `id`, if any; its handle goes into `bin`.
  void erase(uint32_t id, HandleBin& bin);

  // In id order. Inserting or erasing invalidates iterators and record pointers.
  auto begin() { return records_.begin(); }
  auto end() { return records_.end(); }
  auto begin() const { return records_.begin(); }
  auto end() const { return records_.end(); }

 private:
  std::vector<StreamRecord>::iterator lower_bound(uint32_t id);
  std::vector<StreamRecord> records_;
};

}  // namespace quillet::h2
