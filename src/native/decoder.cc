// WSDecoder(role, max_message_size=16 MiB, allow_rsv1=False). feed(data) decodes what arrived
// and returns every event it completed as one Python object each:
//
//   str                     a text message
//   bytes                   a binary message
//   (opcode, payload, code) anything else: (WS_PING, bytes, 0), (WS_PONG, bytes, 0),
//                           (WS_CLOSE, reason str, close code) and a compressed message
//                           (WS_TEXT or WS_BINARY, its still compressed bytes, 0)
//
// A failure raises WebSocketProtocolError(close_code, message). The events that came before the
// failing octet are returned first; the failure is raised by the next call (`failed` tells).
#include "src/native/decoder.h"

#include "src/native/imported.h"
#include "src/py/args.h"
#include "src/py/call.h"
#include "src/py/lock.h"
#include "src/py/types.h"
#include "wire/ws/frame.h"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace quillet::native {
namespace {

using namespace quillet::py;

struct DecoderBox {
  explicit DecoderBox(const ws::DecoderOptions& options) : decoder(options) {}
  ObjectLock lock;
  ws::Decoder decoder;
};

Locked<ws::Decoder> decoder_of(PyObject* self) {
  DecoderBox& b = unbox<DecoderBox>(self);
  return {b.lock, b.decoder};
}
using Entries = EntriesOf<decoder_of>;

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 3> kNames{"role", "max_message_size", "allow_rsv1"};
  static constexpr ArgParser kParser("WSDecoder", kNames, 3, 1);
  PyObject* a[3];
  if (!kParser.parse_call(args, kwargs, a)) return nullptr;
  Text role;
  ws::DecoderOptions options;
  // Each binary message becomes a bytes object unmasked straight from `data` (payload_bytes).
  options.leave_in_input = true;
  if (!arg_str(a[0], "role", &role) ||
      (a[1] != nullptr && !arg_u64(a[1], "max_message_size", &options.max_message_size)) ||
      (a[2] != nullptr && !arg_bool(a[2], "allow_rsv1", &options.allow_rsv1))) {
    return nullptr;
  }
  if (role.bytes == "server") {
    options.role = ws::Role::kServer;
  } else if (role.bytes == "client") {
    options.role = ws::Role::kClient;
  } else {
    PyErr_SetString(PyExc_ValueError, "role must be 'server' or 'client'");
    return nullptr;
  }
  return box_new<DecoderBox>(type, options);
}

// What one feed produced: the batch and the failure, if any.
struct Fed {
  ws::Batch batch;
  std::optional<ws::Failure> failure;
};

Fed feed_step(ws::Decoder& decoder, std::string_view data) {
  Fed fed;
  fed.failure = decoder.decode(data, &fed.batch);
  return fed;
}

PyObject* new_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

// A message's payload as a new bytes object: unmasked into it from where it lies, in one pass.
PyObject* payload_bytes(const ws::Batch& batch, const ws::Event& event) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(event.size));
  if (bytes != nullptr) batch.copy_payload(event, PyBytes_AS_STRING(bytes));
  return bytes;
}

PyObject* control_event(ws::Opcode opcode, PyObject* payload, uint16_t code) {
  if (payload == nullptr) return nullptr;
  Ref owned = Ref::steal(payload);
  return Py_BuildValue("(iOi)", int(opcode), owned.get(), int(code));
}

// The Python object of one event (see the top of this file).
PyObject* event_object(const ws::Batch& batch, const ws::Event& event) {
  const std::string_view payload = batch.payload(event);
  switch (event.kind) {
    case ws::EventKind::kText:
      if (event.compressed) return control_event(ws::Opcode::kText, payload_bytes(batch, event), 0);
      // checked octet by octet as it arrived: decoding cannot fail but on memory
      return PyUnicode_DecodeUTF8(payload.data(), Py_ssize_t(payload.size()), "strict");
    case ws::EventKind::kBinary:
      if (event.compressed) {
        return control_event(ws::Opcode::kBinary, payload_bytes(batch, event), 0);
      }
      return payload_bytes(batch, event);
    case ws::EventKind::kPing:
      return control_event(ws::Opcode::kPing, new_bytes(payload), 0);
    case ws::EventKind::kPong:
      return control_event(ws::Opcode::kPong, new_bytes(payload), 0);
    case ws::EventKind::kClose:
      return control_event(
          ws::Opcode::kClose,
          PyUnicode_DecodeUTF8(payload.data(), Py_ssize_t(payload.size()), "strict"),
          event.close_code);
  }
  PyErr_SetString(PyExc_SystemError, "unknown WebSocket event");
  return nullptr;
}

PyObject* build_events(Fed&& fed) {
  const std::vector<ws::Event>& events = fed.batch.events;
  if (fed.failure && events.empty()) {
    return raise_protocol_error(fed.failure->close_code(), fed.failure->message());
  }
  Ref list = Ref::steal(PyList_New(Py_ssize_t(events.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < events.size(); ++i) {
    PyObject* obj = event_object(fed.batch, events[i]);
    if (obj == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), obj);
  }
  return list.release();
}

constexpr std::array<const char*, 1> kDataName{"data"};
constexpr ArgParser kFeed("feed", kDataName, 1, 1);

constexpr auto kFailed = [](ws::Decoder& d) { return d.failure().has_value(); };
constexpr auto kBuffered = [](ws::Decoder& d) { return d.buffered(); };
constexpr auto kMaxSize = [](ws::Decoder& d) { return d.options().max_message_size; };
constexpr auto kSizeObject = [](size_t n) { return PyLong_FromSize_t(n); };
constexpr auto kU64Object = [](uint64_t n) { return PyLong_FromUnsignedLongLong(n); };

PyMethodDef kMethods[] = {
    {"feed", Entries::call<feed_step, build_events, Params<kFeed, arg_bytes>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "feed($self, /, data)\n--\n\n"
     "Decodes `data` and returns the events it completed: str for a text message, bytes for a\n"
     "binary one, and (opcode, payload, close_code) for a control frame or a compressed\n"
     "message. Raises WebSocketProtocolError when the peer broke a rule; events before the\n"
     "failure are returned first, and the failure is raised by the next call."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"closed", Entries::property<&ws::Decoder::closed>(), nullptr,
     "True once a Close frame was decoded: what follows it is not looked at.", nullptr},
    {"failed", as_getter<locked_get<decoder_of, kFailed, boolean>>(), nullptr,
     "True once the peer broke a rule: every later feed raises.", nullptr},
    {"in_message", Entries::property<&ws::Decoder::in_message>(), nullptr,
     "True while a fragmented message is in progress.", nullptr},
    {"buffered", as_getter<locked_get<decoder_of, kBuffered, kSizeObject>>(), nullptr,
     "Octets of the message in progress held by the decoder.", nullptr},
    {"max_message_size", as_getter<locked_get<decoder_of, kMaxSize, kU64Object>>(), nullptr,
     "The largest message taken, in octets.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("WSDecoder(role, max_message_size=16777216, allow_rsv1=False)\n--\n\n"
                       "The frame decoder of one WebSocket connection. role: 'server' (frames "
                       "must be\nmasked) or 'client' (frames must not be). allow_rsv1: "
                       "permessage-deflate was\nnegotiated.")},
    {Py_tp_new, as_slot<decoder_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<DecoderBox>>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillet._native.WSDecoder", sizeof(Boxed<DecoderBox>), 0, 0, kSlots};

TypeHolder g_type(&kSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* decoder_type() {
  return g_type.get();
}

}  // namespace quillet::native
