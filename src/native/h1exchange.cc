// H1Exchange(conn, seq, head, decoder, python): one HTTP/1 request and its response, as the
// application sees them through `receive` and `send`, for the common case done here without a
// Python frame: a body that came whole with the head, a response head, and a body sent in one
// message (up to 64 KiB) that goes out with the head in one write. Each returns an awaitable that
// is done when returned.
//
// Anything else (a body still to be read, a streamed or large response, trailers, a message out
// of order, a client that left, a value the fast path does not take) is the Python exchange's:
// `python(conn, seq, head, decoder)` is made then, takes over what this one did so far, and from
// then on every call is passed to it. So the rules and their messages live in the Python
// exchange, and where both would act, this one does what that one would.
#include "src/native/asgi.h"
#include "src/native/imported.h"
#include "src/native/support.h"
#include "src/py/args.h"
#include "src/py/types.h"

#include <array>
#include <cstring>
#include <string_view>

namespace quillet::native {
namespace {

using namespace quillet::py;

// A response body up to this size goes out in one write with its head (as the Python exchange).
constexpr Py_ssize_t kJoinBelow = 64 * 1024;

struct Names {
  PyObject* type;
  PyObject* start;      // "http.response.start"
  PyObject* body_kind;  // "http.response.body"
  PyObject* status;
  PyObject* headers;
  PyObject* body;
  PyObject* more_body;
  PyObject* request;  // "http.request"
  PyObject* peer_closed_now;
  PyObject* respond_head;
  PyObject* finish_response;
  PyObject* fail_response;
  PyObject* server;
  PyObject* codec;
  PyObject* stream;
  PyObject* exchange;
  PyObject* default_headers;
  PyObject* serialize_head_and_body;
  PyObject* transport;
  PyObject* lost;
  PyObject* write;
  PyObject* close;
  PyObject* add;
  PyObject* is_complete;
  PyObject* decode;
  PyObject* receive;
  PyObject* send;
  PyObject* settle;
  PyObject* cancelled;
  PyObject* resolve;  // "_resolve"
  PyObject* fail;     // "_fail"
  PyObject* on_peer_closed;
  PyObject* started;
  PyObject* head_written;
  PyObject* raw_headers;
  PyObject* sent;
  PyObject* delivered;
  PyObject* gone;
  PyObject* respond_kw;  // ("content_length", "chunked", "want")
  PyObject* empty_bytes;
  PyObject* empty_tuple;
  PyObject* h1_user_error;
  long req_ok, req_continue, req_peer_closed;
};

const Names* names() {
  static Names n;
  static bool made = false;
  if (made) return &n;
  const Interned table[] = {
      {&n.type, "type"},
      {&n.start, "http.response.start"},
      {&n.body_kind, "http.response.body"},
      {&n.status, "status"},
      {&n.headers, "headers"},
      {&n.body, "body"},
      {&n.more_body, "more_body"},
      {&n.request, "http.request"},
      {&n.peer_closed_now, "peer_closed_now"},
      {&n.respond_head, "respond_head"},
      {&n.finish_response, "finish_response"},
      {&n.fail_response, "fail_response"},
      {&n.server, "server"},
      {&n.codec, "codec"},
      {&n.stream, "stream"},
      {&n.exchange, "exchange"},
      {&n.default_headers, "default_headers"},
      {&n.serialize_head_and_body, "serialize_head_and_body"},
      {&n.transport, "transport"},
      {&n.lost, "lost"},
      {&n.write, "write"},
      {&n.close, "close"},
      {&n.add, "add"},
      {&n.is_complete, "is_complete"},
      {&n.decode, "decode"},
      {&n.receive, "receive"},
      {&n.send, "send"},
      {&n.settle, "settle"},
      {&n.cancelled, "cancelled"},
      {&n.resolve, "_resolve"},
      {&n.fail, "_fail"},
      {&n.on_peer_closed, "on_peer_closed"},
      {&n.started, "started"},
      {&n.head_written, "head_written"},
      {&n.raw_headers, "raw_headers"},
      {&n.sent, "sent"},
      {&n.delivered, "delivered"},
      {&n.gone, "gone"},
  };
  if (!intern_all(table)) return nullptr;
  if (n.respond_kw == nullptr) {
    n.respond_kw = Py_BuildValue("(sss)", "content_length", "chunked", "want");
    if (n.respond_kw == nullptr) return nullptr;
  }
  if (n.empty_bytes == nullptr) {
    n.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    if (n.empty_bytes == nullptr) return nullptr;
  }
  if (n.empty_tuple == nullptr) {
    n.empty_tuple = PyTuple_New(0);
    if (n.empty_tuple == nullptr) return nullptr;
  }
  if (n.h1_user_error == nullptr) {
    Ref core = Ref::steal(PyImport_ImportModule("_quillet"));
    if (!core) return nullptr;
    const std::array<std::pair<const char*, long*>, 3> codes{{
        {"H1_REQ_OK", &n.req_ok},
        {"H1_REQ_CONTINUE", &n.req_continue},
        {"H1_REQ_PEER_CLOSED", &n.req_peer_closed},
    }};
    for (const auto& [name, slot] : codes) {
      Ref value = Ref::steal(PyObject_GetAttrString(core.get(), name));
      if (!value) return nullptr;
      *slot = PyLong_AsLong(value.get());
      if (*slot == -1 && PyErr_Occurred()) return nullptr;
    }
    n.h1_user_error = PyObject_GetAttrString(core.get(), "H1UserError");
    if (n.h1_user_error == nullptr) return nullptr;
  }
  made = true;
  return &n;
}

struct ExchangeBox {
  ExchangeBox(PyObject* c, PyObject* s, PyObject* h, PyObject* d, PyObject* p)
      : conn(Ref::borrow(c)),
        seq(Ref::borrow(s)),
        head(Ref::borrow(h)),
        decoder(Ref::borrow(d)),
        python_class(Ref::borrow(p)),
        status(Ref::steal(PyLong_FromLong(0))) {}  // 0 until a response starts

