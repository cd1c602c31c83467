// H1ServerState: the Python face of h1::ServerState. Each method converts its arguments, takes
// the object's lock once for the transition, and builds its result after unlocking; whatever a
// transition lets go of goes into a HandleBin declared before the lock, so it is released after
// the unlock. The codec and the current body decoder are reached through `Cores`, which takes
// their locks inside the state's (state first, then one of the others at a time).
#include "src/h1/server_state.h"

#include "src/h1/body_decoder.h"
#include "src/h1/codec.h"
#include "src/h1/heads.h"
#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/call.h"
#include "src/py/errors.h"
#include "src/py/handle.h"
#include "src/py/lock.h"
#include "src/py/repr.h"
#include "src/py/types.h"
#include "wire/h1/server_state.h"

#include <array>
#include <optional>
#include <string>

namespace quillet::py {
namespace {

using h1::NextStep;
using h1::RequestVerdict;

struct ServerBox {
  ServerBox(Ref codec_obj, Handle transport, bool keep_alive, bool half_close)
      : codec(std::move(codec_obj)), state(std::move(transport), keep_alive, half_close) {}
  ObjectLock lock;
  const Ref codec;        // never replaced, so read without the lock
  h1::ServerState state;  // guarded by `lock`
};

ServerBox& box(PyObject* self) {
  return unbox<ServerBox>(self);
}

// The codec and the body decoders as the state sees them: each operation takes the lock of the
// object it works on, inside the state's lock.
class Cores final : public h1::ServerCores {
 public:
  explicit Cores(ServerBox& b) : codec_(codec_state(b.codec.get())) {}

  h1::HeadResult parse_head(std::string_view data, h1::RequestHead* head, h1::ParseKind* error,
                            std::string* rest) override {
    Guard guard(codec_.lock);
    const h1::HeadResult result = codec_.codec.receive_request_head(data, head, error);
    if (result == h1::HeadResult::kHead) {
      *rest = codec_.codec.take_body();
      if (head->fields_listed) {
        if (!codec_.pairs) codec_.pairs = std::make_shared<PairCache>();  // C++ memory only
        pairs_ = codec_.pairs;
      }
    }
    return result;
  }

  // The codec's pair cache, for the map of the head just parsed (null when it has none).
  std::shared_ptr<PairCache> take_pairs() { return std::move(pairs_); }

  bool start_body(void* decoder, const h1::RequestHead& head, std::string&& rest) override {
    BodyDecoderState& d = body_decoder_state(static_cast<PyObject*>(decoder));
    Guard guard(d.lock);
    d.decoder = h1::BodyDecoder(head.body_kind, head.content_length);
    d.decoder.feed_owned(std::move(rest));
    return d.decoder.is_complete();
  }

  size_t codec_buffered() override {
    Guard guard(codec_.lock);
    return codec_.codec.buffered();
  }

  void codec_reset() override {
    Guard guard(codec_.lock);
    codec_.codec.reset();
  }

  size_t decoder_to_codec(void* decoder, bool whole) override {
    BodyDecoderState& d = body_decoder_state(static_cast<PyObject*>(decoder));
    std::string bytes;
    {
      Guard guard(d.lock);
      if (!whole && !d.decoder.is_complete()) return 0;
      bytes = d.decoder.take_buffered();
    }
    if (!bytes.empty()) {
      Guard guard(codec_.lock);
      codec_.codec.feed(bytes);
    }
    return bytes.size();
  }

  void codec_feed_read(void* read) override {
    PyObject* data = static_cast<PyObject*>(read);  // bytes: watcher_completed checked it
    Guard guard(codec_.lock);
    codec_.codec.feed(std::string_view(PyBytes_AS_STRING(data), size_t(PyBytes_GET_SIZE(data))));
  }

  std::string codec_take_all() override {
    Guard guard(codec_.lock);
    return codec_.codec.take_body();
  }

  std::optional<h1::UserKind> encode_response(h1::StatusCode status, bool keep_alive, bool http10,
                                              const h1::BodySpec& body, const HeaderMap& headers,
                                              std::string* out, Encoded* verdicts) override {
    Guard guard(codec_.lock);
    std::optional<h1::UserKind> failure =
        codec_.codec.encode_response(status, keep_alive, http10, body, headers, out);
    verdicts->last = codec_.codec.response_is_last();
    verdicts->close_delimited = codec_.codec.response_close_delimited();
    return failure;
  }

