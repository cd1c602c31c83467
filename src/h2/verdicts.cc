// Verdicts are made once per call and never change, so each is a plain record of Python
// references and numbers: no lock, no cycle (a handle is the driver's own object and never leads
// back to a verdict the connection made). The write batch is the exception on both counts; see
// below.
#include "src/h2/verdicts.h"

#include "src/py/handle.h"
#include "src/py/repr.h"
#include "src/py/types.h"

#include <utility>

namespace quillet::py {
namespace {

// Every Ref field of a verdict is filled (None stands for "absent"), so getters return it as is.
template <class State, Ref State::*kField>
PyObject* get_ref(PyObject* self, void*) {
  return Py_NewRef((unbox<State>(self).*kField).get());
}
template <class State, bool State::*kField>
PyObject* get_bool(PyObject* self, void*) {
  return new_bool(unbox<State>(self).*kField);
}
template <class State, uint32_t State::*kField>
PyObject* get_u32(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<State>(self).*kField);
}

#define GETTER(name, fn, doc) \
  { name, as_getter<fn>(), nullptr, doc, nullptr }
#define END_GETTERS \
  { nullptr, nullptr, nullptr, nullptr, nullptr }

#define FLAGS_DOC "The H2_FLAG_* bits the driver acts on (any combination)."

// One final, internal-only class whose instances box `State`.
#define VERDICT_CLASS(var, name, doc, State, getters, repr)                                   \
  PyType_Slot var##Slots[] = {                                                                \
      {Py_tp_doc, const_cast<char*>(doc)},                                                    \
      {Py_tp_dealloc, as_slot<box_dealloc<State>>()},                                         \
      {Py_tp_getset, getters},                                                                \
      {repr == nullptr ? 0 : Py_tp_repr, repr}, /* no repr slot: the list ends here */        \
      {0, nullptr},                                                                           \
  };                                                                                          \
  PyType_Spec var##Spec = {QUILLET_CLASS_NAME(name), sizeof(Boxed<State>), 0, 0, var##Slots}; \
  TypeHolder var(&var##Spec, Subclassing::kFinal, Construction::kInternalOnly);

// ---------------------------------------------------------------------------------------------
// H2Stopped

struct StopState {
  h2::Stop stop;
};

PyObject* stopped_reason(PyObject* self, void*) {
  const std::optional<uint32_t>& reason = unbox<StopState>(self).stop.reason;
  return reason ? PyLong_FromUnsignedLong(*reason) : new_none();
}
PyObject* stopped_conn(PyObject* self, void*) {
  return new_bool(unbox<StopState>(self).stop.conn);
}

PyObject* stopped_repr(PyObject* self) {
  const h2::Stop& stop = unbox<StopState>(self).stop;
  ReprWriter w("H2Stopped");
  w.field("reason", stop.reason ? std::optional<uint64_t>(*stop.reason) : std::nullopt)
      .field("conn", stop.conn);
  return w.finish();
}

PyGetSetDef kStoppedGetters[] = {
    GETTER("reason", stopped_reason,
           "The HTTP/2 error code that stopped the stream, or None when it ended with no reason "
           "to report."),
    GETTER("conn", stopped_conn,
           "True when the stop comes from the connection (GOAWAY or failure), false for a "
           "stream reset."),
    END_GETTERS,
};

void* const kStoppedRepr = as_slot<stopped_repr>();

VERDICT_CLASS(g_stopped, "H2Stopped", "Why a stream can no longer proceed.", StopState,
              kStoppedGetters, kStoppedRepr)

// ---------------------------------------------------------------------------------------------
// H2SendVerdict

struct SendState {
  uint32_t sent = 0;
  bool done = false;
  Ref stopped;
  Ref handle;
  Ref reader_stop;
  uint32_t flags = 0;
};

PyGetSetDef kSendGetters[] = {
    GETTER("sent", (get_u32<SendState, &SendState::sent>),
           "Payload bytes framed and queued by this call."),
    GETTER("done", (get_bool<SendState, &SendState::done>),
           "Whether everything asked for is queued; false with sent == 0 means: wait for the "
           "stream's window and retry."),
    GETTER("stopped", (get_ref<SendState, &SendState::stopped>),
           "The H2Stopped that kept the stream from sending (nothing was queued), or None."),
    GETTER("handle", (get_ref<SendState, &SendState::handle>),
           "The handle of a stream whose reader must be given reader_stop, or None."),
    GETTER("reader_stop", (get_ref<SendState, &SendState::reader_stop>),
           "The H2Stopped to publish to handle's reader, or None."),
    GETTER("flags", (get_u32<SendState, &SendState::flags>), FLAGS_DOC),
    END_GETTERS,
};

VERDICT_CLASS(g_send, "H2SendVerdict", "What a send step queued, and whom it stopped.", SendState,
              kSendGetters, nullptr)

// ---------------------------------------------------------------------------------------------
// H2RecvHeadersVerdict

struct RecvHeadersState {
  uint32_t kind = 0;
  Ref handle;
  uint32_t stream_id = 0;
  bool eof = false;
  uint32_t flags = 0;
};

PyGetSetDef kRecvHeadersGetters[] = {
    GETTER("kind", (get_u32<RecvHeadersState, &RecvHeadersState::kind>),
           "What the header block is: one of the H2_HEADERS_* constants."),
    GETTER("handle", (get_ref<RecvHeadersState, &RecvHeadersState::handle>),
           "The stream's handle (for a newly opened stream, the spare it consumed), or None."),
    GETTER("stream_id", (get_u32<RecvHeadersState, &RecvHeadersState::stream_id>),
           "The frame's stream id."),
    GETTER("eof", (get_bool<RecvHeadersState, &RecvHeadersState::eof>),
           "Whether the frame ended the peer's side of the stream."),
    GETTER("flags", (get_u32<RecvHeadersState, &RecvHeadersState::flags>), FLAGS_DOC),
    END_GETTERS,
};

VERDICT_CLASS(g_recv_headers, "H2RecvHeadersVerdict", "What a received header block means.",
              RecvHeadersState, kRecvHeadersGetters, nullptr)

// ---------------------------------------------------------------------------------------------
// H2RecvDataVerdict

struct RecvDataState {
  Ref handle;
  Ref payload;
  bool budgeted = false;
  bool eof = false;
  uint32_t flags = 0;
};

PyGetSetDef kRecvDataGetters[] = {
    GETTER("handle", (get_ref<RecvDataState, &RecvDataState::handle>),
           "The stream's handle, or None when the frame was discarded."),
    GETTER("payload", (get_ref<RecvDataState, &RecvDataState::payload>),
           "The bytes to deliver to the stream's body, or None when nothing is delivered."),
    GETTER("budgeted", (get_bool<RecvDataState, &RecvDataState::budgeted>),
           "Whether the chunk is charged to the DATA budget: return the charge with "
           "release_data_frame(sid, len(payload)) once it is consumed."),
    GETTER("eof", (get_bool<RecvDataState, &RecvDataState::eof>),
           "Whether the body ends after this payload."),
    GETTER("flags", (get_u32<RecvDataState, &RecvDataState::flags>), FLAGS_DOC),
    END_GETTERS,
};

VERDICT_CLASS(g_recv_data, "H2RecvDataVerdict", "Where a received DATA frame's payload goes.",
              RecvDataState, kRecvDataGetters, nullptr)

// ---------------------------------------------------------------------------------------------
// H2ResetVerdict

struct ResetState {
  Ref handle;
  Ref stop;
  uint32_t flags = 0;
};

PyGetSetDef kResetGetters[] = {
    GETTER("handle", (get_ref<ResetState, &ResetState::handle>),
           "The stream to notify, or None when no live stream was affected."),
    GETTER("stop", (get_ref<ResetState, &ResetState::stop>),
           "The H2Stopped to publish to it, or None."),
    GETTER("flags", (get_u32<ResetState, &ResetState::flags>), FLAGS_DOC),
    END_GETTERS,
};

VERDICT_CLASS(g_reset, "H2ResetVerdict", "Which stream a reset stopped, and how.", ResetState,
              kResetGetters, nullptr)

#undef VERDICT_CLASS
#undef FLAGS_DOC
#undef END_GETTERS
#undef GETTER

// ---------------------------------------------------------------------------------------------
// H2WriteBatch
//
// The batch owns the pending-send buffer while the pump writes it, so the transport reads the
// very bytes the connection framed. Its owner may be kept alive by nothing but the batch, and a
// driver may hang the batch's memoryview on that owner, so the batch is traversed by the
// collector. It has no clear of its own: it must keep the owner until its deallocation gives the
// buffer back, and the owner's clear already breaks such a cycle.

struct BatchState {
  BatchState(PyObject* owner_, std::string&& bytes_, GiveBack give_back_)
      : owner(Ref::borrow(owner_)), bytes(std::move(bytes_)), give_back(give_back_) {}
  Ref owner;  // null once the batch has nothing to give back
  std::string bytes;
  GiveBack give_back;
};

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(unbox<BatchState>(self).owner.get());
  return 0;
}