  Ref conn, seq, head, decoder, python_class;
  Ref python;  // the Python exchange, once it took over
  Ref status;
  Ref raw_headers;  // null: ()
  Py_ssize_t sent = 0;
  bool started = false;
  bool delivered = false;
  bool head_written = false;
  bool gone = false;
};

ExchangeBox& box_of(PyObject* self) {
  return unbox<ExchangeBox>(self);
}

PyObject* method0(PyObject* obj, PyObject* name) {
  return PyObject_CallMethodNoArgs(obj, name);
}

PyObject* method1(PyObject* obj, PyObject* name, PyObject* arg) {
  return PyObject_CallMethodOneArg(obj, name, arg);
}

// The Python exchange, made now if it was not yet, with what this one did so far: it is the
// connection's exchange from now on.
PyObject* python_of(PyObject* self) {
  ExchangeBox& b = box_of(self);
  if (b.python) return b.python.get();
  const Names* n = names();
  if (n == nullptr) return nullptr;
  PyObject* args[] = {b.conn.get(), b.seq.get(), b.head.get(), b.decoder.get()};
  Ref py = Ref::steal(PyObject_Vectorcall(b.python_class.get(), args, 4, nullptr));
  if (!py) return nullptr;
  Ref sent = Ref::steal(PyLong_FromSsize_t(b.sent));
  if (!sent) return nullptr;
  PyObject* o = py.get();
  if (PyObject_SetAttr(o, n->started, b.started ? Py_True : Py_False) < 0 ||
      PyObject_SetAttr(o, n->status, b.status.get()) < 0 ||
      PyObject_SetAttr(o, n->raw_headers, b.raw_headers ? b.raw_headers.get() : n->empty_tuple) <
          0 ||
      PyObject_SetAttr(o, n->head_written, b.head_written ? Py_True : Py_False) < 0 ||
      PyObject_SetAttr(o, n->sent, sent.get()) < 0 ||
      PyObject_SetAttr(o, n->delivered, b.delivered ? Py_True : Py_False) < 0 ||
      PyObject_SetAttr(o, n->gone, b.gone ? Py_True : Py_False) < 0) {
    return nullptr;
  }
  Ref current = Ref::steal(PyObject_GetAttr(b.conn.get(), n->exchange));
  if (!current) return nullptr;
  if (current.get() == self && PyObject_SetAttr(b.conn.get(), n->exchange, o) < 0) return nullptr;
  b.python = std::move(py);
  return b.python.get();
}

// conn.peer_closed_now(seq) is not None: the response is over (written, failed or abandoned).
// -1 with the Python error set.
int finished(const Names* n, ExchangeBox& b) {
  Ref window = Ref::steal(method1(b.conn.get(), n->peer_closed_now, b.seq.get()));
  if (!window) return -1;
  return window.get() != Py_None;
}

// The response could not be completed: the connection is closed.
bool fail(const Names* n, ExchangeBox& b) {
  Ref transport = Ref::steal(method1(b.conn.get(), n->fail_response, b.seq.get()));
  if (!transport) return false;
  if (transport.get() != Py_None) {
    Ref closed = Ref::steal(method0(transport.get(), n->close));
    if (!closed) return false;
  }
  return true;
}

// fail() with the error being raised kept.
void fail_keeping_error(const Names* n, ExchangeBox& b) {
  PyObject* exc = take_error();
  if (!fail(n, b)) {
    Py_XDECREF(exc);
    return;
  }
  if (exc != nullptr) restore_error(exc);
}

bool stream_write(const Names* n, ExchangeBox& b, PyObject* data) {
  Ref stream = Ref::steal(PyObject_GetAttr(b.conn.get(), n->stream));
  if (!stream) return false;
  Ref transport = Ref::steal(PyObject_GetAttr(stream.get(), n->transport));
  if (!transport) return false;
  if (transport.get() == Py_None) return true;
  Ref lost = Ref::steal(PyObject_GetAttr(stream.get(), n->lost));
  if (!lost) return false;
  int is_lost = PyObject_IsTrue(lost.get());
  if (is_lost < 0) return false;
  if (is_lost) return true;
  Ref written = Ref::steal(method1(transport.get(), n->write, data));
  return bool(written);
}

bool ascii_lower_equals(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

enum class Outcome : uint8_t { kDone, kFailed, kPython };

// The response's fields: the application's, less its framing fields, and the server's defaults
// it did not set itself. kPython: a value this path does not take as it is (nothing was done).
Outcome response_fields(const Names* n, ExchangeBox& b, Ref* headers, Ref* content_length,
                        bool* chunked) {
  Ref fields = Ref::steal(PyObject_CallNoArgs(header_map_class()));
  if (!fields) return Outcome::kFailed;
  PyObject* raw = b.raw_headers ? b.raw_headers.get() : n->empty_tuple;
  if (!PyList_CheckExact(raw) && !PyTuple_CheckExact(raw)) return Outcome::kPython;
  Py_ssize_t count = PySequence_Fast_GET_SIZE(raw);
  PyObject** items = PySequence_Fast_ITEMS(raw);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = items[i];
    PyObject *name, *value;
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
      name = PyTuple_GET_ITEM(item, 0);
      value = PyTuple_GET_ITEM(item, 1);
    } else if (PyList_CheckExact(item) && PyList_GET_SIZE(item) == 2) {
      name = PyList_GET_ITEM(item, 0);
      value = PyList_GET_ITEM(item, 1);
    } else {
      return Outcome::kPython;
    }
    if (!PyBytes_CheckExact(name)) return Outcome::kPython;
    std::string_view text(PyBytes_AS_STRING(name), size_t(PyBytes_GET_SIZE(name)));
    if (text.size() == 14 && ascii_lower_equals(text, "content-length")) {
      *content_length = Ref::steal(PyNumber_Long(value));
      if (!*content_length) {
        PyErr_Clear();
        return Outcome::kPython;
      }
      continue;
    }
    if (text.size() == 17 && ascii_lower_equals(text, "transfer-encoding")) {
      *chunked = true;
      continue;
    }
    PyObject* args[] = {fields.get(), name, value};
    Ref added = Ref::steal(
        PyObject_VectorcallMethod(n->add, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!added) {
      PyErr_Clear();
      return Outcome::kPython;  // the Python exchange raises what HeaderMap raised
    }
  }
  Ref server = Ref::steal(PyObject_GetAttr(b.conn.get(), n->server));
  Ref defaults = server ? Ref::steal(PyObject_GetAttr(server.get(), n->default_headers)) : Ref();
  if (!defaults) return Outcome::kFailed;
  Ref seq = Ref::steal(PySequence_Fast(defaults.get(), "default_headers must be a sequence"));
  if (!seq) return Outcome::kFailed;
  Py_ssize_t ndefaults = PySequence_Fast_GET_SIZE(seq.get());
  PyObject** pairs = PySequence_Fast_ITEMS(seq.get());
  for (Py_ssize_t i = 0; i < ndefaults; ++i) {
    PyObject* pair = pairs[i];
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "default_headers must hold (name, value) tuples");
      return Outcome::kFailed;
    }
    PyObject* name = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    int has = PySequence_Contains(fields.get(), name);
    if (has < 0) return Outcome::kFailed;
    if (has) continue;
    PyObject* args[] = {fields.get(), name, value};
    Ref added = Ref::steal(
        PyObject_VectorcallMethod(n->add, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!added) return Outcome::kFailed;
  }
  *headers = std::move(fields);
  return Outcome::kDone;
}

// conn.respond_head(...) -> (code, head, armed), with the error as the Python exchange treats
// it: an H1UserError fails the response.
Ref respond_head(const Names* n, ExchangeBox& b, PyObject* headers, PyObject* content_length,
                 bool chunked) {
  PyObject* args[] = {b.conn.get(),
                      b.seq.get(),
                      b.status.get(),
                      headers,
                      Py_None,
                      content_length,
                      chunked ? Py_True : Py_False,
                      Py_False};
  Ref out = Ref::steal(PyObject_VectorcallMethod(
      n->respond_head, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, n->respond_kw));
  if (!out && PyErr_ExceptionMatches(n->h1_user_error)) fail_keeping_error(n, b);
  return out;
}

// The whole response, head and body, in one write; the response is then over.
Outcome write_whole(const Names* n, ExchangeBox& b, PyObject* body) {
  Ref headers, content_length;
  bool chunked = false;
  Outcome fields = response_fields(n, b, &headers, &content_length, &chunked);
  if (fields != Outcome::kDone) return fields;
  b.sent += PyBytes_GET_SIZE(body);  // handed over (counted before the writing, as in Python)
  if (chunked) {
    content_length = Ref();
  } else if (!content_length) {
    content_length = Ref::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(body)));
    if (!content_length) return Outcome::kFailed;
  }
  PyObject* length = content_length ? content_length.get() : Py_None;
  Ref verdict = respond_head(n, b, headers.get(), length, chunked);
  if (!verdict) return Outcome::kFailed;
  long code = -1;
  if (PyTuple_CheckExact(verdict.get()) && PyTuple_GET_SIZE(verdict.get()) == 3) {
    code = PyLong_AsLong(PyTuple_GET_ITEM(verdict.get(), 0));
    if (code == -1 && PyErr_Occurred()) return Outcome::kFailed;
  }
  if (code == n->req_continue) {  // the 100 Continue was written already
    verdict = respond_head(n, b, headers.get(), length, chunked);
    if (!verdict) return Outcome::kFailed;
    code = PyLong_AsLong(PyTuple_GET_ITEM(verdict.get(), 0));
    if (code == -1 && PyErr_Occurred()) return Outcome::kFailed;
  }
  if (code == n->req_peer_closed) {
    b.gone = true;
    if (!fail(n, b)) return Outcome::kFailed;
    PyObject* cls = client_disconnected_class();
    if (cls != nullptr) PyErr_SetString(cls, "the client closed the connection");
    return Outcome::kFailed;
  }
  if (code != n->req_ok) {
    PyErr_Format(PyExc_RuntimeError, "the response cannot be sent (verdict %ld)", code);
    return Outcome::kFailed;
  }
  b.head_written = true;
  PyObject* head = PyTuple_GET_ITEM(verdict.get(), 1);
  Ref codec = Ref::steal(PyObject_GetAttr(b.conn.get(), n->codec));
  if (!codec) return Outcome::kFailed;
  PyObject* args[] = {codec.get(), head, body};
  Ref data = Ref::steal(PyObject_VectorcallMethod(n->serialize_head_and_body, args,
                                                  3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!data) {
    if (PyErr_ExceptionMatches(n->h1_user_error)) {
      PyObject* exc = take_error();
      if (stream_write(n, b, head) && fail(n, b)) {
        restore_error(exc);
      } else {
        Py_DECREF(exc);
      }
    }
    return Outcome::kFailed;
  }
  if (!stream_write(n, b, data.get())) return Outcome::kFailed;
  Ref finish = Ref::steal(method1(b.conn.get(), n->finish_response, b.seq.get()));
  if (!finish) return Outcome::kFailed;
  // (switch, close, transport, leftover)
  if (!PyTuple_CheckExact(finish.get()) || PyTuple_GET_SIZE(finish.get()) != 4) {
    PyErr_SetString(PyExc_TypeError,
                    "finish_response gave no (switch, close, transport, leftover)");
    return Outcome::kFailed;
  }
  PyObject* switched = PyTuple_GET_ITEM(finish.get(), 0);
  PyObject* close = PyTuple_GET_ITEM(finish.get(), 1);
  PyObject* transport = PyTuple_GET_ITEM(finish.get(), 2);
  if ((switched == Py_True || close == Py_True) && transport != Py_None) {
    Ref closed = Ref::steal(method0(transport, n->close));
    if (!closed) return Outcome::kFailed;
  }
  return Outcome::kDone;
}

