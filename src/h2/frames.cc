// Frame events are immutable: every attribute is fixed when the decoder's batch is turned into
// objects, after the codec's lock is released. Each payload is copied once, from the batch into
// the event's bytes.
#include "src/h2/frames.h"

#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/repr.h"
#include "src/py/types.h"
#include "wire/h2/error.h"

#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

namespace quillet::py {
namespace {

const FrameFields& state(PyObject* self) {
  return unbox<FrameFields>(self);
}

PyObject* get_stream_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(state(self).stream_id);
}
PyObject* get_code(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(state(self).code);
}
PyObject* get_length(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(state(self).length);
}
PyObject* get_padding(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(state(self).padding);
}
PyObject* get_flag(PyObject* self, void*) {
  return new_bool(state(self).flag);
}
PyObject* get_true(PyObject*, void*) {
  return new_bool(true);
}
PyObject* get_bytes(PyObject* self, void*) {
  return Py_NewRef(state(self).bytes.get());
}
PyObject* get_headers(PyObject* self, void*) {
  return Py_NewRef(state(self).headers.get());
}
template <size_t kIndex>
PyObject* get_pseudo(PyObject* self, void*) {
  return Py_NewRef(state(self).pseudo[kIndex].get());
}
PyObject* get_status(PyObject* self, void*) {
  const auto& status = state(self).status;
  return status ? PyLong_FromUnsignedLong(*status) : new_none();
}
PyObject* get_content_length(PyObject* self, void*) {
  const auto& length = state(self).content_length;
  return length ? PyLong_FromUnsignedLongLong(*length) : new_none();
}
PyObject* get_content_length_invalid(PyObject* self, void*) {
  return new_bool(state(self).content_length_invalid);
}
PyObject* get_oversize(PyObject* self, void*) {
  return new_bool(state(self).over_size);
}
PyObject* get_is_informational(PyObject* self, void*) {
  const auto& status = state(self).status;
  return new_bool(status && *status >= 100 && *status <= 199);
}
template <std::optional<uint32_t> h2::Settings::*kField>
PyObject* get_setting(PyObject* self, void*) {
  const auto& value = state(self).settings.*kField;
  return value ? PyLong_FromUnsignedLong(*value) : new_none();
}
PyObject* get_enable_push(PyObject* self, void*) {
  const auto& value = state(self).settings.enable_push;
  return value ? new_bool(*value) : new_none();
}

std::optional<uint64_t> opt64(const std::optional<uint32_t>& v) {
  return v ? std::optional<uint64_t>(*v) : std::nullopt;
}

PyObject* headers_repr(PyObject* self) {
  const FrameFields& s = state(self);
  ReprWriter w("Headers");
  w.field("stream_id", uint64_t(s.stream_id))
      .field("status", opt64(s.status))
      .field("end_stream", s.flag)
      .field("fields", uint64_t(s.field_count));
  return w.finish();
}

PyObject* data_repr(PyObject* self) {
  const FrameFields& s = state(self);
  ReprWriter w("Data");
  w.field("stream_id", uint64_t(s.stream_id))
      .field("end_stream", s.flag)
      .field("len", uint64_t(PyBytes_GET_SIZE(s.bytes.get())));
  return w.finish();
}

PyObject* settings_repr(PyObject* self) {
  const FrameFields& s = state(self);
  ReprWriter w("Settings");
  w.field("ack", s.flag)
      .field("max_concurrent_streams", opt64(s.settings.max_concurrent_streams))
      .field("initial_window_size", opt64(s.settings.initial_window_size))
      .field("max_frame_size", opt64(s.settings.max_frame_size));
  return w.finish();
}

#define GETTER(name, fn, doc) \
  { name, as_getter<fn>(), nullptr, doc, nullptr }
#define STREAM_ID GETTER("stream_id", get_stream_id, "The stream the frame belongs to.")

PyGetSetDef kHeadersGetters[] = {
    STREAM_ID,
    GETTER("end_stream", get_flag, "Whether the HEADERS frame carried END_STREAM."),
    GETTER("end_headers", get_true, "Always true: only complete header blocks are surfaced."),
    GETTER("method", get_pseudo<0>, "The :method field, or None."),
    GETTER("scheme", get_pseudo<1>, "The :scheme field, or None."),
    GETTER("authority", get_pseudo<2>, "The :authority field, or None."),
    GETTER("path", get_pseudo<3>, "The :path field, or None."),
    GETTER("protocol", get_pseudo<4>, "The :protocol field of an extended CONNECT, or None."),
    GETTER("status", get_status, "The :status field as an int, or None."),
    GETTER("headers", get_headers, "The regular fields, in received order."),
    GETTER("content_length", get_content_length,
           "The first content-length value as an int; None when absent or unparsable."),
    GETTER("content_length_invalid", get_content_length_invalid,
           "Whether a content-length field is present but unparsable."),
    GETTER("is_informational", get_is_informational, "Whether the status is 1xx."),
    GETTER("oversize", get_oversize,
           "Whether the header list outgrew our header-list budget (fields past it were dropped)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kDataGetters[] = {
    STREAM_ID,
    GETTER("end_stream", get_flag, "Whether the frame carried END_STREAM."),
    GETTER("data", get_bytes, "The payload without padding."),
    GETTER("flow_controlled_len", get_length, "The frame's payload length, padding included."),
    GETTER("padding", get_padding, "flow_controlled_len minus len(data)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kSettingsGetters[] = {
    GETTER("ack", get_flag, "Whether this is a SETTINGS acknowledgement."),
    GETTER("header_table_size", get_setting<&h2::Settings::header_table_size>, "int or None."),
    GETTER("enable_push", get_enable_push, "bool or None."),
    GETTER("max_concurrent_streams", get_setting<&h2::Settings::max_concurrent_streams>,
           "int or None."),
    GETTER("initial_window_size", get_setting<&h2::Settings::initial_window_size>, "int or None."),
    GETTER("max_frame_size", get_setting<&h2::Settings::max_frame_size>, "int or None."),
    GETTER("max_header_list_size", get_setting<&h2::Settings::max_header_list_size>,
           "int or None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kWindowUpdateGetters[] = {
    STREAM_ID,
    GETTER("increment", get_code, "The window increment (31 bits, never 0)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kPingGetters[] = {
    GETTER("ack", get_flag, "Whether this PING is a reply."),
    GETTER("data", get_bytes, "The 8 opaque bytes."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kGoAwayGetters[] = {
    GETTER("last_stream_id", get_stream_id, "The last stream id the peer may have processed."),
    GETTER("error_code", get_code, "The raw 32-bit error code."),
    GETTER("debug_data", get_bytes, "The opaque debug data (possibly empty)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kRstStreamGetters[] = {
    STREAM_ID,
    GETTER("error_code", get_code, "The raw 32-bit error code."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kPriorityGetters[] = {
    STREAM_ID,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kStreamErrorGetters[] = {
    STREAM_ID,
    GETTER("error_code", get_code, "Always PROTOCOL_ERROR."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef STREAM_ID
#undef GETTER

// The slots of one event class; `repr` is null for the default repr.
#define EVENT_CLASS(var, name, doc, getters, repr)                                     \
  PyType_Slot var##Slots[] = {                                                         \
      {Py_tp_doc, const_cast<char*>(doc)},                                             \
      {Py_tp_dealloc, as_slot<box_dealloc<FrameFields>>()},                            \
      {Py_tp_getset, getters},                                                         \
      {repr == nullptr ? 0 : Py_tp_repr, repr}, /* no repr slot: the list ends here */ \
      {0, nullptr},                                                                    \
  };                                                                                   \
  PyType_Spec var##Spec = {QUILLET_CLASS_NAME(name), sizeof(Boxed<FrameFields>), 0, 0, \
                           var##Slots};                                                \
  TypeHolder var(&var##Spec, Subclassing::kFinal, Construction::kInternalOnly);

void* const kHeadersRepr = as_slot<headers_repr>();
void* const kDataRepr = as_slot<data_repr>();
void* const kSettingsRepr = as_slot<settings_repr>();

EVENT_CLASS(g_headers, "H2FrameHeaders", "A complete header block (HEADERS and CONTINUATION).",
            kHeadersGetters, kHeadersRepr)
EVENT_CLASS(g_data, "H2FrameData", "A DATA frame.", kDataGetters, kDataRepr)
EVENT_CLASS(g_settings, "H2FrameSettings", "A SETTINGS frame.", kSettingsGetters, kSettingsRepr)
EVENT_CLASS(g_window_update, "H2FrameWindowUpdate", "A WINDOW_UPDATE frame.", kWindowUpdateGetters,
            nullptr)
EVENT_CLASS(g_ping, "H2FramePing", "A PING frame.", kPingGetters, nullptr)
EVENT_CLASS(g_go_away, "H2FrameGoAway", "A GOAWAY frame.", kGoAwayGetters, nullptr)
EVENT_CLASS(g_rst_stream, "H2FrameRstStream", "A RST_STREAM frame.", kRstStreamGetters, nullptr)
EVENT_CLASS(g_priority, "H2FramePriority", "A PRIORITY frame (only its stream is kept).",
            kPriorityGetters, nullptr)
EVENT_CLASS(g_stream_error, "H2FrameStreamError",
            "A stream-level protocol error found while decoding: reset the stream, keep the "
            "connection.",
            kStreamErrorGetters, nullptr)

#undef EVENT_CLASS

PyObject* new_bytes(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

// A pseudo-header value as str (bytes that are not UTF-8 survive as surrogates), or None.
PyObject* new_pseudo(const std::optional<std::string>& value) {
  if (!value) return new_none();
  return PyUnicode_DecodeUTF8(value->data(), Py_ssize_t(value->size()), "surrogateescape");
}

PyObject* make_event(h2::DecodeBatch& batch, h2::FrameEvent& e,
                     const std::shared_ptr<PairCache>& pairs) {
  TypeHolder* holder = nullptr;
  switch (e.kind) {
    case h2::FrameEventKind::kData:
      holder = &g_data;
      break;
    case h2::FrameEventKind::kHeaders:
      holder = &g_headers;
      break;
    case h2::FrameEventKind::kSettings:
      holder = &g_settings;
      break;
    case h2::FrameEventKind::kWindowUpdate:
      holder = &g_window_update;
      break;
    case h2::FrameEventKind::kPing:
      holder = &g_ping;
      break;
    case h2::FrameEventKind::kGoAway:
      holder = &g_go_away;
      break;
    case h2::FrameEventKind::kRstStream:
      holder = &g_rst_stream;
      break;
    case h2::FrameEventKind::kPriority:
      holder = &g_priority;
      break;
    case h2::FrameEventKind::kStreamError:
      holder = &g_stream_error;
      break;
  }
  PyTypeObject* type = holder->get();
  if (type == nullptr) return nullptr;
  FrameFields s;
  s.stream_id = e.stream_id;
  s.code = e.code;
  s.length = e.length;
  s.padding = e.padding;
  s.flag = e.flag;
  s.settings = e.settings;
  switch (e.kind) {
    case h2::FrameEventKind::kData:
    case h2::FrameEventKind::kGoAway:
      s.bytes = Ref::steal(new_bytes(batch.bytes(e)));
      if (!s.bytes) return nullptr;
      break;
    case h2::FrameEventKind::kPing:
      s.bytes = Ref::steal(new_bytes(std::string_view(e.ping.data(), e.ping.size())));
      if (!s.bytes) return nullptr;
      break;
    case h2::FrameEventKind::kHeaders: {
      h2::HeaderBlock& block = *e.block;
      using h2::hpack::PseudoHeader;
      const PseudoHeader kinds[] = {PseudoHeader::kMethod, PseudoHeader::kScheme,
                                    PseudoHeader::kAuthority, PseudoHeader::kPath,
                                    PseudoHeader::kProtocol};
      static_assert(std::size(kinds) == std::tuple_size_v<decltype(s.pseudo)>);
      for (size_t i = 0; i < std::size(kinds); ++i) {
        s.pseudo[i] = Ref::steal(new_pseudo(block.pseudo[kinds[i]]));
        if (!s.pseudo[i]) return nullptr;
      }
      const h2::BlockFacts facts = h2::block_facts(block);
      s.status = facts.status;
      s.content_length = facts.content_length;
      s.content_length_invalid = facts.content_length_invalid;
      s.shape = facts.shape;
      s.over_size = facts.over_size;
      s.field_count = block.fields.size();
      s.headers = Ref::steal(header_map_from_core(std::move(block.fields), pairs));
      if (!s.headers) return nullptr;
      break;
    }
    case h2::FrameEventKind::kSettings:
    case h2::FrameEventKind::kWindowUpdate:
    case h2::FrameEventKind::kRstStream:
    case h2::FrameEventKind::kPriority:
    case h2::FrameEventKind::kStreamError:
      break;
  }
  return box_new<FrameFields>(type, std::move(s));
}

// ---------------------------------------------------------------------------------------------
// H2Reason

struct ReasonState {
  uint32_t code = h2::kNoError;
};

// The names come from the wire table of codes.
const char* reason_name(uint32_t code) {
  return h2::kErrorCodeTexts[code].name;
}

// The fourteen instances, made once with the class and kept for the life of the process.
std::array<PyObject*, h2::kErrorCodeCount> g_reasons = {};

uint32_t code_of(PyObject* self) {
  return unbox<ReasonState>(self).code;
}

PyObject* reason_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames{"code"};
  static constexpr ArgParser kParser("H2Reason", kNames, 1, 1);
  PyObject* code = nullptr;
  if (!kParser.parse_call(args, kwargs, &code)) return nullptr;
  if (PyLong_Check(code)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(code, &overflow);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (overflow == 0 && value >= 0 && h2::known_error_code(uint64_t(value)) &&
        reason_type() != nullptr)
      return Py_NewRef(g_reasons[size_t(value)]);
  }
  return raise_h2_bad_reason(code);
}

PyObject* reason_repr(PyObject* self) {
  return PyUnicode_FromFormat("H2Reason.%s", reason_name(code_of(self)));
}

PyObject* reason_int(PyObject* self) {
  return PyLong_FromUnsignedLong(code_of(self));
}

Py_hash_t reason_hash(PyObject* self) {
  return Py_hash_t(code_of(self));
}

PyObject* reason_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool equal;
  if (Py_TYPE(other) == Py_TYPE(self)) {
    equal = code_of(other) == code_of(self);
  } else if (PyLong_Check(other)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(other, &overflow);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    equal = overflow == 0 && value == (long long)code_of(self);
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return new_bool((op == Py_EQ) == equal);
}

PyType_Slot kReasonSlots[] = {
    {Py_tp_doc, const_cast<char*>("H2Reason(code)\n--\n\n"
                                  "An RFC 9113 error code (0 to 13); the fourteen codes are the "
                                  "class's constants.")},
    {Py_tp_new, as_slot<reason_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<ReasonState>>()},
    {Py_tp_repr, as_slot<reason_repr>()},
    {Py_tp_str, as_slot<reason_repr>()},
    {Py_tp_hash, as_slot<reason_hash>()},
    {Py_tp_richcompare, as_slot<reason_richcompare>()},
    {Py_nb_int, as_slot<reason_int>()},
    {Py_nb_index, as_slot<reason_int>()},
    {0, nullptr},
};
PyType_Spec kReasonSpec = {QUILLET_CLASS_NAME("H2Reason"), sizeof(Boxed<ReasonState>), 0, 0,
                           kReasonSlots};
TypeHolder g_reason(&kReasonSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* frame_headers_type() {
  return g_headers.get();
}
PyTypeObject* frame_data_type() {
  return g_data.get();
}
PyTypeObject* frame_settings_type() {
  return g_settings.get();
}
PyTypeObject* frame_window_update_type() {
  return g_window_update.get();
}
PyTypeObject* frame_ping_type() {
  return g_ping.get();
}
PyTypeObject* frame_go_away_type() {
  return g_go_away.get();
}
PyTypeObject* frame_rst_stream_type() {
  return g_rst_stream.get();
}
PyTypeObject* frame_priority_type() {
  return g_priority.get();
}
PyTypeObject* frame_stream_error_type() {
  return g_stream_error.get();
}

PyTypeObject* reason_type() {
  PyTypeObject* type = g_reason.get();
  if (type == nullptr || g_reasons.back() != nullptr) return type;
  for (uint32_t code = 0; code < h2::kErrorCodeCount; ++code) {
    if (g_reasons[code] != nullptr) continue;
    PyObject* reason = box_new<ReasonState>(type, ReasonState{code});
    if (reason == nullptr) return nullptr;
    // The type is immutable to Python code; its constants are set once, here.
    if (PyDict_SetItemString(type->tp_dict, reason_name(code), reason) < 0) {
      Py_DECREF(reason);
      return nullptr;
    }
    g_reasons[code] = reason;
  }
  PyType_Modified(type);
  return type;
}

const FrameFields* frame_fields(PyObject* obj, PyTypeObject* type, const char* name) {
  if (type == nullptr) return nullptr;
  if (Py_TYPE(obj) != type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %.100s", name,
                 dot != nullptr ? dot + 1 : type->tp_name, Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return &state(obj);
}

std::shared_ptr<PairCache> header_pairs(const h2::DecodeBatch& batch,
                                        std::shared_ptr<PairCache>* owner) {
  for (const h2::FrameEvent& e : batch.events) {
    if (e.kind == h2::FrameEventKind::kHeaders && e.block && !e.block->fields.empty()) {
      if (!*owner) *owner = std::make_shared<PairCache>();
      return *owner;
    }
  }
  return nullptr;
}

PyObject* frame_events_list(h2::DecodeBatch& batch, const std::shared_ptr<PairCache>& pairs) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(batch.events.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < batch.events.size(); ++i) {
    PyObject* event = make_event(batch, batch.events[i], pairs);
    if (event == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), event);
  }
  return list.release();
}

}  // namespace quillet::py
