// H1ServerState: the transitions a server driver asks for at every step of serving one
// connection. Each method is one transition under the object's lock. The state holds Python
// objects it never calls (the transport, the codec, the current body decoder, the watcher's
// event, task handle and result); whatever a transition lets go of goes into a ReleaseBin that
// is emptied after unlocking, and results are built after unlocking too. Where a transition
// works on the codec or the decoder, their locks are taken inside this one (server state first),
// one at a time.
#include "src/h1/server_state.h"

#include "src/h1/body_decoder.h"
#include "src/h1/codec.h"
#include "src/h1/heads.h"
#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/lock.h"
#include "src/py/repr.h"
#include "src/py/types.h"

#include <array>
#include <optional>
#include <string>

namespace quillet::py {
namespace {

enum NextCode : long {
  kNextNone = 0,
  kNextRaise = 1,
  kNextClose = 2,
  kNextDrain = 3,
  kReadParse = 4,
  kReadShutdown = 5,
  kReadWatcher = 6,
  kReadTransport = 7,
  kReadEof = 8,
};

enum ReqCode : long {
  kReqOk = 0,
  kReqAlready = 1,
  kReqStale = 2,
  kReqParked = 3,
  kReqPeerClosed = 4,
  kReqContinue = 5,
};

// The read that watches the client while a response is produced, or the parked idle read.
struct WatcherSlot {
  Ref done;                   // set by the watcher when it ends
  Ref handle;                 // the watcher task, once stored
  bool handle_taken = false;  // take_watcher_handle was called
  Ref data;                   // what the read returned (b"" for end of input)
  Ref error;                  // what the read raised
  bool parked = true;         // the read is pending
};

struct ServerState {
  ServerState(Ref codec_obj, Ref transport_obj, bool keep_alive, bool half_close_flag)
      : codec(std::move(codec_obj)),
        transport(std::move(transport_obj)),
        half_close(half_close_flag),
        keep_alive_enabled(keep_alive) {}

  ObjectLock lock;
  const Ref codec;  // never replaced, so read without the lock
  Ref transport;
  Ref decoder;  // the current request's H1BodyDecoder
  uint64_t next_seq = 1;
  uint64_t seq = 0;
  bool closed = false;
  bool reusable = true;
  bool upgraded = false;
  const bool half_close;
  const bool keep_alive_enabled;
  bool shutdown_requested = false;
  bool idle_read_parked = false;
  std::optional<WatcherSlot> watcher;

  // the current request
  bool expect_continue = false;
  bool http10 = false;
  bool keep_alive = false;
  bool upgrade_requested = false;
  bool connect = false;
  bool may_switch = false;
  bool responded = false;
  bool head_pending = false;
  bool response_done = true;
  bool body_done = true;
  bool reader_active = false;
  bool continue_claimed = false;
  bool peer_closed = false;
  bool head_negotiated = false;
  bool switches = false;
  bool reuse = false;
  bool want_read = false;

  bool current(uint64_t s) const { return s != 0 && s == seq; }
  CodecState& codec_state_() { return py::codec_state(codec.get()); }

  // The transport handed out for closing: taken, unless it belongs to the caller already.
  Ref take_transport() {
    if (upgraded) return Ref();
    return std::move(transport);
  }

