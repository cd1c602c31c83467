// H1BodyDecoder: one HTTP/1 message body, decoded as it arrives.
#pragma once

#include "src/py/lock.h"
#include "src/py/ref.h"
#include "wire/h1/body_decoder.h"

namespace quillet::py {

struct BodyDecoderState {
  explicit BodyDecoderState(h1::BodyDecoder&& d) : decoder(std::move(d)) {}
  ObjectLock lock;
  h1::BodyDecoder decoder;  // guarded by `lock`
  Ref lender;               // the bytes the decoder reads in place, while it does
};

PyTypeObject* body_decoder_type();
bool body_decoder_check(PyObject* obj);
BodyDecoderState& body_decoder_state(PyObject* decoder);

// A new decoder for a head's framing (new reference), or nullptr with the Python error set.
PyObject* make_body_decoder(h1::BodyDecoder&& decoder);

}  // namespace quillet::py
