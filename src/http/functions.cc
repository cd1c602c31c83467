#include "src/http/functions.h"

#include "src/py/args.h"
#include "src/py/errors.h"
#include "src/py/types.h"
#include "wire/common/http_date.h"
#include "wire/common/text.h"
#include "wire/common/uri.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::py {
namespace {

PyObject* http_date(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("http_date", nargs, kwnames)) return nullptr;
  const std::string_view value = cached_http_date();
  return PyBytes_FromStringAndSize(value.data(), Py_ssize_t(value.size()));
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "strict");
}

PyObject* new_optional_port(std::optional<uint16_t> port) {
  return port ? PyLong_FromLong(*port) : new_none();
}

// The port a client dials when the URL names none; `scheme` as uri_parts returns it.
std::optional<uint16_t> default_port(std::string_view scheme) {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  return std::nullopt;
}

PyObject* raise_invalid_url(std::string_view url, UriError error) {
  std::string quoted;
  append_quoted(quoted, url);
  return raise_message(PyExc_ValueError, {"invalid url ", quoted, ": ", uri_error_reason(error)});
}

PyObject* uri_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames{"url"};
  static constexpr ArgParser kParser("uri_parts", kNames, 1, 1);
  PyObject* arg[1];
  if (!kParser.parse(args, nargs, kwnames, arg)) return nullptr;

  Text text;
  if (!arg_str(arg[0], "url", &text)) return nullptr;
  // A lone surrogate's bytes are no URL; the message shows them escaped.
  const std::string_view url = text.bytes;

  Uri uri;
  UriError error;
  if (!parse_uri(url, &uri, &error)) return raise_invalid_url(url, error);

  Ref scheme;
  std::string_view scheme_text = uri.scheme;
  if (equals_ignore_case(scheme_text, "http")) scheme_text = "http";
  if (equals_ignore_case(scheme_text, "https")) scheme_text = "https";
  scheme = Ref::steal(scheme_text.empty() ? new_none() : new_str(scheme_text));

  Ref host, port, authority;
  if (uri.host.empty()) {
    host = Ref::steal(new_none());
    port = Ref::steal(new_none());
    authority = Ref::steal(new_none());
  } else {
    std::string_view dial = uri.host;
    while (!dial.empty() && dial.front() == '[')
      dial.remove_prefix(1);
    while (!dial.empty() && dial.back() == ']')
      dial.remove_suffix(1);
    host = Ref::steal(new_str(dial));
    const std::optional<uint16_t> chosen = uri.port ? uri.port : default_port(scheme_text);
    port = Ref::steal(new_optional_port(chosen));
    if (chosen) {
      std::string text(uri.host);
      text += ':';
      append_decimal(text, *chosen);
      authority = Ref::steal(new_str(text));
    } else {
      authority = Ref::steal(new_none());
    }
  }
  if (!scheme || !host || !port || !authority) return nullptr;
  return PyTuple_Pack(4, scheme.get(), host.get(), port.get(), authority.get());
}

PyMethodDef g_http_date_def = {
    "http_date", as_method<http_date>(), METH_FASTCALL | METH_KEYWORDS,
    "http_date($module, /)\n--\n\n"
    "The current Date header value: 29 bytes of IMF-fixdate, such as\n"
    "b'Sun, 06 Nov 1994 08:49:37 GMT'. Each thread renders it at most about once a second,\n"
    "so it may lag the clock by up to one second."};

PyMethodDef g_uri_parts_def = {
    "uri_parts", as_method<uri_parts>(), METH_FASTCALL | METH_KEYWORDS,
    "uri_parts($module, /, url)\n--\n\n"
    "Splits a URL into (scheme, host, port, authority) for dialling and addressing a request.\n\n"
    "scheme: http and https in lower case, other schemes as written, or None.\n"
    "host: the host to dial (IPv6 without brackets), or None without an authority.\n"
    "port: the explicit port, else 80 for http and ws, 443 for https and wss, else None.\n"
    "authority: the host as written, ':' and the port; None when host or port is None.\n\n"
    "Raises ValueError 'invalid url \"...\": reason' for a URL that does not parse."};

PyObject* make_function(PyMethodDef* def, PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(def, module, name.get());
}

}  // namespace

PyObject* make_http_date_function(PyObject* module) {
  return make_function(&g_http_date_def, module);
}

PyObject* make_uri_parts_function(PyObject* module) {
  return make_function(&g_uri_parts_def, module);
}

}  // namespace quillet::py