void batch_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  BatchState& s = unbox<BatchState>(self);
  // Kept until the batch is freed, so the owner's own deallocation (if this was its last
  // reference) never sees a half-destroyed batch.
  Ref owner = std::move(s.owner);
  if (owner) {
    s.bytes.clear();
    s.give_back(owner.get(), std::move(s.bytes));
  }
  PyTypeObject* type = Py_TYPE(self);
  s.~BatchState();
  type->tp_free(self);
  Py_DECREF(type);
}

int batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  const std::string& bytes = unbox<BatchState>(self).bytes;
  // Read-only: refuses a writable request with BufferError.
  return PyBuffer_FillInfo(view, self, const_cast<char*>(bytes.data()), Py_ssize_t(bytes.size()), 1,
                           flags);
}

Py_ssize_t batch_length(PyObject* self) {
  return Py_ssize_t(unbox<BatchState>(self).bytes.size());
}

PyType_Slot kBatchSlots[] = {
    {Py_tp_doc, const_cast<char*>("One batch of output on its way to the transport, exported "
                                  "read-only through the buffer protocol.")},
    {Py_tp_dealloc, as_slot<batch_dealloc>()},
    {Py_tp_traverse, as_slot<batch_traverse>()},
    {Py_bf_getbuffer, as_slot<batch_getbuffer>()},
    {Py_sq_length, as_slot<batch_length>()},
    {0, nullptr},
};
PyType_Spec kBatchSpec = {QUILLET_CLASS_NAME("H2WriteBatch"), sizeof(Boxed<BatchState>), 0, 0,
                          kBatchSlots};
