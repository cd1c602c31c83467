#include "src/py/interned.h"

#include "wire/h1/head.h"

#include <array>

namespace quillet::py {
namespace {

struct Text {
  Str which;
  const char* text;
};

// One row per `Str`, in its order; the checks below refuse a missing or misplaced row at
// compile time, so a lookup can never index past the table or hand out the wrong text.
constexpr const char* body_kind(h1::BodyKind kind) {
  return h1::body_kind_name(kind).data();  // each name is a literal, so it ends in a NUL
}

constexpr std::array kTexts = {
    Text{Str::kEmpty, body_kind(h1::BodyKind::kEmpty)},
    Text{Str::kLength, body_kind(h1::BodyKind::kLength)},
    Text{Str::kChunked, body_kind(h1::BodyKind::kChunked)},
    Text{Str::kClose, body_kind(h1::BodyKind::kClose)},
    Text{Str::kGet, "GET"},
    Text{Str::kHead, "HEAD"},
    Text{Str::kPost, "POST"},
    Text{Str::kPut, "PUT"},
    Text{Str::kDelete, "DELETE"},
    Text{Str::kConnect, "CONNECT"},
    Text{Str::kOptions, "OPTIONS"},
    Text{Str::kTrace, "TRACE"},
    Text{Str::kPatch, "PATCH"},
    Text{Str::kQuery, "QUERY"},
};
static_assert(kTexts.size() == kStrCount, "one text per Str");
static_assert(
    [] {
      for (size_t i = 0; i < kTexts.size(); ++i) {
        if (int(kTexts[i].which) != int(i)) return false;
      }
      return true;
    }(),
    "the texts are in the order of Str");

PyObject* g_strings[kStrCount] = {};

}  // namespace

PyObject* interned(Str which) {
  PyObject*& slot = g_strings[int(which)];
  if (slot == nullptr) slot = PyUnicode_InternFromString(kTexts[size_t(which)].text);
  return slot;
}

}  // namespace quillet::py