  void close_unusable() {
    closed = true;
    reusable = false;
  }
};

ServerState& state(PyObject* self) {
  return unbox<ServerState>(self);
}

// --- codec and decoder work, under the state's lock ---

// Moves the bytes the current decoder holds back into the codec: all of them (`whole`), or only
// those past the end of a finished body.
void decoder_bytes_to_codec(ServerState& s, bool whole) {
  if (!s.decoder) return;
  BodyDecoderState& d = body_decoder_state(s.decoder.get());
  std::string bytes;
  {
    Guard guard(d.lock);
    if (!whole && !d.decoder.is_complete()) return;
    bytes = d.decoder.take_buffered();
  }
  if (bytes.empty()) return;
  CodecState& c = s.codec_state_();
  Guard guard(c.lock);
  c.codec.feed(bytes);
}

size_t codec_buffered(ServerState& s) {
  CodecState& c = s.codec_state_();
  Guard guard(c.lock);
  return c.codec.buffered();
}

std::string codec_take_all(ServerState& s) {
  CodecState& c = s.codec_state_();
  Guard guard(c.lock);
  return c.codec.take_body();
}

struct Verdict {
  long code = kNextNone;
  Ref obj;  // borrowed into the result, or taken out of the state
};

// Positions the connection at the next head.
Verdict position_at_next_head(ServerState& s, ReleaseBin& bin) {
  decoder_bytes_to_codec(s, false);
  {
    CodecState& c = s.codec_state_();
    Guard guard(c.lock);
    c.codec.reset();
  }
  bin.add(std::move(s.decoder));
  s.response_done = true;
  s.body_done = true;
  Verdict v;
  if (codec_buffered(s) > 0) {
    v.code = kReadParse;
  } else if (s.shutdown_requested) {
    v.code = kReadShutdown;
  } else if (s.watcher) {
    s.idle_read_parked = true;
    v.code = kReadWatcher;
    v.obj = Ref::borrow(s.watcher->done.get());
  } else if (s.transport) {
    s.idle_read_parked = true;
    v.code = kReadTransport;
    v.obj = Ref::borrow(s.transport.get());
  } else {
    v.code = kReadEof;
  }
  return v;
}

// Whether to spawn the watcher for `done`; creates its slot when so.
bool arm_decision(ServerState& s, PyObject* done) {
  if (!s.want_read || s.half_close || s.closed || !s.transport || s.watcher || !s.body_done ||
      s.response_done) {
    return false;
  }
  if (s.may_switch && (!s.head_negotiated || s.switches)) return false;
  if (codec_buffered(s) > 0) return false;
  if (s.decoder) {
    BodyDecoderState& d = body_decoder_state(s.decoder.get());
    size_t past_end;
    {
      Guard guard(d.lock);
      past_end = d.decoder.is_complete() ? d.decoder.buffered() : 0;
    }
    if (past_end > 0) {
      decoder_bytes_to_codec(s, false);  // pipelined bytes are already there to be read
      return false;
    }
  }
  s.watcher.emplace();
  s.watcher->done = Ref::held(done);
  return true;
}

// --- results ---

PyObject* ref_or_none(Ref ref) {
  return ref ? ref.release() : new_none();
}

PyObject* verdict_tuple(Verdict v) {
  Ref obj = std::move(v.obj);
  return Py_BuildValue("(lN)", v.code, ref_or_none(std::move(obj)));
}

PyObject* bytes_or_none(const std::optional<std::string>& bytes) {
  if (!bytes) return new_none();
  return PyBytes_FromStringAndSize(bytes->data(), Py_ssize_t(bytes->size()));
}

bool seq_arg(PyObject* obj, uint64_t* seq) {
  return arg_u64(obj, "seq", seq);
}

// One positional `seq` argument.
bool only_seq(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              uint64_t* seq) {
  const std::array<const char*, 1> names{"seq"};
  const ArgParser parser(function, names, 1, 1);
  PyObject* obj;
  return parser.parse(args, nargs, kwnames, &obj) && seq_arg(obj, seq);
}

// A method of one `seq` argument that answers a bool decided under the lock.
template <class Decide>
PyObject* seq_verdict(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Decide decide) {
  uint64_t seq;
  if (!only_seq(function, args, nargs, kwnames, &seq)) return nullptr;
  ServerState& s = state(self);
  bool verdict;
  {
    Guard guard(s.lock);
    verdict = decide(s, seq);
  }
  return new_bool(verdict);
}

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
  return box_new<ServerState>(type, Ref::borrow(a[0]), Ref::held(a[1]), keep_alive, half_close);
}

// Subclasses initialise themselves; the state was made complete by __new__.
int server_init(PyObject*, PyObject*, PyObject*) {
  return 0;
}

int server_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  ServerState& s = state(self);
  Py_VISIT(s.codec.get());
  Py_VISIT(s.transport.get());
  Py_VISIT(s.decoder.get());
  if (s.watcher) {
    Py_VISIT(s.watcher->done.get());
    Py_VISIT(s.watcher->handle.get());
    Py_VISIT(s.watcher->data.get());
    Py_VISIT(s.watcher->error.get());
  }
  return 0;
}

