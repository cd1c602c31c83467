// The HTTP/2 connection's answers as Python objects: H2Stopped, the four verdict classes and the
// write batch that hands the pending-send buffer to the pump without a copy.
//
// Every function here makes Python objects and drops references, so it is called with no lock
// held; the wire/ verdicts it converts were taken out under the lock beforehand.
#pragma once

#include "src/py/ref.h"
#include "wire/h2/verdict.h"

#include <optional>
#include <string>

namespace quillet::py {

// The classes (borrowed type objects, made on first use), or nullptr with the Python error set.
PyTypeObject* stopped_type();               // H2Stopped
PyTypeObject* send_verdict_type();          // H2SendVerdict
PyTypeObject* recv_headers_verdict_type();  // H2RecvHeadersVerdict
PyTypeObject* recv_data_verdict_type();     // H2RecvDataVerdict
PyTypeObject* reset_verdict_type();         // H2ResetVerdict
PyTypeObject* write_batch_type();           // H2WriteBatch

// New references, or nullptr with the Python error set. A verdict's handles move into the
// object; on failure whatever is left in the verdict stays the caller's to release.
PyObject* stopped_object(const h2::Stop& stop);
PyObject* optional_stopped_object(const std::optional<h2::Stop>& stop);  // None when absent
PyObject* send_verdict_object(h2::SendVerdict&& v);
PyObject* recv_headers_verdict_object(h2::RecvHeadersVerdict&& v);
// `payload` (borrowed) is the DATA frame's bytes: the verdict carries it when `v.deliver`, and
// None otherwise.
PyObject* recv_data_verdict_object(h2::RecvDataVerdict&& v, PyObject* payload);
PyObject* reset_verdict_object(h2::ResetVerdict&& v);

// Hands a batch's buffer back to its owner when the batch dies, cleared but with its capacity,
// so that the owner can reuse the allocation for its next batch. It runs inside a deallocation
// (possibly one the cyclic collector started) with the owner still referenced, and must neither
// throw nor run Python code: it takes the owner's lock and stores the buffer, nothing more.
using GiveBack = void (*)(PyObject* owner, std::string&& buffer) noexcept;

// Moves `bytes` into a new H2WriteBatch that keeps a strong reference to `owner`, and returns a
// read-only memoryview over it (the view keeps the batch alive, so no view outlives the bytes).
// When the batch goes away it calls `give_back(owner, buffer)` exactly once, then drops `owner`.
// On failure `bytes` is left as it was and nothing is given back.
PyObject* write_batch_view(PyObject* owner, std::string&& bytes, GiveBack give_back);

}  // namespace quillet::py
