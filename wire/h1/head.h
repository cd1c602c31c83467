// Parsed HTTP/1 message heads.
#pragma once

#include "wire/common/field_list.h"
#include "wire/common/header_map.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace quillet::h1 {

enum class Method : uint8_t {
  kOptions,
  kGet,
  kPost,
  kPut,
  kDelete,
  kHead,
  kTrace,
  kConnect,
  kPatch,
  kQuery,
  kExtension,  // any other token; its text is kept beside it
};

// The standard method a token names (case-sensitive), or kExtension.
Method method_from_token(std::string_view token);
// The text of a standard method ("" for kExtension).
std::string_view method_text(Method method);

// A request method as recorded between a request and its response.
struct RequestMethod {
  Method method = Method::kGet;
  std::string extension;  // the token, for kExtension only

  bool is(Method m) const { return method == m; }
};

enum class BodyKind : uint8_t {
  kEmpty,    // no body (also a declared length of 0)
  kLength,   // exactly content_length bytes follow
  kChunked,  // chunked transfer coding
  kClose,    // the body runs until the peer closes (responses only)
};
inline constexpr int kBodyKindCount = int(BodyKind::kClose) + 1;

// The one spelling of each body kind, as heads and body decoders show it, indexed by BodyKind.
inline constexpr std::string_view kBodyKindNames[] = {"empty", "length", "chunked", "close"};
static_assert(std::size(kBodyKindNames) == kBodyKindCount, "one name per body kind");

constexpr std::string_view body_kind_name(BodyKind kind) {
  return kBodyKindNames[size_t(kind)];
}
// The kind a name spells; any other name is kEmpty.
constexpr BodyKind body_kind_from_name(std::string_view name) {
  for (size_t i = 0; i < std::size(kBodyKindNames); ++i) {
    if (kBodyKindNames[i] == name) return BodyKind(i);
  }
  return BodyKind::kEmpty;
}

// The largest declared length a head may carry; above it is refused: the two largest values
// stand for "chunked" and "close" inside the body framing.
inline constexpr uint64_t kMaxContentLength = UINT64_MAX - 2;

struct RequestHead {
  Method method = Method::kGet;
  std::string method_token;  // the token, for kExtension only
  std::string target;
  HeaderMap headers;
  // With RequestLimits::fields_as_list, the header fields may be left here instead of in
  // `headers` (then empty): `fields_listed` says so. Filling a map from `fields` gives `headers`.
  FieldList fields;
  bool fields_listed = false;
  BodyKind body_kind = BodyKind::kEmpty;
  uint64_t content_length = 0;
  bool keep_alive = true;
  bool expect_continue = false;
  bool is_upgrade = false;
  bool http10 = false;
  bool allow_trailers = false;
};

struct ResponseHead {
  uint16_t status = 0;
  HeaderMap headers;
  // With ResponseLimits::fields_as_list, as RequestHead::fields.
  FieldList fields;
  bool fields_listed = false;
  BodyKind body_kind = BodyKind::kEmpty;
  uint64_t content_length = 0;
  bool keep_alive = true;
  bool is_upgrade = false;
  bool http10 = false;
};

}  // namespace quillet::h1