int server_clear(PyObject* self) {
  ServerState& s = state(self);
  ReleaseBin bin;
  Guard guard(s.lock);
  bin.add(std::move(s.transport));
  bin.add(std::move(s.decoder));
  if (s.watcher) {
    bin.add(std::move(s.watcher->done));
    bin.add(std::move(s.watcher->handle));
    bin.add(std::move(s.watcher->data));
    bin.add(std::move(s.watcher->error));
    s.watcher.reset();
  }
  guard.unlock();
  // The codec holds no references back to us, so it stays until deallocation.
  return 0;
}

// --- the read side ---

PyObject* server_begin_read(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  ReleaseBin bin;
  Verdict v;
  {
    Guard guard(s.lock);
    if (s.closed || !s.reusable) {
      v.code = kNextNone;
    } else if (s.seq != 0 && !s.response_done) {
      v.code = kNextRaise;
    } else if (s.seq != 0 && !s.body_done) {
      if (s.reader_active) {
        s.close_unusable();
        v.code = kNextClose;
        v.obj = s.take_transport();
      } else {
        s.reader_active = true;
        v.code = kNextDrain;
      }
    } else {
      v = position_at_next_head(s, bin);
    }
  }
  return verdict_tuple(std::move(v));
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
  ServerState& s = state(self);
  ReleaseBin bin;
  Verdict v;
  {
    Guard guard(s.lock);
    s.reader_active = false;
    if (complete) {
      s.body_done = true;
      v = position_at_next_head(s, bin);
    } else {
      s.close_unusable();
      v.code = kNextClose;
      v.obj = s.take_transport();
    }
  }
  return verdict_tuple(std::move(v));
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
  Ref decoder = Ref::steal(make_body_decoder(h1::BodyDecoder(h1::BodyDecoder::Framing::kEmpty)));
  if (!decoder) return nullptr;
  ServerState& s = state(self);
  ReleaseBin bin;
  h1::RequestHead head;
  h1::ParseKind error = h1::ParseKind::kInternal;
  h1::HeadResult result;
  uint64_t seq = 0;
  {
    Guard guard(s.lock);
    std::string body_bytes;
    {
      CodecState& c = s.codec_state_();
      Guard codec_guard(c.lock);
      result = c.codec.receive_request_head(data, &head, &error);
      if (result == h1::HeadResult::kHead) body_bytes = c.codec.take_body();
    }
    if (result == h1::HeadResult::kHead) {
      BodyDecoderState& d = body_decoder_state(decoder.get());
      {
        Guard decoder_guard(d.lock);
        d.decoder =
            h1::BodyDecoder::from_kind(head.body_kind == h1::BodyKind::kLength    ? "length"
                                       : head.body_kind == h1::BodyKind::kChunked ? "chunked"
                                       : head.body_kind == h1::BodyKind::kClose   ? "close"
                                                                                  : "empty",
                                       head.content_length);
        d.decoder.feed_owned(std::move(body_bytes));
        s.body_done = d.decoder.is_complete();
      }
      seq = s.next_seq++;
      s.seq = seq;
      bin.add(std::move(s.decoder));
      s.decoder = Ref::borrow(decoder.get());
      s.expect_continue = head.expect_continue;
      s.http10 = head.http10;
      s.keep_alive = head.keep_alive;
      s.connect = head.method == h1::Method::kConnect;
      s.upgrade_requested = head.is_upgrade && !s.connect;
      s.may_switch = s.upgrade_requested || s.connect;
      s.responded = s.head_pending = s.response_done = s.reader_active = false;
      s.continue_claimed = s.peer_closed = s.head_negotiated = s.switches = false;
      s.reuse = s.want_read = false;
    }
  }
  switch (result) {
    case h1::HeadResult::kNone:
      return new_none();
    case h1::HeadResult::kError:
      return raise_h1(h1::Error::parse_error(error));
    case h1::HeadResult::kHead:
      break;
  }
  Ref head_obj = Ref::steal(make_request_head(std::move(head)));
  if (!head_obj) return nullptr;
  return Py_BuildValue("(NKN)", head_obj.release(), static_cast<unsigned long long>(seq),
                       decoder.release());
}