 private:
  CodecState& codec_;
  std::shared_ptr<PairCache> pairs_;
};

// --- results ---

PyObject* next_tuple(h1::ServerState::Next next) {
  return Py_BuildValue("(iN)", int(next.step), handle_to_object(std::move(next.object)));
}

PyObject* bytes_or_none(const std::optional<std::string>& bytes) {
  if (!bytes) return new_none();
  return PyBytes_FromStringAndSize(bytes->data(), Py_ssize_t(bytes->size()));
}

bool seq_arg(PyObject* obj, uint64_t* seq) {
  return arg_u64(obj, "seq", seq);
}

// The state and its lock for `locked_call` and its kin; `box_of` for the steps that also reach
// the codec and the body decoders (through Cores, inside the state's lock).
Locked<h1::ServerState> state_of(PyObject* self) {
  ServerBox& b = box(self);
  return {b.lock, b.state};
}
Locked<ServerBox> box_of(PyObject* self) {
  ServerBox& b = box(self);
  return {b.lock, b};
}

using Entries = EntriesOf<state_of>;
using BoxEntries = EntriesOf<box_of>;

constexpr std::array<const char*, 1> kSeqName{"seq"};
constexpr ArgParser kTrySendContinue("try_send_continue", kSeqName, 1, 1);
constexpr ArgParser kBeginBodyRead("begin_body_read", kSeqName, 1, 1);
constexpr ArgParser kCloseWindow("close_window", kSeqName, 1, 1);
constexpr ArgParser kFinishResponse("finish_response", kSeqName, 1, 1);
constexpr ArgParser kFailResponse("fail_response", kSeqName, 1, 1);
constexpr ArgParser kDetach("detach", kSeqName, 1, 1);
constexpr ArgParser kPeerClosedNow("peer_closed_now", kSeqName, 1, 1);
constexpr ArgParser kPeerClosedFlag("peer_closed_flag", kSeqName, 1, 1);
constexpr std::array<const char*, 2> kEndBodyReadNames{"seq", "complete"};
constexpr ArgParser kEndBodyRead("end_body_read", kEndBodyReadNames, 2, 2);

template <const ArgParser& kParser>
using Seq = Params<kParser, arg_u64>;

constexpr auto kFinish = [](ServerBox& b, uint64_t seq) {
  Cores cores(b);
  return b.state.finish_response(cores, seq);
};
constexpr auto kDetachStep = [](ServerBox& b, uint64_t seq, HandleBin& bin) {
  Cores cores(b);
  return b.state.detach(cores, seq, bin);
};

// (switch, close, transport, leftover).
constexpr auto kFinished = [](h1::ServerState::Finished f) {
  return Py_BuildValue("(OONN)", f.switched ? Py_True : Py_False, f.close ? Py_True : Py_False,
                       handle_to_object(std::move(f.transport)), bytes_or_none(f.leftover));
};
// (code, transport, leftover).
constexpr auto kDetached = [](h1::ServerState::Detached d) {
  return Py_BuildValue("(iNN)", int(d.verdict), handle_to_object(std::move(d.transport)),
                       bytes_or_none(d.leftover));
};
// (transport, done, was_closed).
constexpr auto kClosing = [](h1::ServerState::Closing closing) {
  return Py_BuildValue("(NNO)", handle_to_object(std::move(closing.transport)),
                       handle_to_object(std::move(closing.watcher_done)),
                       closing.was_closed ? Py_True : Py_False);
};
// (data, error).
constexpr auto kWatcherResult = [](h1::ServerState::WatcherResult result) {
  return Py_BuildValue("(NN)", handle_to_object(std::move(result.data)),
                       handle_to_object(std::move(result.error)));
};
constexpr auto kBoolOrNone = [](std::optional<bool> value) {
  return value ? new_bool(*value) : new_none();
};
constexpr auto kSeqObject = [](uint64_t seq) { return PyLong_FromUnsignedLongLong(seq); };

// --- construction and collection ---

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 4> kNames{"codec", "transport", "keep_alive",
                                                     "half_close"};
  static constexpr ArgParser kParser("H1ServerState", kNames, 2, 2);
  PyObject* a[4];
  if (!kParser.parse_call(args, kwargs, a)) return nullptr;
  if (!codec_check(a[0])) {
    PyErr_Format(PyExc_TypeError, "codec must be an H1Codec, not %.100s", Py_TYPE(a[0])->tp_name);
    return nullptr;
  }
  bool keep_alive = true;
  bool half_close = false;
  if ((a[2] != nullptr && !arg_bool(a[2], "keep_alive", &keep_alive)) ||
      (a[3] != nullptr && !arg_bool(a[3], "half_close", &half_close))) {
    return nullptr;
  }
  return box_new<ServerBox>(type, Ref::borrow(a[0]), handle_from(a[1]), keep_alive, half_close);
}

// Subclasses initialise themselves; the state was made complete by __new__.
int server_init(PyObject*, PyObject*, PyObject*) {
  return 0;
}

// The collector reads the held objects without the lock: no method holds it across anything
// that could start a collection.
int server_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  ServerBox& b = box(self);
  Py_VISIT(b.codec.get());
  for (void* obj : b.state.held())
    Py_VISIT(static_cast<PyObject*>(obj));
  return 0;
}

