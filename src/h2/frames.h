// The HTTP/2 frame events as Python objects (H2FrameData, H2FrameHeaders, H2FrameSettings,
// H2FrameWindowUpdate, H2FramePing, H2FrameGoAway, H2FrameRstStream, H2FramePriority,
// H2FrameStreamError) and H2Reason, the RFC 9113 error-code wrapper.
#pragma once

#include "src/py/ref.h"
#include "wire/h2/frame.h"

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

// The events of one decode call as a new list, in wire order (the header blocks are moved out of
// `batch`); nullptr with the Python error set. Called without any lock held.
PyObject* frame_events_list(h2::DecodeBatch& batch);

}  // namespace quillet::py
