// H2Codec: one HTTP/2 frame decoder with its HPACK decoder, one HPACK encoder and the frame
// writers, behind the object's own mutex.
#pragma once

#include "src/py/ref.h"

namespace quillet::py {

// The class (borrowed type object, made on first use), or nullptr with the Python error set.
PyTypeObject* h2_codec_type();

}  // namespace quillet::py