int server_clear(PyObject* self) {
  ServerBox& b = box(self);
  HandleBin bin;
  Guard guard(b.lock);
  b.state.clear(bin);
  // The codec holds no references back to us, so it stays until deallocation.
  return 0;
}

// --- the read side ---

PyObject* server_begin_read(PyObject* self, PyObject*) {
  ServerBox& b = box(self);
  HandleBin bin;
  h1::ServerState::Next next;
  {
    Guard guard(b.lock);
    Cores cores(b);
    next = b.state.begin_read(cores, bin);
  }
  return next_tuple(std::move(next));
}

PyObject* server_drain_done(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"complete"};
  static constexpr ArgParser kParser("drain_done", kNames, 1, 1);
  PyObject* obj;
  bool complete;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bool(obj, "complete", &complete)) {
    return nullptr;
  }
  ServerBox& b = box(self);
  HandleBin bin;
  h1::ServerState::Next next;
  {
    Guard guard(b.lock);
    Cores cores(b);
    next = b.state.drain_done(cores, complete, bin);
  }
  return next_tuple(std::move(next));
}

PyObject* server_accept_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"data"};
  static constexpr ArgParser kParser("accept_head", kNames, 1, 1);
  PyObject* obj;
  std::string_view data;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bytes(obj, "data", &data)) {
    return nullptr;
  }
  // The decoder object is made before the lock is taken; a complete head fills it.
  Ref decoder = Ref::steal(make_body_decoder(h1::BodyDecoder(h1::BodyKind::kEmpty)));
  if (!decoder) return nullptr;
  ServerBox& b = box(self);
  HandleBin bin;
  h1::RequestHead head;
  h1::ParseKind error = h1::ParseKind::kInternal;
  h1::HeadResult result;
  uint64_t seq = 0;
  std::shared_ptr<PairCache> pairs;
  {
    Guard guard(b.lock);
    Cores cores(b);
    result = b.state.accept_head(cores, data, handle_from(decoder.get()), &head, &error, &seq, bin);
    pairs = cores.take_pairs();
  }
  switch (result) {
    case h1::HeadResult::kNone:
      return new_none();
    case h1::HeadResult::kError:
      return raise_h1(h1::Error::parse_error(error));
    case h1::HeadResult::kHead:
      break;
  }
  Ref head_obj = Ref::steal(make_request_head(std::move(head), std::move(pairs)));
  if (!head_obj) return nullptr;
  return Py_BuildValue("(NKN)", head_obj.release(), static_cast<unsigned long long>(seq),
                       decoder.release());
}

// --- the request body and the response ---

