// H1Codec: one HTTP/1 connection's codec.
#pragma once

#include "src/http/pair_cache.h"
#include "src/py/lock.h"
#include "src/py/ref.h"
#include "wire/h1/codec.h"

#include <memory>

namespace quillet::py {

struct CodecState {
  explicit CodecState(const h1::CodecConfig& config) : codec(config) {}
  ObjectLock lock;
  h1::Codec codec;  // guarded by `lock`, except its config, which never changes
  // The pairs of the last request heads, shared with their header maps; made with the first
  // request head (guarded by `lock`; the cache has a lock of its own).
  std::shared_ptr<PairCache> pairs;
};

PyTypeObject* codec_type();
bool codec_check(PyObject* obj);
CodecState& codec_state(PyObject* codec);

// A response status given as an unsigned value: ValueError("invalid status: ...") unless it has
// three digits.
bool status_from(uint64_t value, h1::StatusCode* out);

}  // namespace quillet::py
