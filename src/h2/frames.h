// The HTTP/2 frame events as Python objects (H2FrameData, H2FrameHeaders, H2FrameSettings,
// H2FrameWindowUpdate, H2FramePing, H2FrameGoAway, H2FrameRstStream, H2FramePriority,
// H2FrameStreamError) and H2Reason, the RFC 9113 error-code wrapper.
#pragma once

#include "src/http/pair_cache.h"

#include <memory>

#include "src/py/ref.h"
#include "wire/h2/frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillet::py {

// The classes (borrowed type objects, made on first use), or nullptr with the Python error set.
PyTypeObject* frame_headers_type();
PyTypeObject* frame_data_type();
PyTypeObject* frame_settings_type();
PyTypeObject* frame_window_update_type();
PyTypeObject* frame_ping_type();
PyTypeObject* frame_go_away_type();
PyTypeObject* frame_rst_stream_type();
PyTypeObject* frame_priority_type();
PyTypeObject* frame_stream_error_type();
PyTypeObject* reason_type();

// What every event class holds; each class exposes the fields its frame carries. Fixed once the
// event is made, so it is read without a lock.
struct FrameFields {
  uint32_t stream_id = 0;
  uint32_t code = 0;  // error code or increment
  uint32_t length = 0;
  uint32_t padding = 0;
  bool flag = false;  // END_STREAM or ACK
  Ref bytes;          // data, ping data or debug data
  h2::Settings settings;
  // HEADERS
  Ref headers;
  std::array<Ref, 5> pseudo;  // method, scheme, authority, path, protocol (str or None)
  std::optional<uint32_t> status;
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
  h2::ReceivedShape shape;
  bool over_size = false;
  size_t field_count = 0;
};

// The fields of `obj` when it is an event of class `type` (the frame classes are final), else
// nullptr with a TypeError naming the argument `name`.
const FrameFields* frame_fields(PyObject* obj, PyTypeObject* type, const char* name);

// The pair cache the header blocks of `batch` share: `*owner` (the connection's), made with the
// first block that has fields; null when the batch has none. Called under the lock that guards
// `*owner`; it allocates C++ memory only.
std::shared_ptr<PairCache> header_pairs(const h2::DecodeBatch& batch,
                                        std::shared_ptr<PairCache>* owner);

// The events of one decode call as a new list, in wire order (the header blocks are moved out of
// `batch`; their maps share `pairs`, the connection's pair cache, when there is one); nullptr
// with the Python error set. Called without any lock held.
PyObject* frame_events_list(h2::DecodeBatch& batch, const std::shared_ptr<PairCache>& pairs);

}  // namespace quillet::py