PyObject* server_fail_read(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Ref transport;
  {
    Guard guard(s.lock);
    s.close_unusable();
    transport = s.take_transport();
  }
  return ref_or_none(std::move(transport));
}

PyObject* server_stop_serving(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  s.close_unusable();
  guard.unlock();
  return new_none();
}

PyObject* server_mark_closed(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Ref transport;
  Ref done;
  bool was_closed;
  {
    Guard guard(s.lock);
    was_closed = s.closed;
    s.close_unusable();
    transport = s.take_transport();
    if (s.watcher) done = Ref::borrow(s.watcher->done.get());
  }
  return Py_BuildValue("(NNO)", ref_or_none(std::move(transport)), ref_or_none(std::move(done)),
                       was_closed ? Py_True : Py_False);
}

PyObject* server_mark_unusable(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  s.reusable = false;
  guard.unlock();
  return new_none();
}

PyObject* server_transport_ref(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Ref transport;
  {
    Guard guard(s.lock);
    transport = Ref::borrow(s.transport.get());
  }
  return ref_or_none(std::move(transport));
}

PyObject* server_current_decoder(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Ref decoder;
  {
    Guard guard(s.lock);
    decoder = Ref::borrow(s.decoder.get());
  }
  return ref_or_none(std::move(decoder));
}

// --- the request body and the response ---

PyObject* server_try_send_continue(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return seq_verdict("try_send_continue", self, args, nargs, kwnames,
                     [](ServerState& s, uint64_t seq) {
                       if (!s.current(seq) || !s.expect_continue || s.http10 || s.responded ||
                           s.continue_claimed) {
                         return false;
                       }
                       s.continue_claimed = true;
                       return true;
                     });
}

PyObject* server_begin_body_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return seq_verdict("begin_body_read", self, args, nargs, kwnames,
                     [](ServerState& s, uint64_t seq) {
                       if (!s.current(seq) || s.body_done || s.reader_active) return false;
                       s.reader_active = true;  // the body reader is the one reader
                       return true;
                     });
}

PyObject* server_end_body_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"seq", "complete"};
  static constexpr ArgParser kParser("end_body_read", kNames, 2, 2);
  PyObject* a[2];
  uint64_t seq;
  bool complete;
  if (!kParser.parse(args, nargs, kwnames, a) || !seq_arg(a[0], &seq) ||
      !arg_bool(a[1], "complete", &complete)) {
    return nullptr;
  }
  ServerState& s = state(self);
  Guard guard(s.lock);
  if (s.current(seq)) {
    s.reader_active = false;
    if (complete) s.body_done = true;
  }
  guard.unlock();
  return new_none();
}

PyObject* server_respond_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 7> kNames{
      "seq", "status", "headers", "done", "content_length", "chunked", "want"};
  static constexpr ArgParser kParser("respond_head", kNames, 4, 4);
  PyObject* a[7];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  uint64_t seq;
  uint16_t status_value;
  h1::StatusCode status = h1::StatusCode::ok();
  h1::BodySpec body;
  bool want = false;
  HeaderMap headers;
  if (!seq_arg(a[0], &seq) || !arg_u16(a[1], "status", &status_value) ||
      !status_from(status_value, &status) ||
      !arg_optional(arg_u64, a[4], "content_length", &body.content_length) ||
      (a[5] != nullptr && !arg_bool(a[5], "chunked", &body.chunked)) ||
      (a[6] != nullptr && !arg_bool(a[6], "want", &want))) {
    return nullptr;
  }
  if (a[2] != Py_None && !arg_header_map(a[2], "headers", &headers)) return nullptr;
  PyObject* done = a[3];

  ServerState& s = state(self);
  long code = kReqOk;
  std::string head;
  std::optional<h1::UserKind> failure;
  bool armed = false;
  {
    Guard guard(s.lock);
    if (!s.current(seq)) {
      code = kReqStale;
    } else if (s.head_pending) {
      s.head_pending = false;  // the 100 Continue went out: the claim goes on
    } else if (s.responded) {
      code = kReqAlready;
    } else {
      s.responded = true;
      if (s.continue_claimed) {
        s.head_pending = true;
        code = kReqContinue;
      }
    }
    if (code == kReqOk && s.peer_closed) code = kReqPeerClosed;
    if (code == kReqOk) {
      const uint16_t number = status.value();
      const bool switches =
          number == 101 ? s.upgrade_requested : (s.connect && number >= 200 && number <= 299);
      // A connection that will close after this response must not promise keep-alive.
      const bool keep_alive =
          s.keep_alive_enabled && s.keep_alive && !s.shutdown_requested && s.reusable;
      bool last = false;
      bool close_delimited = false;
      {
        CodecState& c = s.codec_state_();
        Guard codec_guard(c.lock);
        failure = c.codec.encode_response(status, keep_alive, s.http10, body, headers, &head);
        last = c.codec.response_is_last();
        close_delimited = c.codec.response_close_delimited();
      }
      if (!failure) {
        s.reuse = !last && !close_delimited;
        s.head_negotiated = true;
        s.switches = switches;
        if (want) s.want_read = true;
        armed = arm_decision(s, done);
      }
    }
  }
  if (failure) return raise_h1(h1::Error::user_error(*failure));
  if (code != kReqOk) return Py_BuildValue("(lOO)", code, Py_None, Py_False);
  return Py_BuildValue("(ly#O)", code, head.data(), Py_ssize_t(head.size()),
                       armed ? Py_True : Py_False);
}