PyObject* done_awaitable() {
  PyObject* done = ready_none();
  return done == nullptr ? nullptr : Py_NewRef(done);
}

PyObject* exchange_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 5> kNames{"conn", "seq", "head", "decoder", "python"};
  static constexpr ArgParser kParser("H1Exchange", kNames, 5, 5);
  PyObject* a[5];
  if (!kParser.parse_call(args, kwargs, a)) return nullptr;
  if (names() == nullptr || header_map_class() == nullptr) return nullptr;
  PyObject* self = box_new<ExchangeBox>(type, a[0], a[1], a[2], a[3], a[4]);
  if (self != nullptr && !box_of(self).status) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

PyObject* exchange_receive(PyObject* self, PyObject*) {
  ExchangeBox& b = box_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (!b.python && !b.delivered && !b.gone) {
    Ref complete = Ref::steal(PyObject_GetAttr(b.decoder.get(), n->is_complete));
    if (!complete) return nullptr;
    int over = complete.get() == Py_True ? finished(n, b) : 1;
    if (over < 0) return nullptr;
    if (!over) {
      // the whole body came with the head: no read needed
      b.delivered = true;
      Ref first = Ref::steal(method0(b.decoder.get(), n->decode));
      if (!first) return nullptr;
      Ref body;
      if (first.get() == Py_None) {
        body = Ref::borrow(n->empty_bytes);
      } else {
        Ref more = Ref::steal(method0(b.decoder.get(), n->decode));
        if (!more) return nullptr;
        if (more.get() == Py_None) {
          body = std::move(first);
        } else {
          Ref parts = Ref::steal(PyList_New(0));
          if (!parts || PyList_Append(parts.get(), first.get()) < 0) return nullptr;
          while (more.get() != Py_None) {
            if (PyList_Append(parts.get(), more.get()) < 0) return nullptr;
            more = Ref::steal(method0(b.decoder.get(), n->decode));
            if (!more) return nullptr;
          }
          body = Ref::steal(PyObject_CallMethod(n->empty_bytes, "join", "O", parts.get()));
          if (!body) return nullptr;
        }
      }
      Ref message = Ref::steal(PyDict_New());
      if (!message || PyDict_SetItem(message.get(), n->type, n->request) < 0 ||
          PyDict_SetItem(message.get(), n->body, body.get()) < 0 ||
          PyDict_SetItem(message.get(), n->more_body, Py_False) < 0) {
        return nullptr;
      }
      return ready(message.get());
    }
  }
  PyObject* py = python_of(self);
  return py == nullptr ? nullptr : method0(py, n->receive);
}

