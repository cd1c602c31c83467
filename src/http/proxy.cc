// ProxyMatcher decides which proxy a request takes; ProxyIntercept is the chosen proxy. Both
// are immutable once made, so neither holds a lock: the matcher makes its (at most two)
// intercepts when it is built and hands out new references to them.
#include "src/http/proxy.h"

#include "src/py/args.h"
#include "src/py/repr.h"
#include "src/py/types.h"
#include "wire/common/text.h"
#include "wire/proxy/proxy.h"

#include <array>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillet::py {
namespace {

using proxy::AuthKind;

struct MatcherState {
  proxy::ProxyMatcher matcher;
  Ref http;   // a ProxyIntercept, or null
  Ref https;  // a ProxyIntercept (the same object as `http` when both came from "all"), or null
};

extern TypeHolder g_matcher_type;
extern TypeHolder g_intercept_type;

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "strict");
}

// ---- ProxyIntercept ----

PyObject* new_intercept(const proxy::Proxy& value) {
  PyTypeObject* type = g_intercept_type.get();
  if (type == nullptr) return nullptr;
  return box_new<proxy::Proxy>(type, value);
}

PyObject* intercept_uri(PyObject* self, void*) {
  return new_str(unbox<proxy::Proxy>(self).uri);
}

PyObject* intercept_basic_auth(PyObject* self, PyObject*) {
  const proxy::Proxy& value = unbox<proxy::Proxy>(self);
  if (value.auth != AuthKind::kBasic) return new_none();
  return new_str(value.basic);
}

PyObject* intercept_raw_auth(PyObject* self, PyObject*) {
  const proxy::Proxy& value = unbox<proxy::Proxy>(self);
  if (value.auth != AuthKind::kRaw) return new_none();
  Ref user = Ref::steal(new_str(value.user));
  Ref password = Ref::steal(new_str(value.password));
  if (!user || !password) return nullptr;
  return PyTuple_Pack(2, user.get(), password.get());
}

PyObject* intercept_repr(PyObject* self) {
  return ReprWriter("ProxyIntercept").quoted_field("uri", unbox<proxy::Proxy>(self).uri).finish();
}

