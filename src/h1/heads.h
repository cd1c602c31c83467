// H1RequestHead and H1ResponseHead: the parsed heads handed to Python.
#pragma once

#include "src/http/pair_cache.h"
#include "src/py/ref.h"
#include "wire/h1/head.h"

#include <memory>

namespace quillet::py {

PyTypeObject* request_head_type();
PyTypeObject* response_head_type();

// New head objects made from parsed heads (whose header maps are moved into them), or nullptr
// with the Python error set. A request head's map shares `pairs` (may be null).
PyObject* make_request_head(h1::RequestHead&& head, std::shared_ptr<PairCache> pairs = nullptr);
PyObject* make_response_head(h1::ResponseHead&& head);

// The shared str of a body kind (borrowed).
PyObject* body_kind_str(h1::BodyKind kind);

// The str of a method: the shared one for a standard method (new reference).
PyObject* method_str(h1::Method method, std::string_view extension);

}  // namespace quillet::py