// The body message of the fast path: kDone, or kPython when it is not one.
Outcome send_body(const Names* n, ExchangeBox& b, PyObject* message) {
  if (!b.started || b.gone || b.head_written) return Outcome::kPython;
  PyObject* body = PyDict_GetItemWithError(message, n->body);
  if (body == nullptr) {
    if (PyErr_Occurred()) return Outcome::kFailed;
    body = n->empty_bytes;
  }
  if (!PyBytes_CheckExact(body) || PyBytes_GET_SIZE(body) > kJoinBelow) return Outcome::kPython;
  PyObject* more = PyDict_GetItemWithError(message, n->more_body);
  if (more != nullptr) {
    int truth = PyObject_IsTrue(more);
    if (truth < 0) return Outcome::kFailed;
    if (truth) return Outcome::kPython;
  } else if (PyErr_Occurred()) {
    return Outcome::kFailed;
  }
  int over = finished(n, b);
  if (over < 0) return Outcome::kFailed;
  if (over) return Outcome::kPython;
  return write_whole(n, b, body);
}

PyObject* exchange_send(PyObject* self, PyObject* message) {
  ExchangeBox& b = box_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (!b.python && PyDict_CheckExact(message)) {
    PyObject* kind = PyDict_GetItemWithError(message, n->type);
    if (kind == nullptr && PyErr_Occurred()) return nullptr;
    if (kind != nullptr && PyUnicode_Check(kind)) {
      if (PyUnicode_Compare(kind, n->start) == 0) {
        PyObject* status = PyDict_GetItemWithError(message, n->status);
        if (status == nullptr && PyErr_Occurred()) return nullptr;
        if (!b.started && !b.gone && status != nullptr) {
          PyObject* headers = PyDict_GetItemWithError(message, n->headers);
          if (headers == nullptr && PyErr_Occurred()) return nullptr;
          b.started = true;
          b.status = Ref::borrow(status);
          b.raw_headers = Ref::borrow(headers);
          return done_awaitable();
        }
      } else if (PyUnicode_Compare(kind, n->body_kind) == 0) {
        Outcome outcome = send_body(n, b, message);
        if (outcome == Outcome::kDone) return done_awaitable();
        if (outcome == Outcome::kFailed) return nullptr;
      }
    }
  }
  PyObject* py = python_of(self);
  return py == nullptr ? nullptr : method1(py, n->send, message);
}

