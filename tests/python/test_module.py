"""The module as an importer sees it: registration order, constants, version."""

import importlib.metadata
import subprocess
import sys

import pytest

import _quillet

# Every name the module exports, in registration order.
REGISTRATION_ORDER = [
    "__version__", "QuilletError", "ConnectionClosedError",
    "HeaderMap", "http_date", "uri_parts",
    "H2Codec", "H2FrameHeaders", "H2FrameData", "H2FrameSettings", "H2FrameWindowUpdate",
    "H2FramePing", "H2FrameGoAway", "H2FrameRstStream", "H2FramePriority", "H2FrameStreamError",
    "H2StreamState", "H2FlowControl", "H2ContentLength", "H2DataFrameBudget", "H2Streams",
    "H2Stopped", "H2RecvHeadersVerdict", "H2RecvDataVerdict", "H2SendVerdict", "H2ResetVerdict",
    "H2_FLAG_WAKE", "H2_FLAG_SLOT_FREED", "H2_FLAG_CONN_DONE", "H2_FLAG_STOP_ACCEPTING",
    "H2_FLAG_CAPACITY", "H2_HEADERS_IGNORED", "H2_HEADERS_OPENED", "H2_HEADERS_HEAD",
    "H2_HEADERS_TRAILERS",
    "H2Error", "H2ProtocolError", "H2StreamError", "H2UserError", "H2FlowControlError",
    "H2Reason",
    "H2_DEFAULT_HEADER_TABLE_SIZE", "H2_DEFAULT_INITIAL_WINDOW_SIZE", "H2_DEFAULT_MAX_FRAME_SIZE",
    "H2_MAX_MAX_FRAME_SIZE", "H2_MAX_STREAM_ID", "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD",
    "H2_DEFAULT_DATA_FRAME_BUDGET", "H2_MAX_RECV_EMPTY_DATA_FRAMES", "H2_PREFACE",
    "H1Error", "H1ParseError", "H1BodyError", "H1IncompleteMessageError",
    "H1UnexpectedMessageError", "H1UserError",
    "H1Codec", "H1ResponseHead", "H1RequestHead", "H1BodyDecoder", "H1ServerState",
    "H1ClientState", "OnceLatch",
    "H1_WATCH_HANDOFF", "H1_WATCH_IDLE_EOF", "H1_WATCH_IDLE_BYTES", "H1_WATCH_IDLE_ERROR",
    "H1_WATCH_IGNORED", "H1_NEXT_NONE", "H1_NEXT_RAISE", "H1_NEXT_CLOSE", "H1_NEXT_DRAIN",
    "H1_READ_PARSE", "H1_READ_SHUTDOWN", "H1_READ_WATCHER", "H1_READ_TRANSPORT", "H1_READ_EOF",
    "H1_REQ_OK", "H1_REQ_ALREADY", "H1_REQ_STALE", "H1_REQ_PARKED", "H1_REQ_PEER_CLOSED",
    "H1_REQ_CONTINUE",
    "ProxyMatcher", "ProxyIntercept",
]

CONSTANTS = {
    "H2_FLAG_WAKE": 1, "H2_FLAG_SLOT_FREED": 2, "H2_FLAG_CONN_DONE": 4,
    "H2_FLAG_STOP_ACCEPTING": 8, "H2_FLAG_CAPACITY": 16,
    "H2_HEADERS_IGNORED": 0, "H2_HEADERS_OPENED": 1, "H2_HEADERS_HEAD": 2,
    "H2_HEADERS_TRAILERS": 3,
    "H2_DEFAULT_HEADER_TABLE_SIZE": 4096, "H2_DEFAULT_INITIAL_WINDOW_SIZE": 65535,
    "H2_DEFAULT_MAX_FRAME_SIZE": 16384, "H2_MAX_MAX_FRAME_SIZE": 16777215,
    "H2_MAX_STREAM_ID": 2147483647, "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD": 256,
    "H2_DEFAULT_DATA_FRAME_BUDGET": 25600, "H2_MAX_RECV_EMPTY_DATA_FRAMES": 100,
    "H1_WATCH_HANDOFF": 0, "H1_WATCH_IDLE_EOF": 1, "H1_WATCH_IDLE_BYTES": 2,
    "H1_WATCH_IDLE_ERROR": 3, "H1_WATCH_IGNORED": 4,
    "H1_NEXT_NONE": 0, "H1_NEXT_RAISE": 1, "H1_NEXT_CLOSE": 2, "H1_NEXT_DRAIN": 3,
    "H1_READ_PARSE": 4, "H1_READ_SHUTDOWN": 5, "H1_READ_WATCHER": 6, "H1_READ_TRANSPORT": 7,
    "H1_READ_EOF": 8,
    "H1_REQ_OK": 0, "H1_REQ_ALREADY": 1, "H1_REQ_STALE": 2, "H1_REQ_PARKED": 3,
    "H1_REQ_PEER_CLOSED": 4, "H1_REQ_CONTINUE": 5,
}


def test_all_follows_the_registration_order():
    assert _quillet.__all__[:3] == ["__version__", "QuilletError", "ConnectionClosedError"]
    assert _quillet.__all__ == REGISTRATION_ORDER
    assert "H2WriteBatch" not in _quillet.__all__
    for name in _quillet.__all__:
        assert hasattr(_quillet, name), name


def test_module_shape():
    assert _quillet.__doc__ == ""
    assert _quillet.__version__ == "0.4.3"
    assert importlib.metadata.version("quillet") == _quillet.__version__


@pytest.mark.parametrize("name,value", sorted(CONSTANTS.items()))
def test_integer_constants(name, value):
    constant = getattr(_quillet, name)
    assert type(constant) is int and constant == value


def test_h2_preface():
    assert type(_quillet.H2_PREFACE) is bytes
    assert _quillet.H2_PREFACE == b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
    assert len(_quillet.H2_PREFACE) == 24


def test_code_spaces():
    # begin_read answers with either kind, so the next-step and read codes never collide
    next_and_read = [v for k, v in CONSTANTS.items() if k.startswith(("H1_NEXT_", "H1_READ_"))]
    assert sorted(next_and_read) == list(range(9))


def test_import_in_a_fresh_interpreter_is_repeatable():
    # the classes are made once per process and survive a second import of the module
    code = (
        "import sys, _quillet\n"
        "a = _quillet.H1ParseError\n"
        "del sys.modules['_quillet']\n"
        "import _quillet\n"
        "assert _quillet.H1ParseError is a\n"
        "assert _quillet.__all__[0] == '__version__'\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
