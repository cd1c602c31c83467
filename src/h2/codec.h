// H2Codec: one HTTP/2 frame decoder with its HPACK decoder, one HPACK encoder and the frame
// writers, behind the object's own mutex.
#pragma once

#include "src/py/ref.h"
#include "wire/h2/header_block.h"

namespace quillet::py {

// The class (borrowed type object, made on first use), or nullptr with the Python error set.
PyTypeObject* h2_codec_type();

// The ValueError for a response head that could not be built (H2Codec and H2Streams alike).
PyObject* raise_response_block_error(h2::ResponseBlockError error);

}  // namespace quillet::py