PyObject* server_finish_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  uint64_t seq;
  if (!only_seq("finish_response", args, nargs, kwnames, &seq)) return nullptr;
  ServerState& s = state(self);
  bool switched = false;
  bool close = false;
  Ref transport;
  std::optional<std::string> leftover;
  {
    Guard guard(s.lock);
    if (s.current(seq)) {
      s.response_done = true;
      if (s.switches) {
        decoder_bytes_to_codec(s, true);
        leftover = codec_take_all(s);
        transport = s.take_transport();
        s.upgraded = true;
        s.close_unusable();
        switched = true;
      } else {
        s.reusable = s.reusable && s.reuse;
        if (!s.reusable) {
          s.closed = true;
          close = true;
          transport = s.take_transport();
        }
      }
    }
  }
  return Py_BuildValue("(OONN)", switched ? Py_True : Py_False, close ? Py_True : Py_False,
                       ref_or_none(std::move(transport)), bytes_or_none(leftover));
}

PyObject* server_fail_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  uint64_t seq;
  if (!only_seq("fail_response", args, nargs, kwnames, &seq)) return nullptr;
  ServerState& s = state(self);
  Ref transport;
  {
    Guard guard(s.lock);
    if (s.current(seq)) s.response_done = true;
    s.close_unusable();
    transport = s.take_transport();
  }
  return ref_or_none(std::move(transport));
}

PyObject* server_detach(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  uint64_t seq;
  if (!only_seq("detach", args, nargs, kwnames, &seq)) return nullptr;
  ServerState& s = state(self);
  ReleaseBin bin;
  long code = kReqOk;
  Ref transport;
  std::optional<std::string> leftover;
  {
    Guard guard(s.lock);
    if (!s.current(seq)) {
      code = kReqStale;
    } else if (s.responded) {
      code = kReqAlready;
    } else if (s.watcher && s.watcher->parked) {
      code = kReqParked;  // one reader per transport: the parked read can be neither handed
                          // over nor cancelled without risking bytes
    } else {
      s.responded = true;
      s.response_done = true;
      decoder_bytes_to_codec(s, true);
      if (s.watcher && s.watcher->data) {
        PyObject* read = s.watcher->data.get();
        CodecState& c = s.codec_state_();
        Guard codec_guard(c.lock);
        c.codec.feed(std::string_view(PyBytes_AS_STRING(read), size_t(PyBytes_GET_SIZE(read))));
        codec_guard.unlock();
        bin.add(std::move(s.watcher->data));
      }
      leftover = codec_take_all(s);
      transport = s.take_transport();
      s.upgraded = true;
      s.close_unusable();
    }
  }
  return Py_BuildValue("(lNN)", code, ref_or_none(std::move(transport)), bytes_or_none(leftover));
}

PyObject* server_close_window(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return seq_verdict("close_window", self, args, nargs, kwnames, [](ServerState& s, uint64_t seq) {
    if (!s.current(seq) || s.response_done) return false;
    s.response_done = true;
    return true;
  });
}