PyObject* exchange_settle(PyObject* self, PyObject* raised) {
  ExchangeBox& b = box_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (!b.python) {
    int over = finished(n, b);
    if (over < 0) return nullptr;
    if (over) Py_RETURN_NONE;
  }
  PyObject* py = python_of(self);
  return py == nullptr ? nullptr : method1(py, n->settle, raised);
}

PyObject* exchange_cancelled(PyObject* self, PyObject*) {
  ExchangeBox& b = box_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (!b.python) Py_RETURN_NONE;
  return method0(b.python.get(), n->cancelled);
}

PyObject* exchange_resolve(PyObject* self, PyObject*) {
  ExchangeBox& b = box_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (!b.python) Py_RETURN_NONE;  // nobody waits on a request that never left the fast path
  return method0(b.python.get(), n->resolve);
}

PyObject* exchange_fail(PyObject* self, PyObject*) {
  ExchangeBox& b = box_of(self);
  const Names* n = names();
  if (n == nullptr) return nullptr;
  if (b.python) return method0(b.python.get(), n->fail);
  if (!fail(n, b)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* exchange_on_peer_closed(PyObject* self, PyObject*) {
  const Names* n = names();
  if (n == nullptr) return nullptr;
  PyObject* py = python_of(self);
  return py == nullptr ? nullptr : method0(py, n->on_peer_closed);
}

// The fields that the server's run and the connection read: the Python exchange's once it took
// over.
template <PyObject* Names::*kName, PyObject* (*kOwn)(ExchangeBox&)>
PyObject* field(PyObject* self, void*) {
  ExchangeBox& b = box_of(self);
  if (b.python) {
    const Names* n = names();
    return n == nullptr ? nullptr : PyObject_GetAttr(b.python.get(), n->*kName);
  }
  return kOwn(b);
}

PyObject* own_status(ExchangeBox& b) {
  return Py_NewRef(b.status.get());
}
PyObject* own_sent(ExchangeBox& b) {
  return PyLong_FromSsize_t(b.sent);
}
PyObject* own_gone(ExchangeBox& b) {
  return PyBool_FromLong(b.gone);
}
PyObject* own_started(ExchangeBox& b) {
  return PyBool_FromLong(b.started);
}
PyObject* own_head_written(ExchangeBox& b) {
  return PyBool_FromLong(b.head_written);
}

PyObject* get_seq(PyObject* self, void*) {
  return Py_NewRef(box_of(self).seq.get());
}

PyObject* get_python(PyObject* self, void*) {
  ExchangeBox& b = box_of(self);
  return Py_NewRef(b.python ? b.python.get() : Py_None);
}

PyObject* get_disconnected(PyObject*, void*) {
  PyObject* cls = client_disconnected_class();
  return cls == nullptr ? nullptr : Py_NewRef(cls);
}

int exchange_traverse(PyObject* self, visitproc visit, void* arg) {
  ExchangeBox& b = box_of(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(b.conn.get());
  Py_VISIT(b.seq.get());
  Py_VISIT(b.head.get());
  Py_VISIT(b.decoder.get());
  Py_VISIT(b.python_class.get());
  Py_VISIT(b.python.get());
  Py_VISIT(b.status.get());
  Py_VISIT(b.raw_headers.get());
  return 0;
}

int exchange_clear(PyObject* self) {
  ExchangeBox& b = box_of(self);
  b.conn = Ref();
  b.python = Ref();
  b.raw_headers = Ref();
  b.python_class = Ref();
  b.head = Ref();
  b.decoder = Ref();
  return 0;
}

PyMethodDef kMethods[] = {
    {"receive", as_method<exchange_receive>(), METH_NOARGS,
     "receive($self, /)\n--\n\nThe application's next request message (an awaitable)."},
    {"send", as_method<exchange_send>(), METH_O,
     "send($self, message, /)\n--\n\nTakes one response message (returns an awaitable)."},
    {"settle", as_method<exchange_settle>(), METH_O,
     "settle($self, raised, /)\n--\n\nAfter the application ended: answers or gives up what "
     "it left\nundone; what to await, or None."},
    {"cancelled", as_method<exchange_cancelled>(), METH_NOARGS,
     "cancelled($self, /)\n--\n\nThe request's task was cancelled while the application ran."},
    {"_resolve", as_method<exchange_resolve>(), METH_NOARGS,
     "_resolve($self, /)\n--\n\nWakes whoever waits for the request's end."},
    {"_fail", as_method<exchange_fail>(), METH_NOARGS,
     "_fail($self, /)\n--\n\nGives the response up: the connection is closed."},
    {"on_peer_closed", as_method<exchange_on_peer_closed>(), METH_NOARGS,
     "on_peer_closed($self, /)\n--\n\nThe client left while the response was in flight."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"status", field<&Names::status, own_status>, nullptr, "The response's status.", nullptr},
    {"sent", field<&Names::sent, own_sent>, nullptr, "Body bytes the application handed over.",
     nullptr},
    {"gone", field<&Names::gone, own_gone>, nullptr, "The client can no longer be answered.",
     nullptr},
    {"started", field<&Names::started, own_started>, nullptr, "http.response.start came.", nullptr},
    {"head_written", field<&Names::head_written, own_head_written>, nullptr,
     "The response head went out.", nullptr},
    {"seq", get_seq, nullptr, "The request's number on its connection.", nullptr},
    {"python", get_python, nullptr, "The Python exchange that took over, or None.", nullptr},
    {"Disconnected", get_disconnected, nullptr,
     "The exception `send` raises once the client has gone.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "H1Exchange(conn, seq, head, decoder, python)\n--\n\n"
         "One HTTP/1 request's receive and send, done without waiting where the request came\n"
         "whole and its response is sent in one go; anything else is handed to the Python\n"
         "exchange `python(conn, seq, head, decoder)`, which takes over.")},
    {Py_tp_new, as_slot<exchange_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<ExchangeBox>>()},
    {Py_tp_traverse, reinterpret_cast<void*>(&exchange_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&exchange_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillet._native.H1Exchange", sizeof(Boxed<ExchangeBox>), 0, 0, kSlots};
TypeHolder g_type(&kSpec, Subclassing::kFinalCollected, Construction::kFromPython);

}  // namespace

PyTypeObject* h1_exchange_type() {
  return g_type.get();
}

}  // namespace quillet::native
