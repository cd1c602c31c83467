#include "src/native/imported.h"

namespace quillet::native {
namespace {

using py::Ref;

// Set once by take_imports and never released: the classes outlive every module object.
PyObject* g_quillet_error = nullptr;
PyObject* g_header_map = nullptr;
PyObject* g_ws_error = nullptr;
PyObject* g_ws_protocol_error = nullptr;

// The getter behind WebSocketProtocolError.close_code: the first of the exception's args.
PyObject* close_code_of(PyObject*, PyObject* exc) {
  Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
  if (!args) return nullptr;
  if (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) >= 1) {
    PyObject* code = PyTuple_GET_ITEM(args.get(), 0);
    if (PyLong_Check(code)) return Ref::borrow(code).release();
  }
  Py_RETURN_NONE;
}

PyMethodDef g_close_code_def = {"close_code", close_code_of, METH_O,
                                "The close code the connection fails with (the first of args)."};

// A class attribute dict holding the close_code property.
Ref protocol_error_dict() {
  Ref getter = Ref::steal(PyCFunction_New(&g_close_code_def, nullptr));
  if (!getter) return Ref();
  Ref property =
      Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
  if (!property) return Ref();
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || PyDict_SetItemString(dict.get(), "close_code", property.get()) < 0) return Ref();
  return dict;
}

}  // namespace

bool take_imports() {
  if (g_ws_protocol_error != nullptr) return true;
  Ref module = Ref::steal(PyImport_ImportModule("_quillet"));
  if (!module) return false;
  Ref quillet_error = Ref::steal(PyObject_GetAttrString(module.get(), "QuilletError"));
  Ref header_map =
      quillet_error ? Ref::steal(PyObject_GetAttrString(module.get(), "HeaderMap")) : Ref();
  if (!header_map) return false;
  Ref ws_error = Ref::steal(PyErr_NewExceptionWithDoc("quillet._native.WebSocketError",
                                                      "A WebSocket connection failed.",
                                                      quillet_error.get(), nullptr));
  if (!ws_error) return false;
  Ref dict = protocol_error_dict();
  if (!dict) return false;
  Ref protocol_error = Ref::steal(PyErr_NewExceptionWithDoc(
      "quillet._native.WebSocketProtocolError",
      "WebSocketProtocolError(close_code, message): the peer broke a rule of the protocol;\n"
      "the connection is failed with close_code (1002, 1007 or 1009).",
      ws_error.get(), dict.get()));
  if (!protocol_error) return false;
  g_quillet_error = quillet_error.release();
  g_header_map = header_map.release();
  g_ws_error = ws_error.release();
  g_ws_protocol_error = protocol_error.release();
  return true;
}

PyObject* quillet_error_class() {
  return g_quillet_error;
}
PyObject* header_map_class() {
  return g_header_map;
}
PyObject* websocket_error_class() {
  return g_ws_error;
}
PyObject* websocket_protocol_error_class() {
  return g_ws_protocol_error;
}

PyObject* raise_protocol_error(uint16_t close_code, std::string_view message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
  if (!text) return nullptr;
  Ref args = Ref::steal(Py_BuildValue("(iO)", int(close_code), text.get()));
  if (args) PyErr_SetObject(g_ws_protocol_error, args.get());
  return nullptr;
}

}  // namespace quillet::native