// --- shutdown and the watcher ---

PyObject* server_request_shutdown(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Ref transport;
  {
    Guard guard(s.lock);
    s.reusable = false;
    s.shutdown_requested = true;
    if (s.idle_read_parked) {
      s.closed = true;
      transport = s.take_transport();  // closing it ends the parked read
    }
  }
  return ref_or_none(std::move(transport));
}

PyObject* server_unpark_idle_read(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  s.idle_read_parked = false;
  const bool closed = s.closed;
  guard.unlock();
  return new_bool(closed);
}

PyObject* server_peer_closed_now(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  uint64_t seq;
  if (!only_seq("peer_closed_now", args, nargs, kwnames, &seq)) return nullptr;
  ServerState& s = state(self);
  Guard guard(s.lock);
  if (!s.current(seq)) {
    guard.unlock();
    Py_RETURN_FALSE;
  }
  if (!s.response_done) {
    guard.unlock();
    Py_RETURN_NONE;  // the window is open: arm the watcher and wait
  }
  const bool peer_closed = s.peer_closed;
  guard.unlock();
  return new_bool(peer_closed);
}

PyObject* server_peer_closed_flag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return seq_verdict("peer_closed_flag", self, args, nargs, kwnames,
                     [](ServerState& s, uint64_t seq) { return s.current(seq) && s.peer_closed; });
}

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
  ServerState& s = state(self);
  bool armed = false;
  {
    Guard guard(s.lock);
    if (s.current(seq)) {
      if (negotiated) s.head_negotiated = true;
      if (want) s.want_read = true;
      armed = arm_decision(s, a[1]);
    }
  }
  return new_bool(armed);
}

PyObject* server_store_watcher_handle(PyObject* self, PyObject* handle) {
  ServerState& s = state(self);
  bool stored = false;
  {
    Guard guard(s.lock);
    if (!s.closed && s.watcher && !s.watcher->handle && !s.watcher->handle_taken) {
      s.watcher->handle = Ref::held(handle);
      stored = true;
    }
  }
  return stored ? new_none() : Py_NewRef(handle);
}

PyObject* server_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames{"data", "error"};
  static constexpr ArgParser kParser("watcher_completed", kNames, 2, 0);
  PyObject* a[2];
  if (!kParser.parse(args, nargs, kwnames, a)) return nullptr;
  PyObject* data = a[0] == Py_None ? nullptr : a[0];
  PyObject* error = a[1] == Py_None ? nullptr : a[1];
  if (data != nullptr && !PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "data must be bytes or None, not %.100s", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  ServerState& s = state(self);
  ReleaseBin bin;
  bool peer_gone = false;
  {
    Guard guard(s.lock);
    if (s.watcher) {
      bin.add(std::move(s.watcher->data));
      bin.add(std::move(s.watcher->error));
      s.watcher->data = Ref::borrow(data);
      s.watcher->error = Ref::borrow(error);
      s.watcher->parked = false;
      const bool client_ended = data == nullptr || PyBytes_GET_SIZE(data) == 0;
      if (client_ended && !s.response_done && !s.peer_closed) {
        s.reusable = false;
        s.peer_closed = true;
        peer_gone = true;
      }
    }
  }
  return new_bool(peer_gone);
}

PyObject* server_watcher_aborted(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  if (s.watcher) s.watcher->parked = false;
  guard.unlock();
  return new_none();
}

PyObject* server_watcher_done(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Ref done;
  {
    Guard guard(s.lock);
    if (s.watcher) done = Ref::borrow(s.watcher->done.get());
  }
  return ref_or_none(std::move(done));
}

PyObject* server_take_watcher_handle(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  Ref handle;
  {
    Guard guard(s.lock);
    if (s.watcher) {
      handle = std::move(s.watcher->handle);
      s.watcher->handle_taken = true;
    }
  }
  return ref_or_none(std::move(handle));
}

