#include "src/py/header_names.h"

#include <iterator>

namespace quillet::py {
namespace {

// Header names common enough that every list of names shares one object for each,
// sorted; kKnownHeaderNames[i] is the name of index i.
constexpr const char* kKnownHeaderNames[] = {
    "accept",
    "accept-charset",
    "accept-encoding",
    "accept-language",
    "accept-ranges",
    "access-control-allow-credentials",
    "access-control-allow-headers",
    "access-control-allow-methods",
    "access-control-allow-origin",
    "access-control-request-headers",
    "access-control-request-method",
    "age",
    "allow",
    "authorization",
    "cache-control",
    "connection",
    "content-disposition",
    "content-encoding",
    "content-language",
    "content-length",
    "content-location",
    "content-range",
    "content-security-policy",
    "content-type",
    "cookie",
    "date",
    "dnt",
    "etag",
    "expect",
    "expires",
    "forwarded",
    "host",
    "if-match",
    "if-modified-since",
    "if-none-match",
    "if-range",
    "if-unmodified-since",
    "keep-alive",
    "last-modified",
    "link",
    "location",
    "origin",
    "pragma",
    "proxy-authorization",
    "range",
    "referer",
    "referrer-policy",
    "retry-after",
    "sec-ch-ua",
    "sec-ch-ua-mobile",
    "sec-ch-ua-platform",
    "sec-fetch-dest",
    "sec-fetch-mode",
    "sec-fetch-site",
    "sec-fetch-user",
    "sec-websocket-accept",
    "sec-websocket-extensions",
    "sec-websocket-key",
    "sec-websocket-protocol",
    "sec-websocket-version",
    "server",
    "set-cookie",
    "strict-transport-security",
    "te",
    "trailer",
    "transfer-encoding",
    "upgrade",
    "upgrade-insecure-requests",
    "user-agent",
    "vary",
    "via",
    "www-authenticate",
    "x-content-type-options",
    "x-forwarded-for",
    "x-forwarded-host",
    "x-forwarded-proto",
    "x-frame-options",
    "x-real-ip",
    "x-request-id",
};
constexpr int kKnownHeaderNameCount = int(std::size(kKnownHeaderNames));

// The index of a lower-case name in kKnownHeaderNames, or -1: by length, then first byte.
constexpr int known_header_name(std::string_view name) {
  if (name.empty()) return -1;
  switch (name.size() * 256 + static_cast<unsigned char>(name[0])) {
    case 2 * 256 + 't':
      if (name == "te") return 63;
      return -1;
    case 3 * 256 + 'a':
      if (name == "age") return 11;
      return -1;
    case 3 * 256 + 'd':
      if (name == "dnt") return 26;
      return -1;
    case 3 * 256 + 'v':
      if (name == "via") return 70;
      return -1;
    case 4 * 256 + 'd':
      if (name == "date") return 25;
      return -1;
    case 4 * 256 + 'e':
      if (name == "etag") return 27;
      return -1;
    case 4 * 256 + 'h':
      if (name == "host") return 31;
      return -1;
    case 4 * 256 + 'l':
      if (name == "link") return 39;
      return -1;
    case 4 * 256 + 'v':
      if (name == "vary") return 69;
      return -1;
    case 5 * 256 + 'a':
      if (name == "allow") return 12;
      return -1;
    case 5 * 256 + 'r':
      if (name == "range") return 44;
      return -1;
    case 6 * 256 + 'a':
      if (name == "accept") return 0;
      return -1;
    case 6 * 256 + 'c':
      if (name == "cookie") return 24;
      return -1;
    case 6 * 256 + 'e':
      if (name == "expect") return 28;
      return -1;
    case 6 * 256 + 'o':
      if (name == "origin") return 41;
      return -1;
    case 6 * 256 + 'p':
      if (name == "pragma") return 42;
      return -1;
    case 6 * 256 + 's':
      if (name == "server") return 60;
      return -1;
    case 7 * 256 + 'e':
      if (name == "expires") return 29;
      return -1;
    case 7 * 256 + 'r':
      if (name == "referer") return 45;
      return -1;
    case 7 * 256 + 't':
      if (name == "trailer") return 64;
      return -1;
    case 7 * 256 + 'u':
      if (name == "upgrade") return 66;
      return -1;
    case 8 * 256 + 'i':
      if (name == "if-match") return 32;
      if (name == "if-range") return 35;
      return -1;
    case 8 * 256 + 'l':
      if (name == "location") return 40;
      return -1;
    case 9 * 256 + 'f':
      if (name == "forwarded") return 30;
      return -1;
    case 9 * 256 + 's':
      if (name == "sec-ch-ua") return 48;
      return -1;
    case 9 * 256 + 'x':
      if (name == "x-real-ip") return 77;
      return -1;
    case 10 * 256 + 'c':
      if (name == "connection") return 15;
      return -1;
    case 10 * 256 + 'k':
      if (name == "keep-alive") return 37;
      return -1;
    case 10 * 256 + 's':
      if (name == "set-cookie") return 61;
      return -1;
    case 10 * 256 + 'u':
      if (name == "user-agent") return 68;
      return -1;
    case 11 * 256 + 'r':
      if (name == "retry-after") return 47;
      return -1;
    case 12 * 256 + 'c':
      if (name == "content-type") return 23;
      return -1;
    case 12 * 256 + 'x':
      if (name == "x-request-id") return 78;
      return -1;
    case 13 * 256 + 'a':
      if (name == "accept-ranges") return 4;
      if (name == "authorization") return 13;
      return -1;
    case 13 * 256 + 'c':
      if (name == "cache-control") return 14;
      if (name == "content-range") return 21;
      return -1;
    case 13 * 256 + 'i':
      if (name == "if-none-match") return 34;
      return -1;
    case 13 * 256 + 'l':
      if (name == "last-modified") return 38;
      return -1;
    case 14 * 256 + 'a':
      if (name == "accept-charset") return 1;
      return -1;
    case 14 * 256 + 'c':
      if (name == "content-length") return 19;
      return -1;
    case 14 * 256 + 's':
      if (name == "sec-fetch-dest") return 51;
      if (name == "sec-fetch-mode") return 52;
      if (name == "sec-fetch-site") return 53;
      if (name == "sec-fetch-user") return 54;
      return -1;
    case 15 * 256 + 'a':
      if (name == "accept-encoding") return 2;
      if (name == "accept-language") return 3;
      return -1;
    case 15 * 256 + 'r':
      if (name == "referrer-policy") return 46;
      return -1;
    case 15 * 256 + 'x':
      if (name == "x-forwarded-for") return 73;
      if (name == "x-frame-options") return 76;
      return -1;
    case 16 * 256 + 'c':
      if (name == "content-encoding") return 17;
      if (name == "content-language") return 18;
      if (name == "content-location") return 20;
      return -1;
    case 16 * 256 + 's':
      if (name == "sec-ch-ua-mobile") return 49;
      return -1;
    case 16 * 256 + 'w':
      if (name == "www-authenticate") return 71;
      return -1;
    case 16 * 256 + 'x':
      if (name == "x-forwarded-host") return 74;
      return -1;
    case 17 * 256 + 'i':
      if (name == "if-modified-since") return 33;
      return -1;
    case 17 * 256 + 's':
      if (name == "sec-websocket-key") return 57;
      return -1;
    case 17 * 256 + 't':
      if (name == "transfer-encoding") return 65;
      return -1;
    case 17 * 256 + 'x':
      if (name == "x-forwarded-proto") return 75;
      return -1;
    case 18 * 256 + 's':
      if (name == "sec-ch-ua-platform") return 50;
      return -1;
    case 19 * 256 + 'c':
      if (name == "content-disposition") return 16;
      return -1;
    case 19 * 256 + 'i':
      if (name == "if-unmodified-since") return 36;
      return -1;
    case 19 * 256 + 'p':
      if (name == "proxy-authorization") return 43;
      return -1;
    case 20 * 256 + 's':
      if (name == "sec-websocket-accept") return 55;
      return -1;
    case 21 * 256 + 's':
      if (name == "sec-websocket-version") return 59;
      return -1;
    case 22 * 256 + 's':
      if (name == "sec-websocket-protocol") return 58;
      return -1;
    case 22 * 256 + 'x':
      if (name == "x-content-type-options") return 72;
      return -1;
    case 23 * 256 + 'c':
      if (name == "content-security-policy") return 22;
      return -1;
    case 24 * 256 + 's':
      if (name == "sec-websocket-extensions") return 56;
      return -1;
    case 25 * 256 + 's':
      if (name == "strict-transport-security") return 62;
      return -1;
    case 25 * 256 + 'u':
      if (name == "upgrade-insecure-requests") return 67;
      return -1;
    case 27 * 256 + 'a':
      if (name == "access-control-allow-origin") return 8;
      return -1;
    case 28 * 256 + 'a':
      if (name == "access-control-allow-headers") return 6;
      if (name == "access-control-allow-methods") return 7;
      return -1;
    case 29 * 256 + 'a':
      if (name == "access-control-request-method") return 10;
      return -1;
    case 30 * 256 + 'a':
      if (name == "access-control-request-headers") return 9;
      return -1;
    case 32 * 256 + 'a':
      if (name == "access-control-allow-credentials") return 5;
      return -1;
    default:
      return -1;
  }
}

// Every row is found under its own index: the hand-written indices above cannot drift from the
// table.
static_assert(
    [] {
      for (int i = 0; i < kKnownHeaderNameCount; ++i) {
        if (known_header_name(kKnownHeaderNames[i]) != i) return false;
      }
      return true;
    }(),
    "known_header_name agrees with kKnownHeaderNames");

// Values that clients send under a common name over and over, whatever the site: fixed
// protocol tokens and the defaults of widely used browsers and tools. A value object is shared
// only on an exact byte match. Kept short: a lookup compares the value with every row of its
// name.
struct CommonValue {
  std::string_view name;
  std::string_view value;
};
constexpr CommonValue kCommonValues[] = {
    {"accept", "*/*"},
    {"accept", "application/json"},
    {"accept", "text/css,*/*;q=0.1"},
    {"accept", "image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8"},
    {"accept",
     "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,image/apng,"
     "*/*;q=0.8,application/signed-exchange;v=b3;q=0.7"},
    {"accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {"accept-encoding", "gzip, deflate"},
    {"accept-encoding", "gzip, deflate, br"},
    {"accept-encoding", "gzip, deflate, br, zstd"},
    {"accept-encoding", "gzip"},
    {"accept-encoding", "identity"},
    {"accept-language", "en-US,en;q=0.9"},
    {"accept-language", "en-US,en;q=0.5"},
    {"cache-control", "no-cache"},
    {"cache-control", "max-age=0"},
    {"connection", "keep-alive"},
    {"connection", "close"},
    {"connection", "Upgrade"},
    {"content-type", "application/json"},
    {"content-type", "application/x-www-form-urlencoded"},
    {"content-type", "text/plain"},
    {"content-type", "text/plain;charset=UTF-8"},
    {"content-type", "application/octet-stream"},
    {"dnt", "1"},
    {"pragma", "no-cache"},
    {"sec-ch-ua-mobile", "?0"},
    {"sec-ch-ua-mobile", "?1"},
    {"sec-ch-ua-platform", "\"Windows\""},
    {"sec-ch-ua-platform", "\"macOS\""},
    {"sec-ch-ua-platform", "\"Linux\""},
    {"sec-ch-ua-platform", "\"Android\""},
    {"sec-fetch-dest", "document"},
    {"sec-fetch-dest", "empty"},
    {"sec-fetch-dest", "image"},
    {"sec-fetch-dest", "script"},
    {"sec-fetch-dest", "style"},
    {"sec-fetch-dest", "font"},
    {"sec-fetch-mode", "navigate"},
    {"sec-fetch-mode", "cors"},
    {"sec-fetch-mode", "no-cors"},
    {"sec-fetch-mode", "same-origin"},
    {"sec-fetch-mode", "websocket"},
    {"sec-fetch-site", "same-origin"},
    {"sec-fetch-site", "same-site"},
    {"sec-fetch-site", "cross-site"},
    {"sec-fetch-site", "none"},
    {"sec-fetch-user", "?1"},
    {"sec-websocket-version", "13"},
    {"te", "trailers"},
    {"transfer-encoding", "chunked"},
    {"upgrade", "websocket"},
    {"upgrade-insecure-requests", "1"},
    {"x-forwarded-proto", "https"},
    {"x-forwarded-proto", "http"},
};
constexpr int kCommonValueCount = int(std::size(kCommonValues));

// The rows of kCommonValues, grouped by the index of their name: rows [first[i], first[i + 1])
// belong to name i.
struct ValueIndex {
  int first[kKnownHeaderNameCount + 1] = {};
  int rows[kCommonValueCount] = {};
};

constexpr ValueIndex make_value_index() {
  // Each row's name is looked up once: a lookup per (name, row) pair takes compilers past their
  // limit on constant-evaluation steps.
  int row_name[kCommonValueCount] = {};
  for (int row = 0; row < kCommonValueCount; ++row)
    row_name[row] = known_header_name(kCommonValues[row].name);
  ValueIndex index;
  int next = 0;
  for (int name = 0; name < kKnownHeaderNameCount; ++name) {
    index.first[name] = next;
    for (int row = 0; row < kCommonValueCount; ++row) {
      if (row_name[row] == name) index.rows[next++] = row;
    }
  }
  index.first[kKnownHeaderNameCount] = next;
  return index;
}
constexpr ValueIndex kValueIndex = make_value_index();
static_assert(kValueIndex.first[kKnownHeaderNameCount] == kCommonValueCount,
              "every common value is under a known name");

PyObject* g_bytes[kKnownHeaderNameCount] = {};
PyObject* g_strs[kKnownHeaderNameCount] = {};
// Per row of kCommonValues, made together by prepare_shared_fields: the value's bytes and the
// (name bytes, value bytes) tuple of a raw list.
PyObject* g_values[kCommonValueCount] = {};
PyObject* g_raw_pairs[kCommonValueCount] = {};
bool g_prepared = false;

PyObject* shared_at(PyObject** table, int i, bool as_bytes) {
  PyObject*& slot = table[i];
  if (slot == nullptr) {
    const std::string_view name = kKnownHeaderNames[i];
    slot = as_bytes ? PyBytes_FromStringAndSize(name.data(), Py_ssize_t(name.size()))
                    : PyUnicode_InternFromString(kKnownHeaderNames[i]);
    if (slot == nullptr) {
      PyErr_Clear();  // the caller makes its own object, and reports the failure if it recurs
      return nullptr;
    }
  }
  return Py_NewRef(slot);
}

PyObject* shared(PyObject** table, std::string_view name, bool as_bytes) {
  const int i = known_header_name(name);
  return i < 0 ? nullptr : shared_at(table, i, as_bytes);
}

// The row of kCommonValues holding `value` under the known name `name_index`, or -1; only once
// the shared objects are made.
int common_row(int name_index, std::string_view value) {
  if (!g_prepared) return -1;
  for (int k = kValueIndex.first[name_index]; k < kValueIndex.first[name_index + 1]; ++k) {
    if (kCommonValues[kValueIndex.rows[k]].value == value) return kValueIndex.rows[k];
  }
  return -1;
}

PyObject* shared_value_at(int name_index, std::string_view value) {
  const int row = common_row(name_index, value);
  return row < 0 ? nullptr : Py_NewRef(g_values[row]);
}

}  // namespace

void prepare_shared_fields() {
  if (g_prepared) return;
  for (int row = 0; row < kCommonValueCount; ++row) {
    if (g_raw_pairs[row] != nullptr) continue;
    const std::string_view value = kCommonValues[row].value;
    Ref name = Ref::steal(shared_at(g_bytes, known_header_name(kCommonValues[row].name), true));
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(value.data(), Py_ssize_t(value.size())));
    PyObject* pair = name && bytes ? PyTuple_Pack(2, name.get(), bytes.get()) : nullptr;
    if (pair == nullptr) {
      PyErr_Clear();  // fields get their own objects; the next call tries again
      return;
    }
    if (g_raw_pairs[row] != nullptr) {  // made meanwhile by code a collection ran
      Py_DECREF(pair);
      continue;
    }
    g_values[row] = bytes.release();
    g_raw_pairs[row] = pair;
  }
  g_prepared = true;
}

PyObject* shared_name_bytes(std::string_view lower_name) {
  return shared(g_bytes, lower_name, true);
}

PyObject* shared_name_str(std::string_view lower_name) {
  return shared(g_strs, lower_name, false);
}

SharedField shared_field_str(std::string_view lower_name, std::string_view value) {
  const int i = known_header_name(lower_name);
  if (i < 0) return SharedField{nullptr, nullptr};
  return SharedField{shared_at(g_strs, i, false), shared_value_at(i, value)};
}

PyObject* shared_value_bytes(std::string_view lower_name, std::string_view value) {
  const int i = known_header_name(lower_name);
  return i < 0 ? nullptr : shared_value_at(i, value);
}

SharedRawField shared_raw_field(std::string_view lower_name, std::string_view value) {
  const int i = known_header_name(lower_name);
  if (i < 0) return SharedRawField{nullptr, SharedField{nullptr, nullptr}};
  const int row = common_row(i, value);
  if (row >= 0) return SharedRawField{Py_NewRef(g_raw_pairs[row]), SharedField{nullptr, nullptr}};
  return SharedRawField{nullptr, SharedField{shared_at(g_bytes, i, true), nullptr}};
}

}  // namespace quillet::py