PyObject* server_respond_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 7> kNames{
      "seq", "status", "headers", "done", "content_length", "chunked", "want"};
  static constexpr ArgParser kParser("respond_head", kNames, 4, 4);
  PyObject* a[7];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  uint64_t seq;
  uint16_t status;
  h1::ServerState::ResponseHead response;
  HeaderMap headers;
  if (!seq_arg(a[0], &seq) || !arg_u16(a[1], "status", &status) ||
      !status_from(status, &response.status) ||
      !arg_optional(arg_u64, a[4], "content_length", &response.body.content_length) ||
      (a[5] != nullptr && !arg_bool(a[5], "chunked", &response.body.chunked)) ||
      (a[6] != nullptr && !arg_bool(a[6], "want", &response.want))) {
    return nullptr;
  }
  if (a[2] != Py_None && !arg_header_map(a[2], "headers", &headers)) return nullptr;
  response.headers = &headers;
  ServerBox& b = box(self);
  HandleBin bin;
  std::string head;
  h1::ServerState::Responded r;
  {
    Guard guard(b.lock);
    Cores cores(b);
    r = b.state.respond_head(cores, seq, response, handle_from(a[3]), &head, bin);
  }
  if (r.failure) return raise_h1(h1::Error::user_error(*r.failure));
  if (r.verdict != RequestVerdict::kOk) {
    return Py_BuildValue("(iOO)", int(r.verdict), Py_None, Py_False);
  }
  return Py_BuildValue("(iy#O)", int(r.verdict), head.data(), Py_ssize_t(head.size()),
                       r.armed ? Py_True : Py_False);
}

// --- shutdown and the watcher ---

PyObject* server_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 4> kNames{"seq", "done", "want", "head_negotiated"};
  static constexpr ArgParser kParser("arm_watcher", kNames, 2, 2);
  PyObject* a[4];
  uint64_t seq;
  bool want = true;
  bool negotiated = false;
  if (!kParser.parse(args, nargs, kwnames, a) || !seq_arg(a[0], &seq) ||
      (a[2] != nullptr && !arg_bool(a[2], "want", &want)) ||
      (a[3] != nullptr && !arg_bool(a[3], "head_negotiated", &negotiated))) {
    return nullptr;
  }
  ServerBox& b = box(self);
  HandleBin bin;
  bool armed;
  {
    Guard guard(b.lock);
    Cores cores(b);
    armed = b.state.arm_watcher(cores, seq, handle_from(a[1]), want, negotiated, bin);
  }
  return new_bool(armed);
}

PyObject* server_store_watcher_handle(PyObject* self, PyObject* handle) {
  ServerBox& b = box(self);
  Handle refused;
  {
    Guard guard(b.lock);
    refused = b.state.store_watcher_handle(handle_from(handle));
  }
  return handle_to_object(std::move(refused));
}

PyObject* server_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"data", "error"};
  static constexpr ArgParser kParser("watcher_completed", kNames, 2, 0);
  PyObject* a[2];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  PyObject* data = a[0] == Py_None ? nullptr : a[0];
  if (data != nullptr && !PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "data must be bytes or None, not %.100s", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  const size_t data_size = data == nullptr ? 0 : size_t(PyBytes_GET_SIZE(data));
  ServerBox& b = box(self);
  HandleBin bin;
  bool peer_gone;
  {
    Guard guard(b.lock);
    peer_gone = b.state.watcher_completed(handle_from(data), data_size, handle_from(a[1]), bin);
  }
  return new_bool(peer_gone);
}

// --- properties ---

PyObject* get_codec(PyObject* self, void*) {
  return Py_NewRef(box(self).codec.get());
}