PyObject* server_take_watcher_result(PyObject* self, PyObject*) {
  ServerState& s = state(self);
  ReleaseBin bin;
  Ref data;
  Ref error;
  {
    Guard guard(s.lock);
    if (s.watcher) {
      data = std::move(s.watcher->data);
      error = std::move(s.watcher->error);
      if (s.watcher->handle_taken) {
        bin.add(std::move(s.watcher->done));
        bin.add(std::move(s.watcher->handle));
        s.watcher.reset();
      }
    }
  }
  return Py_BuildValue("(NN)", ref_or_none(std::move(data)), ref_or_none(std::move(error)));
}

// --- properties ---

template <bool ServerState::*kField>
PyObject* get_flag(PyObject* self, void*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  const bool value = s.*kField;
  guard.unlock();
  return new_bool(value);
}

PyObject* get_codec(PyObject* self, void*) {
  return Py_NewRef(state(self).codec.get());
}

PyObject* get_half_close(PyObject* self, void*) {
  return new_bool(state(self).half_close);
}

PyObject* get_keep_alive_enabled(PyObject* self, void*) {
  return new_bool(state(self).keep_alive_enabled);
}

PyObject* get_current_seq(PyObject* self, void*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  const uint64_t seq = s.seq;
  guard.unlock();
  return PyLong_FromUnsignedLongLong(seq);
}

PyObject* get_has_watcher(PyObject* self, void*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  const bool has = s.watcher.has_value();
  guard.unlock();
  return new_bool(has);
}

PyObject* get_watcher_parked(PyObject* self, void*) {
  ServerState& s = state(self);
  Guard guard(s.lock);
  const bool parked = s.watcher && s.watcher->parked;
  guard.unlock();
  return new_bool(parked);
}

