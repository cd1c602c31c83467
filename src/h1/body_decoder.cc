#include "src/h1/body_decoder.h"

#include "src/http/header_map.h"
#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/types.h"

#include <array>

namespace quillet::py {
namespace {

// Reads at least this long are decoded in place rather than copied into the decoder.
constexpr size_t kLendAtLeast = 4096;

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 2> kNames{"kind", "length"};
  static constexpr ArgParser kParser("H1BodyDecoder", kNames, 2, 1);
  PyObject* a[2];
  if (!kParser.parse_call(args, kwargs, a)) return nullptr;
  Text kind;
  uint64_t length = 0;
  if (!arg_str(a[0], "kind", &kind) || (a[1] != nullptr && !arg_u64(a[1], "length", &length))) {
    return nullptr;
  }
  return box_new<BodyDecoderState>(type, h1::BodyDecoder::from_kind(kind.bytes, length));
}

PyObject* decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"data"};
  static constexpr ArgParser kParser("feed", kNames, 1, 1);
  PyObject* obj;
  std::string_view data;
  if (!kParser.parse(args, nargs, kwnames, &obj) || !arg_bytes(obj, "data", &data)) {
    return nullptr;
  }
  BodyDecoderState& s = body_decoder_state(self);
  ReleaseBin bin;
  {
    Guard guard(s.lock);
    // Bytes still lent by the previous feed become the decoder's own before their owner goes.
    if (s.lender && s.decoder.lending()) s.decoder.keep_lent();
    bin.add(std::move(s.lender));
    if (s.decoder.buffered() == 0 && data.size() >= kLendAtLeast) {
      // A large read is decoded in place: each chunk is then copied once, into its result.
      s.decoder.feed_lent(data);
      s.lender = Ref::borrow(obj);
    } else {
      s.decoder.feed(data);
    }
  }
  return new_none();
}

PyObject* decoder_mark_eof(PyObject* self, PyObject*) {
  BodyDecoderState& s = body_decoder_state(self);
  {
    Guard guard(s.lock);
    s.decoder.mark_eof();
  }
  return new_none();
}

// The next chunk of body data as one bytes object, copied once from the input buffer (or, when
// it is the whole of a lent read, that bytes object itself). The bytes object is made under the
// lock: bytes are not tracked by the cyclic collector, so making one
// cannot start a collection or run any Python code.
PyObject* decoder_decode(PyObject* self, PyObject*) {
  BodyDecoderState& s = body_decoder_state(self);
  Guard guard(s.lock);
  h1::DecodeResult result = s.decoder.decode();
  switch (result.status) {
    case h1::DecodeStatus::kData: {
      PyObject* chunk;
      PyObject* lender = s.lender.get();
      if (lender != nullptr && PyBytes_CheckExact(lender) &&
          result.data.data() == PyBytes_AS_STRING(lender) &&
          Py_ssize_t(result.data.size()) == PyBytes_GET_SIZE(lender)) {
        // The chunk is the whole of a lent read: handed back as it is, not copied.
        chunk = Py_NewRef(lender);
      } else {
        chunk = PyBytes_FromStringAndSize(result.data.data(), Py_ssize_t(result.data.size()));
      }
      if (chunk != nullptr) s.decoder.consume(result.data.size());
      return chunk;
    }
    case h1::DecodeStatus::kNeedMore:
    case h1::DecodeStatus::kComplete:
      break;
    case h1::DecodeStatus::kError: {
      const h1::Error error = *result.error;
      guard.unlock();
      return raise_h1(error);
    }
  }
  guard.unlock();
  return new_none();
}

PyObject* decoder_take_trailers(PyObject* self, PyObject*) {
  BodyDecoderState& s = body_decoder_state(self);
  std::optional<HeaderMap> trailers;
  {
    Guard guard(s.lock);
    trailers = s.decoder.take_trailers();
  }
  if (!trailers) return new_none();
  return header_map_from_core(std::move(*trailers));
}

PyObject* decoder_is_complete(PyObject* self, void*) {
  BodyDecoderState& s = body_decoder_state(self);
  Guard guard(s.lock);
  const bool complete = s.decoder.is_complete();
  guard.unlock();
  return new_bool(complete);
}

PyObject* decoder_buffered(PyObject* self, void*) {
  BodyDecoderState& s = body_decoder_state(self);
  Guard guard(s.lock);
  const size_t buffered = s.decoder.buffered();
  guard.unlock();
  return PyLong_FromSize_t(buffered);
}

PyMethodDef kMethods[] = {
    {"feed", as_method<decoder_feed>(), METH_FASTCALL | METH_KEYWORDS,
     "feed($self, /, data)\n--\n\nAppend received bytes."},
    {"mark_eof", as_method<decoder_mark_eof>(), METH_NOARGS,
     "mark_eof($self, /)\n--\n\nThe transport has ended."},
    {"decode", as_method<decoder_decode>(), METH_NOARGS,
     "decode($self, /)\n--\n\nThe next chunk of body data; None when the body has ended "
     "(is_complete) or more bytes are needed."},
    {"take_trailers", as_method<decoder_take_trailers>(), METH_NOARGS,
     "take_trailers($self, /)\n--\n\n"
     "The trailer fields of an ended chunked body as a HeaderMap, once; else None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"is_complete", as_getter<decoder_is_complete>(), nullptr, "The body has ended.", nullptr},
    {"buffered", as_getter<decoder_buffered>(), nullptr,
     "Bytes fed and not decoded; once complete, the bytes of the next message.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("H1BodyDecoder(kind, length=0)\n--\n\n"
                       "Decodes one HTTP/1 message body framed as kind 'length' (of `length` "
                       "bytes), 'chunked' or 'close'; any other kind is an empty body.")},
    {Py_tp_new, as_slot<decoder_new>()},
    {Py_tp_dealloc, as_slot<box_dealloc<BodyDecoderState>>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

PyType_Spec kSpec = {QUILLET_CLASS_NAME("H1BodyDecoder"), sizeof(Boxed<BodyDecoderState>), 0, 0,
                     kSlots};
TypeHolder g_type(&kSpec, Subclassing::kFinal, Construction::kFromPython);

}  // namespace

PyTypeObject* body_decoder_type() {
  return g_type.get();
}

bool body_decoder_check(PyObject* obj) {
  PyTypeObject* type = body_decoder_type();
  return type != nullptr && Py_IS_TYPE(obj, type);
}

BodyDecoderState& body_decoder_state(PyObject* decoder) {
  return unbox<BodyDecoderState>(decoder);
}

PyObject* make_body_decoder(h1::BodyDecoder&& decoder) {
  PyTypeObject* type = body_decoder_type();
  if (type == nullptr) return nullptr;
  return box_new<BodyDecoderState>(type, std::move(decoder));
}

}  // namespace quillet::py