PyMethodDef kInterceptMethods[] = {
    {"basic_auth", as_method<intercept_basic_auth>(), METH_NOARGS,
     "basic_auth($self, /)\n--\n\n"
     "The Proxy-Authorization value ('Basic ' and Base64) of an HTTP or HTTPS proxy whose URL\n"
     "carried user information; else None."},
    {"raw_auth", as_method<intercept_raw_auth>(), METH_NOARGS,
     "raw_auth($self, /)\n--\n\n"
     "(user, password) of a SOCKS proxy whose URL carried user information (password '' when\n"
     "none was given); else None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kInterceptProperties[] = {
    {"uri", as_getter<intercept_uri>(), nullptr,
     "The proxy URI: scheme, '://', host and port (no user information) and '/'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kInterceptSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("The proxy a request goes through, from ProxyMatcher.intercept.")},
    {Py_tp_dealloc, as_slot<box_dealloc<proxy::Proxy>>()},
    {Py_tp_repr, as_slot<intercept_repr>()},
    {Py_tp_methods, kInterceptMethods},
    {Py_tp_getset, kInterceptProperties},
    {0, nullptr},
};

PyType_Spec kInterceptSpec = {QUILLET_CLASS_NAME("ProxyIntercept"), sizeof(Boxed<proxy::Proxy>), 0,
                              0, kInterceptSlots};

TypeHolder g_intercept_type(&kInterceptSpec, Subclassing::kFinal, Construction::kInternalOnly);

// ---- ProxyMatcher ----

// A setting: str or None. A str with a lone surrogate has no UTF-8 form and names no usable
// proxy, so it counts as unset rather than raising.
bool arg_setting(PyObject* obj, const char* name, std::optional<std::string_view>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be str or None, not %.100s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  std::string_view text;
  switch (str_utf8(obj, &text)) {
    case Utf8::kOk:
      *out = text;
      return true;
    case Utf8::kNoUtf8:
      return true;
    case Utf8::kFailed:
      return false;
  }
  return false;
}

PyObject* build_matcher(const proxy::ProxySettings& settings) {
  PyTypeObject* type = g_matcher_type.get();
  if (type == nullptr) return nullptr;
  proxy::ProxyMatcher matcher;
  try {
    matcher = proxy::ProxyMatcher::build(settings);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref http, https;
  if (matcher.http()) {
    http = Ref::steal(new_intercept(*matcher.http()));
    if (!http) return nullptr;
  }
  if (matcher.https()) {
    if (http && *matcher.https() == *matcher.http()) {
      https = Ref::borrow(http.get());
    } else {
      https = Ref::steal(new_intercept(*matcher.https()));
      if (!https) return nullptr;
    }
  }
  return box_new<MatcherState>(type,
                               MatcherState{std::move(matcher), std::move(http), std::move(https)});
}

PyObject* matcher_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 4> kNames{"all", "http", "https", "no"};
  static constexpr ArgParser kParser("from_parts", kNames, 0, 0);
  PyObject* arg[4];
  if (!kParser.parse(args, nargs, kwnames, arg)) return nullptr;
  proxy::ProxySettings settings;
  if (!arg_setting(arg[0], "all", &settings.all) || !arg_setting(arg[1], "http", &settings.http) ||
      !arg_setting(arg[2], "https", &settings.https) || !arg_setting(arg[3], "no", &settings.no)) {
    return nullptr;
  }
  return build_matcher(settings);
}

// The value of the first of the two variables that is present and valid UTF-8.
std::optional<std::string_view> read_env(const char* upper, const char* lower) {
  for (const char* name : {upper, lower}) {
    const char* value = std::getenv(name);
    if (value == nullptr) continue;
    const std::string_view text(value);
    if (!is_valid_utf8(text)) continue;
    return text;
  }
  return std::nullopt;
}

PyObject* matcher_from_env(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("from_env", nargs, kwnames)) return nullptr;
  proxy::ProxySettings settings;
  // A CGI script gets request headers as HTTP_* variables, so a client could set HTTP_PROXY
  // with a "Proxy" header: such a process uses no proxy at all.
  if (std::getenv("REQUEST_METHOD") == nullptr) {
    settings.all = read_env("ALL_PROXY", "all_proxy");
    settings.http = read_env("HTTP_PROXY", "http_proxy");
    settings.https = read_env("HTTPS_PROXY", "https_proxy");
    settings.no = read_env("NO_PROXY", "no_proxy");
  }
  return build_matcher(settings);
}

PyObject* matcher_intercept(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"url"};
  static constexpr ArgParser kParser("intercept", kNames, 1, 1);
  PyObject* arg[1];
  if (!kParser.parse(args, nargs, kwnames, arg)) return nullptr;
  if (!PyUnicode_Check(arg[0])) {
    PyErr_Format(PyExc_TypeError, "url must be str, not %.100s", Py_TYPE(arg[0])->tp_name);
    return nullptr;
  }
  std::string_view url;
  switch (str_utf8(arg[0], &url)) {
    case Utf8::kOk:
      break;
    case Utf8::kNoUtf8:
      return new_none();  // no URL, so no proxy
    case Utf8::kFailed:
      return nullptr;
  }
  const MatcherState& state = unbox<MatcherState>(self);
  switch (state.matcher.route(url)) {
    case proxy::Route::kHttp:
      return Py_NewRef(state.http.get());
    case proxy::Route::kHttps:
      return Py_NewRef(state.https.get());
    case proxy::Route::kDirect:
      break;
  }
  return new_none();
}

PyMethodDef kMatcherMethods[] = {
    {"from_env", as_method<matcher_from_env>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_env()\n--\n\n"
     "A matcher from ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY (each upper-case name\n"
     "first, then the lower-case one). With REQUEST_METHOD set (a CGI script) nothing is\n"
     "proxied."},
    {"from_parts", as_method<matcher_from_parts>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_parts(*, all=None, http=None, https=None, no=None)\n--\n\n"
     "A matcher from explicit strings: 'all' is the fallback proxy of both schemes, 'http' and\n"
     "'https' the per-scheme proxies, 'no' the comma-separated no-proxy list. An empty string\n"
     "is unset."},
    {"intercept", as_method<matcher_intercept>(), METH_FASTCALL | METH_KEYWORDS,
     "intercept($self, /, url)\n--\n\n"
     "The ProxyIntercept a request to url goes through, or None to go direct (also for a URL\n"
     "that does not parse, has no host, or has a scheme other than http and https)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMatcherSlots[] = {
    {Py_tp_doc, const_cast<char*>("Chooses the proxy of a request; built by from_env() or "
                                  "from_parts().")},
    {Py_tp_dealloc, as_slot<box_dealloc<MatcherState>>()},
    {Py_tp_methods, kMatcherMethods},
    {0, nullptr},
};

PyType_Spec kMatcherSpec = {QUILLET_CLASS_NAME("ProxyMatcher"), sizeof(Boxed<MatcherState>), 0, 0,
                            kMatcherSlots};

TypeHolder g_matcher_type(&kMatcherSpec, Subclassing::kFinal, Construction::kInternalOnly);

}  // namespace

PyTypeObject* proxy_matcher_type() {
  return g_matcher_type.get();
}

PyTypeObject* proxy_intercept_type() {
  return g_intercept_type.get();
}

}  // namespace quillet::py
