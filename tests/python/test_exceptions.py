"""The exception tree and the conversion of HTTP/1 error values into it."""

import pytest

import _quillet
import _quillet_probe as probe

TREE = {
    "QuilletError": Exception,
    "ConnectionClosedError": _quillet.QuilletError,
    "H1Error": _quillet.QuilletError,
    "H1ParseError": _quillet.H1Error,
    "H1BodyError": _quillet.H1Error,
    "H1IncompleteMessageError": _quillet.H1Error,
    "H1UnexpectedMessageError": _quillet.H1Error,
    "H1UserError": _quillet.H1Error,
    "H2Error": _quillet.QuilletError,
    "H2ProtocolError": _quillet.H2Error,
    "H2StreamError": _quillet.H2Error,
    "H2UserError": _quillet.H2Error,
    "H2FlowControlError": _quillet.H2Error,
}


@pytest.mark.parametrize("name,base", TREE.items())
def test_class_shape(name, base):
    cls = getattr(_quillet, name)
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "_quillet"
    assert cls.__name__ == name and cls.__qualname__ == name
    assert cls.__doc__ and len(cls.__doc__) > 40
    # nothing but the module and the docstring in the class dictionary
    own = set(vars(cls)) - {"__module__", "__doc__", "__weakref__", "__dict__"}
    assert own == set()
    err = cls("a", "b")
    assert err.args == ("a", "b") and not hasattr(err, "kind")


def test_transport_failures_are_not_protocol_errors():
    assert not issubclass(_quillet.ConnectionClosedError, (_quillet.H1Error, _quillet.H2Error))
    assert issubclass(_quillet.H1BodyError, _quillet.H1Error)
    assert issubclass(_quillet.H1Error, _quillet.QuilletError)


@pytest.mark.parametrize("name,words", [
    ("H1ParseError", ["version_h2", "header_transfer_encoding_unexpected", "internal"]),
    ("H1UserError", ["body_write_aborted", "unsupported_status_code", "dispatch_gone"]),
    ("H1BodyError", ["io_kind", "unexpected_eof", "invalid_data", "other"]),
    ("H2UserError", ["inactive_stream_id", "invalid_informational_status_code"]),
    ("H2StreamError", ["stream_id", "initiator"]),
])
def test_docstrings_list_the_args_shape(name, words):
    doc = getattr(_quillet, name).__doc__
    assert "args" in doc
    for word in words:
        assert word in doc


# (category, kind, class, first args item or None, message)
CONVERSION = [
    ("parse", "too_large", "H1ParseError", "too_large", "message head is too large"),
    ("user", "body_write_aborted", "H1UserError", "body_write_aborted",
     "user body write aborted"),
    ("incomplete_message", None, "H1IncompleteMessageError", None,
     "connection closed before message completed"),
    ("unexpected_message", None, "H1UnexpectedMessageError", None,
     "received unexpected message from connection"),
    ("canceled", None, "H1Error", None, "operation was canceled"),
    ("channel_closed", None, "H1Error", None, "channel closed"),
    ("io", None, "ConnectionClosedError", None, "connection error"),
    ("head_read_timeout", None, "H1Error", None, "read header from client timeout"),
    ("body", None, "H1BodyError", "other", "error reading a body from connection"),
    ("body_write", None, "H1Error", None, "error writing a body to connection"),
    ("shutdown", None, "ConnectionClosedError", None, "error shutting down connection"),
]


@pytest.mark.parametrize("category,kind,cls,first,message", CONVERSION)
def test_h1_conversion_table(category, kind, cls, first, message):
    err = probe.h1_error(category, kind)
    assert type(err) is getattr(_quillet, cls)
    expected = (first, message) if first is not None else (message,)
    assert err.args == expected
    assert str(err) == (repr(expected) if len(expected) > 1 else message)


@pytest.mark.parametrize("category,kind,cls,first,message", CONVERSION)
def test_h1_conversion_appends_the_cause(category, kind, cls, first, message):
    err = probe.h1_error(category, kind, "early end, expected 3 more bytes", "unexpected_eof")
    assert err.args[-1] == message + ": early end, expected 3 more bytes"
    if category == "body":
        assert err.args[0] == "unexpected_eof"


@pytest.mark.parametrize("io", ["unexpected_eof", "invalid_input", "invalid_data"])
def test_body_error_takes_the_io_kind_of_its_cause(io):
    err = probe.h1_error("body", None, "Invalid chunk size LF", io)
    assert err.args == (io, "error reading a body from connection: Invalid chunk size LF")


def test_body_error_without_an_io_cause_is_other():
    err = probe.h1_error("body", None, "nested failure")
    assert err.args == ("other", "error reading a body from connection: nested failure")


PARSE_TEXTS = {
    "method": "invalid HTTP method parsed",
    "version": "invalid HTTP version parsed",
    "version_h2": "invalid HTTP version parsed (found HTTP2 preface)",
    "uri": "invalid URI",
    "uri_too_long": "URI too long",
    "header_token": "invalid HTTP header parsed",
    "header_content_length_invalid": "invalid content-length parsed",
    "header_transfer_encoding_invalid": "invalid transfer-encoding parsed",
    "header_transfer_encoding_unexpected": "unexpected transfer-encoding parsed",
    "header_transfer_encoding_unsupported": "unsupported transfer-encoding parsed",
    "header_host_missing": "missing host header",
    "header_host_invalid": "invalid host header parsed",
    "too_large": "message head is too large",
    "status": "invalid HTTP status-code parsed",
}

USER_TEXTS = {
    "body": "error from user's Body stream",
    "body_write_aborted": "user body write aborted",
    "service": "error from user's Service",
    "unexpected_header": "user sent unexpected header",
    "unsupported_status_code": "response has 1xx status code, not supported by server",
    "no_upgrade": "no upgrade available",
    "manual_upgrade": "upgrade expected but low level API in use",
    "dispatch_gone": "dispatch task is gone",
}


@pytest.mark.parametrize("kind,text", PARSE_TEXTS.items())
def test_parse_kinds(kind, text):
    assert probe.h1_error("parse", kind).args == (kind, text)


def test_internal_parse_kind_has_a_fixed_text():
    a = probe.h1_error("parse", "internal")
    assert a.args[0] == "internal" and a.args == probe.h1_error("parse", "internal").args
    assert a.args[1] and a.args[1] not in PARSE_TEXTS.values()


@pytest.mark.parametrize("kind,text", USER_TEXTS.items())
def test_user_kinds(kind, text):
    assert probe.h1_error("user", kind).args == (kind, text)


def test_converted_errors_raise_and_catch_as_usual():
    with pytest.raises(_quillet.H1Error) as info:
        raise probe.h1_error("parse", "uri")
    assert isinstance(info.value, _quillet.QuilletError)


class Odd:
    pass


@pytest.mark.parametrize("replacement", [
    lambda cls, *args: None,                 # returns something that is no exception
    lambda cls, *args: Odd(),                # returns an object of another class
    lambda cls, *args: ValueError("other"),  # returns an exception of another class
    lambda cls, *args: 1 / 0,                # raises
])
def test_a_replaced_new_does_not_change_the_error_raised(replacement):
    cls = _quillet.H1ParseError
    cls.__new__ = replacement
    try:
        with pytest.raises(_quillet.H1ParseError) as info:
            _quillet.H1Codec().receive_request_head(b"GET a/b HTTP/1.1\r\n\r\n")
    finally:
        del cls.__new__
    assert type(info.value) is cls
    assert info.value.args == ("uri", "invalid URI")