PyObject* server_repr(PyObject* self) {
  ServerBox& b = box(self);
  ReprWriter w("H1ServerState");
  {
    Guard guard(b.lock);
    const h1::ServerState& s = b.state;
    w.field("seq", s.seq())
        .field("closed", s.closed())
        .field("reusable", s.reusable())
        .field("responded", s.responded())
        .field("response_done", s.response_done())
        .field("watcher", s.has_watcher());
  }
  return w.finish();
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"begin_read", as_method<server_begin_read>(), METH_NOARGS,
     "begin_read($self, /)\n--\n\nWhere the next request head comes from: (an H1_NEXT_* or "
     "H1_READ_* code, the transport, done event or None)."},
    {"drain_done", as_method<server_drain_done>(), kFast,
     "drain_done($self, /, complete)\n--\n\nOne drain attempt of an unread body ended; "
     "returns (code, transport or None)."},
    {"accept_head", as_method<server_accept_head>(), kFast,
     "accept_head($self, /, data)\n--\n\nParse the next request head: (head, seq, decoder), "
     "or None while incomplete."},
    {"fail_read", Entries::step<&h1::ServerState::fail_read, object>(), METH_NOARGS,
     "fail_read($self, /)\n--\n\nThe head read failed; the connection closes. Returns the "
     "transport or None."},
    {"stop_serving", Entries::step<&h1::ServerState::stop_serving, none>(), METH_NOARGS,
     "stop_serving($self, /)\n--\n\nServe no more requests."},
    {"mark_closed", Entries::step<&h1::ServerState::mark_closed, kClosing>(), METH_NOARGS,
     "mark_closed($self, /)\n--\n\nThe driver closes the connection; returns (transport, "
     "done, was_closed)."},
    {"mark_unusable", Entries::step<&h1::ServerState::mark_unusable, none>(), METH_NOARGS,
     "mark_unusable($self, /)\n--\n\nThe connection is not reused after this request."},
    {"transport_ref", Entries::step<&h1::ServerState::transport_ref, object>(), METH_NOARGS,
     "transport_ref($self, /)\n--\n\nThe transport, not taken, or None."},
    {"current_decoder", Entries::step<&h1::ServerState::decoder_ref, object>(), METH_NOARGS,
     "current_decoder($self, /)\n--\n\nThe current request's H1BodyDecoder, or None."},
    {"try_send_continue",
     Entries::call<member<&h1::ServerState::try_send_continue>, boolean, Seq<kTrySendContinue>>(),
     kFast, "try_send_continue($self, /, seq)\n--\n\nClaim the 100 Continue of the request."},
    {"begin_body_read",
     Entries::call<member<&h1::ServerState::begin_body_read>, boolean, Seq<kBeginBodyRead>>(),
     kFast, "begin_body_read($self, /, seq)\n--\n\nClaim the transport read for the request body."},
    {"end_body_read",
     Entries::call<member<&h1::ServerState::end_body_read>, none,
                   Params<kEndBodyRead, arg_u64, arg_bool>>(),
     kFast, "end_body_read($self, /, seq, complete)\n--\n\nThe body reader gives the read back."},
    {"respond_head", as_method<server_respond_head>(), kFast,
     "respond_head($self, /, seq, status, headers, done, *, content_length=None, chunked=False, "
     "want=False)\n--\n\nClaim the response and encode its head: (an H1_REQ_* code, the "
     "encoded head or None, whether to spawn the watcher)."},
    {"finish_response", BoxEntries::call<kFinish, kFinished, Seq<kFinishResponse>>(), kFast,
     "finish_response($self, /, seq)\n--\n\nThe response is written: (switch, close, "
     "transport or None, leftover bytes or None)."},
    {"fail_response",
     Entries::call<member<&h1::ServerState::fail_response>, object, Seq<kFailResponse>>(), kFast,
     "fail_response($self, /, seq)\n--\n\nThe response failed; the connection closes. "
     "Returns the transport or None."},
    {"detach", BoxEntries::call<kDetachStep, kDetached, Seq<kDetach>>(), kFast,
     "detach($self, /, seq)\n--\n\nHand the raw connection over: (code, transport or None, "
     "leftover bytes or None)."},
    {"close_window",
     Entries::call<member<&h1::ServerState::close_window>, boolean, Seq<kCloseWindow>>(), kFast,
     "close_window($self, /, seq)\n--\n\nEnd the mid-message window of the request."},
    {"request_shutdown", Entries::step<&h1::ServerState::request_shutdown, object>(), METH_NOARGS,
     "request_shutdown($self, /)\n--\n\nBegin a graceful shutdown; returns the transport to "
     "close now, or None."},
    {"unpark_idle_read", Entries::step<&h1::ServerState::unpark_idle_read, boolean>(), METH_NOARGS,
     "unpark_idle_read($self, /)\n--\n\nThe parked idle read returned; True when a shutdown "
     "closed the connection meanwhile."},
    {"peer_closed_now",
     Entries::call<member<&h1::ServerState::peer_closed_now>, kBoolOrNone, Seq<kPeerClosedNow>>(),
     kFast,
     "peer_closed_now($self, /, seq)\n--\n\nWhether the client closed mid-request (None: not "
     "known yet)."},
    {"peer_closed_flag",
     Entries::call<member<&h1::ServerState::peer_closed_flag>, boolean, Seq<kPeerClosedFlag>>(),
     kFast, "peer_closed_flag($self, /, seq)\n--\n\nThe request's peer-closed flag."},
    {"arm_watcher", as_method<server_arm_watcher>(), kFast,
     "arm_watcher($self, /, seq, done, *, want=True, head_negotiated=False)\n--\n\nWhether to "
     "spawn the watcher read."},
    {"store_watcher_handle", as_method<server_store_watcher_handle>(), METH_O,
     "store_watcher_handle($self, handle, /)\n--\n\nKeep the watcher task: None when stored, "
     "handle when refused."},
    {"watcher_completed", as_method<server_watcher_completed>(), kFast,
     "watcher_completed($self, /, data=None, error=None)\n--\n\nThe watcher's read ended; "
     "True when the client has gone."},
    {"watcher_aborted", Entries::step<&h1::ServerState::watcher_aborted, none>(), METH_NOARGS,
     "watcher_aborted($self, /)\n--\n\nThe watcher found no transport."},
    {"watcher_done", Entries::step<&h1::ServerState::watcher_done, object>(), METH_NOARGS,
     "watcher_done($self, /)\n--\n\nThe watcher's done event, or None."},
    {"take_watcher_handle", Entries::step<&h1::ServerState::take_watcher_handle, object>(),
     METH_NOARGS,
     "take_watcher_handle($self, /)\n--\n\nThe watcher task, handed out once; else None."},
    {"take_watcher_result", Entries::step<&h1::ServerState::take_watcher_result, kWatcherResult>(),
     METH_NOARGS,
     "take_watcher_result($self, /)\n--\n\nWhat the watcher's read returned: (data, error)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"codec", as_getter<get_codec>(), nullptr, "The connection's H1Codec.", nullptr},
    {"closed", Entries::property<&h1::ServerState::closed>(), nullptr,
     "No further request is served.", nullptr},
    {"reusable", Entries::property<&h1::ServerState::reusable>(), nullptr,
     "The connection may serve another request.", nullptr},
    {"upgraded", Entries::property<&h1::ServerState::upgraded>(), nullptr,
     "The transport was handed to the caller.", nullptr},
    {"half_close", Entries::property<&h1::ServerState::half_close>(), nullptr,
     "The client may half-close its side.", nullptr},
    {"keep_alive_enabled", Entries::property<&h1::ServerState::keep_alive_enabled>(), nullptr,
     "Keep-alive is enabled.", nullptr},
    {"shutdown_requested", Entries::property<&h1::ServerState::shutdown_requested>(), nullptr,
     "A graceful shutdown was asked for.", nullptr},
    {"current_seq", Entries::property<&h1::ServerState::seq, kSeqObject>(), nullptr,
     "The current request's sequence number (0 before the first).", nullptr},
    {"has_watcher", Entries::property<&h1::ServerState::has_watcher>(), nullptr,
     "A watcher slot exists.", nullptr},
    {"watcher_parked", Entries::property<&h1::ServerState::watcher_parked>(), nullptr,
     "The watcher's read is pending.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H1ServerState(codec, transport, *, keep_alive=True, half_close=False)\n"
                       "--\n\nThe state of one HTTP/1 server connection and its current request.")},
    {Py_tp_new, as_slot<server_new>()},
    {Py_tp_init, as_slot<server_init>()},
    {Py_tp_dealloc, as_slot<box_dealloc<ServerBox>>()},
    {Py_tp_traverse, as_slot<server_traverse>()},
    {Py_tp_clear, as_slot<server_clear>()},
    {Py_tp_repr, as_slot<server_repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H1ServerState"), sizeof(Boxed<ServerBox>), 0, 0, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kSubclassable, Construction::kFromPython);

}  // namespace

PyTypeObject* server_state_type() {
  if (!install_handle_hooks()) return nullptr;
  return g_type.get();
}

}  // namespace quillet::py
