#include "src/h1/heads.h"

#include "src/http/header_map.h"
#include "src/py/interned.h"
#include "src/py/repr.h"
#include "src/py/types.h"

namespace quillet::py {
namespace {

using h1::BodyKind;

PyObject* new_content_length(BodyKind kind, uint64_t length) {
  if (kind == BodyKind::kChunked || kind == BodyKind::kClose) return new_none();
  return PyLong_FromUnsignedLongLong(length);
}

// The fields both heads share, as Python objects made once at parse time.
struct Common {
  Ref headers;
  BodyKind body_kind = BodyKind::kEmpty;
  uint64_t content_length = 0;
  bool keep_alive = false;
  bool is_upgrade = false;
  bool http10 = false;
};

struct RequestHeadState {
  Common common;
  Ref method;
  Ref target;
  bool expect_continue = false;
  bool allow_trailers = false;
};

struct ResponseHeadState {
  Common common;
  uint16_t status = 0;
};

template <class State>
const Common& common(PyObject* self) {
  return unbox<State>(self).common;
}

template <class State>
PyObject* get_headers(PyObject* self, void*) {
  return Py_NewRef(common<State>(self).headers.get());
}
template <class State>
PyObject* get_body_kind(PyObject* self, void*) {
  PyObject* kind = body_kind_str(common<State>(self).body_kind);
  return kind == nullptr ? nullptr : Py_NewRef(kind);
}
template <class State>
PyObject* get_content_length(PyObject* self, void*) {
  const Common& c = common<State>(self);
  return new_content_length(c.body_kind, c.content_length);
}
template <class State>
PyObject* get_keep_alive(PyObject* self, void*) {
  return new_bool(common<State>(self).keep_alive);
}
template <class State>
PyObject* get_is_upgrade(PyObject* self, void*) {
  return new_bool(common<State>(self).is_upgrade);
}
template <class State>
PyObject* get_http10(PyObject* self, void*) {
  return new_bool(common<State>(self).http10);
}

PyObject* get_method(PyObject* self, void*) {
  return Py_NewRef(unbox<RequestHeadState>(self).method.get());
}
PyObject* get_target(PyObject* self, void*) {
  return Py_NewRef(unbox<RequestHeadState>(self).target.get());
}
PyObject* get_expect_continue(PyObject* self, void*) {
  return new_bool(unbox<RequestHeadState>(self).expect_continue);
}
PyObject* get_allow_trailers(PyObject* self, void*) {
  return new_bool(unbox<RequestHeadState>(self).allow_trailers);
}
PyObject* get_status(PyObject* self, void*) {
  return PyLong_FromLong(unbox<ResponseHeadState>(self).status);
}

const char* body_kind_text(BodyKind kind) {
  return h1::body_kind_name(kind).data();  // a literal, so it ends in a NUL
}

PyObject* request_head_repr(PyObject* self) {
  const RequestHeadState& s = unbox<RequestHeadState>(self);
  return PyUnicode_FromFormat("H1RequestHead(method=%R, target=%R, body_kind=%s)", s.method.get(),
                              s.target.get(), body_kind_text(s.common.body_kind));
}

PyObject* response_head_repr(PyObject* self) {
  const ResponseHeadState& s = unbox<ResponseHeadState>(self);
  ReprWriter w("H1ResponseHead");
  w.field("status", uint64_t(s.status))
      .raw_field("body_kind", body_kind_text(s.common.body_kind))
      .field("keep_alive", s.common.keep_alive);
  return w.finish();
}

#define COMMON_PROPERTIES(State)                                                             \
  {"headers", as_getter<get_headers<State>>(), nullptr, "The header fields, in wire order.", \
   nullptr},                                                                                 \
      {"body_kind", as_getter<get_body_kind<State>>(), nullptr,                              \
       "The body framing: 'empty', 'length', 'chunked' or 'close'.", nullptr},               \
      {"content_length", as_getter<get_content_length<State>>(), nullptr,                    \
       "The body length for 'empty' (0) and 'length'; None otherwise.", nullptr},            \
      {"keep_alive", as_getter<get_keep_alive<State>>(), nullptr,                            \
       "Whether the connection may be reused after this message.", nullptr},                 \
      {"is_upgrade", as_getter<get_is_upgrade<State>>(), nullptr,                            \
       "Whether the connection becomes a tunnel.", nullptr},                                 \
  {                                                                                          \
    "http10", get_http10<State>, nullptr, "Whether the start line said HTTP/1.0.", nullptr   \
  }

PyGetSetDef kRequestProperties[] = {
    {"method", as_getter<get_method>(), nullptr, "The request method.", nullptr},
    {"target", as_getter<get_target>(), nullptr, "The request-target.", nullptr},
    COMMON_PROPERTIES(RequestHeadState),
    {"expect_continue", as_getter<get_expect_continue>(), nullptr,
     "Whether the request carried Expect: 100-continue.", nullptr},
    {"allow_trailers", as_getter<get_allow_trailers>(), nullptr,
     "Whether the request carried TE: trailers, so response trailers may be sent.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kResponseProperties[] = {
    {"status", as_getter<get_status>(), nullptr, "The status code.", nullptr},
    COMMON_PROPERTIES(ResponseHeadState),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef COMMON_PROPERTIES

PyType_Slot kRequestSlots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 request head.")},
    {Py_tp_dealloc, as_slot<box_dealloc<RequestHeadState>>()},
    {Py_tp_getset, kRequestProperties},
    {Py_tp_repr, as_slot<request_head_repr>()},
    {0, nullptr},
};
PyType_Spec kRequestSpec = {QUILLET_CLASS_NAME("H1RequestHead"), sizeof(Boxed<RequestHeadState>), 0,
                            0, kRequestSlots};
TypeHolder g_request_type(&kRequestSpec, Subclassing::kFinal, Construction::kInternalOnly);

PyType_Slot kResponseSlots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 response head.")},
    {Py_tp_dealloc, as_slot<box_dealloc<ResponseHeadState>>()},
    {Py_tp_getset, kResponseProperties},
    {Py_tp_repr, as_slot<response_head_repr>()},
    {0, nullptr},
};
PyType_Spec kResponseSpec = {QUILLET_CLASS_NAME("H1ResponseHead"), sizeof(Boxed<ResponseHeadState>),
                             0, 0, kResponseSlots};
TypeHolder g_response_type(&kResponseSpec, Subclassing::kFinal, Construction::kInternalOnly);

PyObject* new_header_map(h1::RequestHead& head, std::shared_ptr<PairCache>&& pairs) {
  if (head.fields_listed) return header_map_from_fields(std::move(head.fields), std::move(pairs));
  return header_map_from_core(std::move(head.headers));
}
// A response's map is asked for a few fields, seldom for its raw list: no pair cache.
PyObject* new_header_map(h1::ResponseHead& head, std::shared_ptr<PairCache>&&) {
  if (head.fields_listed) return header_map_from_fields(std::move(head.fields), nullptr);
  return header_map_from_core(std::move(head.headers));
}

template <class Head>
bool fill_common(Common* c, Head&& head, std::shared_ptr<PairCache>&& pairs = nullptr) {
  c->headers = Ref::steal(new_header_map(head, std::move(pairs)));
  if (!c->headers) return false;
  c->body_kind = head.body_kind;
  c->content_length = head.content_length;
  c->keep_alive = head.keep_alive;
  c->is_upgrade = head.is_upgrade;
  c->http10 = head.http10;
  return true;
}

}  // namespace

PyTypeObject* request_head_type() {
  return g_request_type.get();
}
PyTypeObject* response_head_type() {
  return g_response_type.get();
}

PyObject* body_kind_str(BodyKind kind) {
  static_assert(int(Str::kClose) - int(Str::kEmpty) + 1 == h1::kBodyKindCount);
  return interned(str_of_body_kind(int(kind)));
}

PyObject* method_str(h1::Method method, std::string_view extension) {
  switch (method) {
    case h1::Method::kOptions:
      return new_interned(Str::kOptions);
    case h1::Method::kGet:
      return new_interned(Str::kGet);
    case h1::Method::kPost:
      return new_interned(Str::kPost);
    case h1::Method::kPut:
      return new_interned(Str::kPut);
    case h1::Method::kDelete:
      return new_interned(Str::kDelete);
    case h1::Method::kHead:
      return new_interned(Str::kHead);
    case h1::Method::kTrace:
      return new_interned(Str::kTrace);
    case h1::Method::kConnect:
      return new_interned(Str::kConnect);
    case h1::Method::kPatch:
      return new_interned(Str::kPatch);
    case h1::Method::kQuery:
      return new_interned(Str::kQuery);
    case h1::Method::kExtension:
      break;
  }
  // A token is ASCII, so its bytes are its text.
  return PyUnicode_FromStringAndSize(extension.data(), Py_ssize_t(extension.size()));
}

PyObject* make_request_head(h1::RequestHead&& head, std::shared_ptr<PairCache> pairs) {
  PyTypeObject* type = request_head_type();
  if (type == nullptr) return nullptr;
  Ref obj = Ref::steal(box_new<RequestHeadState>(type));
  if (!obj) return nullptr;
  RequestHeadState& s = unbox<RequestHeadState>(obj.get());
  s.method = Ref::steal(method_str(head.method, head.method_token));
  s.target = Ref::steal(
      PyUnicode_DecodeUTF8(head.target.data(), Py_ssize_t(head.target.size()), "strict"));
  if (!s.method || !s.target || !fill_common(&s.common, std::move(head), std::move(pairs))) {
    return nullptr;
  }
  s.expect_continue = head.expect_continue;
  s.allow_trailers = head.allow_trailers;
  return obj.release();
}

PyObject* make_response_head(h1::ResponseHead&& head) {
  PyTypeObject* type = response_head_type();
  if (type == nullptr) return nullptr;
  Ref obj = Ref::steal(box_new<ResponseHeadState>(type));
  if (!obj) return nullptr;
  ResponseHeadState& s = unbox<ResponseHeadState>(obj.get());
  if (!fill_common(&s.common, std::move(head))) return nullptr;
  s.status = head.status;
  return obj.release();
}

}  // namespace quillet::py
