// Test support for the HTTP/1 connection states without Python: counted stand-ins for the objects
// the embedding layer hands in, and the state's cores over a plain Codec. Shared by the C++ tests
// and the fuzz target.
#pragma once

#include "wire/common/handle.h"
#include "wire/h1/body_decoder.h"
#include "wire/h1/codec.h"
#include "wire/h1/server_state.h"

#include <optional>
#include <string>
#include <utility>

namespace quillet::h1::test_support {

// A stand-in for an object of the embedding layer: a name for messages, its reference count,
// and what the object is when the server state's cores look inside (a body decoder, or the
// bytes of a read). Every C++ test of a connection state uses these stand-ins and hooks: the
// hooks are installed once per process, so all tests of one binary must share them.
struct Obj {
  Obj() = default;
  explicit Obj(std::string object_name) : name(std::move(object_name)) {}

  std::string name;
  int refs = 1;  // the owner's own reference
  std::optional<BodyDecoder> decoder;
  std::string bytes;
};

// Releases since the counter was last reset.
inline int g_releases = 0;

inline void retain_obj(void* p) {
  ++static_cast<Obj*>(p)->refs;
}
inline void release_obj(void* p) {
  --static_cast<Obj*>(p)->refs;
  ++g_releases;
}
inline bool install_counting_hooks() {
  return Handle::install_hooks(retain_obj, release_obj);
}

// A new reference to `obj`, as the boundary makes one for an argument.
inline Handle ref(Obj& obj) {
  return Handle::retain(&obj);
}

class PlainCores final : public ServerCores {
 public:
  explicit PlainCores(Codec& codec) : codec_(codec) {}

  HeadResult parse_head(std::string_view data, RequestHead* head, ParseKind* error,
                        std::string* rest) override {
    const HeadResult result = codec_.receive_request_head(data, head, error);
    if (result == HeadResult::kHead) *rest = codec_.take_body();
    return result;
  }
  bool start_body(void* decoder, const RequestHead& head, std::string&& rest) override {
    Obj& o = *static_cast<Obj*>(decoder);
    o.decoder.emplace(head.body_kind, head.content_length);
    o.decoder->feed_owned(std::move(rest));
    return o.decoder->is_complete();
  }
  size_t codec_buffered() override { return codec_.buffered(); }
  void codec_reset() override { codec_.reset(); }
  size_t decoder_to_codec(void* decoder, bool whole) override {
    Obj& o = *static_cast<Obj*>(decoder);
    if (!o.decoder || (!whole && !o.decoder->is_complete())) return 0;
    const std::string bytes = o.decoder->take_buffered();
    codec_.feed(bytes);
    return bytes.size();
  }
  void codec_feed_read(void* read) override { codec_.feed(static_cast<Obj*>(read)->bytes); }
  std::string codec_take_all() override { return codec_.take_body(); }
  std::optional<UserKind> encode_response(StatusCode status, bool keep_alive, bool http10,
                                          const BodySpec& body, const HeaderMap& headers,
                                          std::string* out, Encoded* verdicts) override {
    std::optional<UserKind> failure =
        codec_.encode_response(status, keep_alive, http10, body, headers, out);
    verdicts->last = codec_.response_is_last();
    verdicts->close_delimited = codec_.response_close_delimited();
    return failure;
  }

 private:
  Codec& codec_;
};

}  // namespace quillet::h1::test_support