PyObject* server_repr(PyObject* self) {
  ServerState& s = state(self);
  ReprWriter w("H1ServerState");
  {
    Guard guard(s.lock);
    w.field("seq", s.seq)
        .field("closed", s.closed)
        .field("reusable", s.reusable)
        .field("responded", s.responded)
        .field("response_done", s.response_done)
        .field("watcher", s.watcher.has_value());
  }
  return w.finish();
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"begin_read", as_method<server_begin_read>(), METH_NOARGS,
     "begin_read() -> (code, obj): where the next request head comes from."},
    {"drain_done", as_method<server_drain_done>(), kFast,
     "drain_done(complete) -> (code, obj): one drain attempt of an unread body ended."},
    {"accept_head", as_method<server_accept_head>(), kFast,
     "accept_head(data) -> (head, seq, decoder) | None: parse the next request head."},
    {"fail_read", as_method<server_fail_read>(), METH_NOARGS,
     "fail_read() -> transport | None: the head read failed; the connection closes."},
    {"stop_serving", as_method<server_stop_serving>(), METH_NOARGS,
     "stop_serving(): serve no more requests."},
    {"mark_closed", as_method<server_mark_closed>(), METH_NOARGS,
     "mark_closed() -> (transport, done, was_closed): the driver closes the connection."},
    {"mark_unusable", as_method<server_mark_unusable>(), METH_NOARGS,
     "mark_unusable(): the connection is not reused after this request."},
    {"transport_ref", as_method<server_transport_ref>(), METH_NOARGS,
     "transport_ref() -> transport | None: the transport, not taken."},
    {"current_decoder", as_method<server_current_decoder>(), METH_NOARGS,
     "current_decoder() -> H1BodyDecoder | None: the current request's body decoder."},
    {"try_send_continue", as_method<server_try_send_continue>(), kFast,
     "try_send_continue(seq) -> bool: claim the 100 Continue of the request."},
    {"begin_body_read", as_method<server_begin_body_read>(), kFast,
     "begin_body_read(seq) -> bool: claim the transport read for the request body."},
    {"end_body_read", as_method<server_end_body_read>(), kFast,
     "end_body_read(seq, complete): the body reader gives the read back."},
    {"respond_head", as_method<server_respond_head>(), kFast,
     "respond_head(seq, status, headers, done, *, content_length=None, chunked=False, "
     "want=False) -> (code, head | None, armed): claim the response and encode its head."},
    {"finish_response", as_method<server_finish_response>(), kFast,
     "finish_response(seq) -> (switch, close, transport | None, leftover | None)."},
    {"fail_response", as_method<server_fail_response>(), kFast,
     "fail_response(seq) -> transport | None: the response failed; the connection closes."},
    {"detach", as_method<server_detach>(), kFast,
     "detach(seq) -> (code, transport | None, leftover | None): hand the raw connection over."},
    {"close_window", as_method<server_close_window>(), kFast,
     "close_window(seq) -> bool: end the mid-message window of the request."},
    {"request_shutdown", as_method<server_request_shutdown>(), METH_NOARGS,
     "request_shutdown() -> transport | None: begin a graceful shutdown."},
    {"unpark_idle_read", as_method<server_unpark_idle_read>(), METH_NOARGS,
     "unpark_idle_read() -> bool: the parked idle read returned; True when a shutdown closed "
     "the connection meanwhile."},
    {"peer_closed_now", as_method<server_peer_closed_now>(), kFast,
     "peer_closed_now(seq) -> bool | None: whether the client closed mid-request (None: not "
     "known yet)."},
    {"peer_closed_flag", as_method<server_peer_closed_flag>(), kFast,
     "peer_closed_flag(seq) -> bool: the request's peer-closed flag."},
    {"arm_watcher", as_method<server_arm_watcher>(), kFast,
     "arm_watcher(seq, done, *, want=True, head_negotiated=False) -> bool: whether to spawn "
     "the watcher read."},
    {"store_watcher_handle", as_method<server_store_watcher_handle>(), METH_O,
     "store_watcher_handle(handle) -> None | handle: keep the watcher task (refused: returned)."},
    {"watcher_completed", as_method<server_watcher_completed>(), kFast,
     "watcher_completed(data=None, error=None) -> bool: True when the client has gone."},
    {"watcher_aborted", as_method<server_watcher_aborted>(), METH_NOARGS,
     "watcher_aborted(): the watcher found no transport."},
    {"watcher_done", as_method<server_watcher_done>(), METH_NOARGS,
     "watcher_done() -> event | None: the watcher's done event."},
    {"take_watcher_handle", as_method<server_take_watcher_handle>(), METH_NOARGS,
     "take_watcher_handle() -> handle | None: the watcher task, once."},
    {"take_watcher_result", as_method<server_take_watcher_result>(), METH_NOARGS,
     "take_watcher_result() -> (data, error): what the watcher's read returned."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"codec", as_getter<get_codec>(), nullptr, "The connection's H1Codec.", nullptr},
    {"closed", as_getter<get_flag<&ServerState::closed>>(), nullptr,
     "No further request is served.", nullptr},
    {"reusable", as_getter<get_flag<&ServerState::reusable>>(), nullptr,
     "The connection may serve another request.", nullptr},
    {"upgraded", as_getter<get_flag<&ServerState::upgraded>>(), nullptr,
     "The transport was handed to the caller.", nullptr},
    {"half_close", as_getter<get_half_close>(), nullptr, "The client may half-close its side.",
     nullptr},
    {"keep_alive_enabled", as_getter<get_keep_alive_enabled>(), nullptr, "Keep-alive is enabled.",
     nullptr},
    {"shutdown_requested", as_getter<get_flag<&ServerState::shutdown_requested>>(), nullptr,
     "A graceful shutdown was asked for.", nullptr},
    {"current_seq", as_getter<get_current_seq>(), nullptr,
     "The current request's sequence number (0 before the first).", nullptr},
    {"has_watcher", as_getter<get_has_watcher>(), nullptr, "A watcher slot exists.", nullptr},
    {"watcher_parked", as_getter<get_watcher_parked>(), nullptr, "The watcher's read is pending.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H1ServerState(codec, transport, *, keep_alive=True, half_close=False)\n\n"
                       "The state of one HTTP/1 server connection and its current request.")},
    {Py_tp_new, as_slot<server_new>()},
    {Py_tp_init, as_slot<server_init>()},
    {Py_tp_dealloc, as_slot<box_dealloc<ServerState>>()},
    {Py_tp_traverse, as_slot<server_traverse>()},
    {Py_tp_clear, as_slot<server_clear>()},
    {Py_tp_repr, as_slot<server_repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H1ServerState"), sizeof(Boxed<ServerState>), 0, 0, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kSubclassable, Construction::kFromPython);

}  // namespace

PyTypeObject* server_state_type() {
  return g_type.get();
}

}  // namespace quillet::py