TypeHolder g_batch(&kBatchSpec, Subclassing::kFinalCollected, Construction::kInternalOnly);

// ---------------------------------------------------------------------------------------------

Ref optional_stopped_ref(const std::optional<h2::Stop>& stop) {
  return Ref::steal(optional_stopped_object(stop));
}

}  // namespace

PyTypeObject* stopped_type() {
  return g_stopped.get();
}
PyTypeObject* send_verdict_type() {
  return g_send.get();
}
PyTypeObject* recv_headers_verdict_type() {
  return g_recv_headers.get();
}
PyTypeObject* recv_data_verdict_type() {
  return g_recv_data.get();
}
PyTypeObject* reset_verdict_type() {
  return g_reset.get();
}
PyTypeObject* write_batch_type() {
  return g_batch.get();
}

PyObject* stopped_object(const h2::Stop& stop) {
  PyTypeObject* type = stopped_type();
  if (type == nullptr) return nullptr;
  return box_new<StopState>(type, StopState{stop});
}

PyObject* optional_stopped_object(const std::optional<h2::Stop>& stop) {
  return stop ? stopped_object(*stop) : new_none();
}

PyObject* send_verdict_object(h2::SendVerdict&& v) {
  PyTypeObject* type = send_verdict_type();
  if (type == nullptr) return nullptr;
  SendState s;
  s.stopped = optional_stopped_ref(v.stopped);
  if (!s.stopped) return nullptr;
  s.reader_stop = optional_stopped_ref(v.reader_stop);
  if (!s.reader_stop) return nullptr;
  s.sent = v.sent;
  s.done = v.done;
  s.handle = handle_to_ref(std::move(v.handle));
  s.flags = v.flags;
  return box_new<SendState>(type, std::move(s));
}

PyObject* recv_headers_verdict_object(h2::RecvHeadersVerdict&& v) {
  PyTypeObject* type = recv_headers_verdict_type();
  if (type == nullptr) return nullptr;
  RecvHeadersState s;
  s.kind = uint32_t(v.kind);
  s.handle = handle_to_ref(std::move(v.handle));
  s.stream_id = v.stream_id;
  s.eof = v.eof;
  s.flags = v.flags;
  return box_new<RecvHeadersState>(type, std::move(s));
}

PyObject* recv_data_verdict_object(h2::RecvDataVerdict&& v, PyObject* payload) {
  PyTypeObject* type = recv_data_verdict_type();
  if (type == nullptr) return nullptr;
  RecvDataState s;
  s.payload = Ref::borrow(v.deliver ? payload : Py_None);
  s.handle = handle_to_ref(std::move(v.handle));
  s.budgeted = v.budgeted;
  s.eof = v.eof;
  s.flags = v.flags;
  return box_new<RecvDataState>(type, std::move(s));
}

PyObject* reset_verdict_object(h2::ResetVerdict&& v) {
  PyTypeObject* type = reset_verdict_type();
  if (type == nullptr) return nullptr;
  ResetState s;
  s.stop = optional_stopped_ref(v.stop);
  if (!s.stop) return nullptr;
  s.handle = handle_to_ref(std::move(v.handle));
  s.flags = v.flags;
  return box_new<ResetState>(type, std::move(s));
}

PyObject* write_batch_view(PyObject* owner, std::string&& bytes, GiveBack give_back) {
  PyTypeObject* type = write_batch_type();
  if (type == nullptr) return nullptr;
  Ref batch = Ref::steal(box_new<BatchState>(type, owner, std::move(bytes), give_back));
  if (!batch) return nullptr;
  PyObject* view = PyMemoryView_FromObject(batch.get());
  if (view == nullptr) {
    // The caller keeps its bytes: take them back before the batch dies, and with the owner
    // gone the batch has nothing to give back.
    BatchState& s = unbox<BatchState>(batch.get());
    bytes = std::move(s.bytes);
    s.owner = Ref();
  }
  return view;
}

}  // namespace quillet::py
