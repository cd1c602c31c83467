// H1Codec: one HTTP/1 connection's codec.
#pragma once

#include "src/py/lock.h"
#include "src/py/ref.h"
#include "wire/h1/codec.h"

namespace quillet::py {

struct CodecState {
  explicit CodecState(const h1::CodecConfig& config) : codec(config) {}
  ObjectLock lock;
  h1::Codec codec;  // guarded by `lock`, except its config, which never changes
};

PyTypeObject* codec_type();
bool codec_check(PyObject* obj);
CodecState& codec_state(PyObject* codec);

// A response status given as an unsigned value: ValueError("invalid status: ...") unless it has
// three digits.
bool status_from(uint64_t value, h1::StatusCode* out);

}  // namespace quillet::py
