"""WebSocket over HTTP/2 (RFC 8441) end to end: the server against the h2 package as a black-box
HTTP/2 peer, which sends the extended CONNECT and carries masked frames in its DATA frames."""

import json
import logging
import os
import socket
import ssl
import time
import zlib

import h2.config
import h2.connection
import h2.events
import h2.settings
import pytest
from _quillet import H2Codec, H2FrameData, H2FrameGoAway

import ws_app
from quillet._native import WS_BINARY, WS_CLOSE, WS_PING, WS_PONG, WS_TEXT, WSDecoder, ws_frame
from quillet._native import ws_close_payload
from quillet.server import tls_context
from test_e2e_tls import make_cert
from test_e2e_ws import WSServer, compress, fresh, wait_seen  # noqa: F401 (the fixture)

ENABLE_CONNECT_PROTOCOL = h2.settings.SettingCodes.ENABLE_CONNECT_PROTOCOL


class Peer:
    """An HTTP/2 client connection driven by hand: extended CONNECTs, WebSocket frames in DATA,
    and what the server sends, per stream."""

    def __init__(self, port, tls=None):
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        if tls is not None:
            sock = tls.wrap_socket(sock, server_hostname="localhost")
            assert sock.selected_alpn_protocol() == "h2"
        self.sock = sock
        self.h2 = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
        self.h2.initiate_connection()
        self.flush()
        self.settings = None  # the server's first SETTINGS
        self.streams = {}     # stream id -> Stream
        self.terminated = None
        self.ack = True  # credit the server's DATA back as it is read
        while self.settings is None:
            self.pump()

    def flush(self):
        data = self.h2.data_to_send()
        if data:
            self.sock.sendall(data)

    def pump(self):
        """Reads once and files the events."""
        data = self.sock.recv(1 << 20)
        if not data:
            raise ConnectionError("the server closed the connection")
        for event in self.h2.receive_data(data):
            stream = self.streams.get(getattr(event, "stream_id", None))
            if isinstance(event, h2.events.RemoteSettingsChanged) and self.settings is None:
                self.settings = {int(k): v.new_value for k, v in event.changed_settings.items()}
            elif isinstance(event, h2.events.ResponseReceived):
                stream.status = int(dict(event.headers)[b":status"])
                stream.headers = dict(event.headers)
            elif isinstance(event, h2.events.DataReceived):
                stream.body += event.data
                if stream.status == 200:
                    stream.events += stream.decoder.feed(event.data)
                if self.ack:
                    self.h2.acknowledge_received_data(event.flow_controlled_length,
                                                      event.stream_id)
            elif isinstance(event, h2.events.StreamEnded):
                stream.ended = True
            elif isinstance(event, h2.events.StreamReset):
                stream.reset = event.error_code
            elif isinstance(event, h2.events.ConnectionTerminated):
                self.terminated = event.error_code
        self.flush()

    def wait(self, check, timeout=10):
        deadline = time.monotonic() + timeout
        while not check():
            assert time.monotonic() < deadline, "the server did not answer in time"
            self.pump()

    def connect(self, path="/echo", protocol="websocket", version="13", extra=(), end=False):
        sid = self.h2.get_next_available_stream_id()
        headers = [(":method", "CONNECT"), (":protocol", protocol), (":scheme", "http"),
                   (":path", path), (":authority", "127.0.0.1")]
        if version is not None:
            headers.append(("sec-websocket-version", version))
        headers += list(extra)
        stream = self.streams[sid] = Stream(sid)
        self.h2.send_headers(sid, headers, end_stream=end)
        self.flush()
        self.wait(lambda: stream.status is not None or stream.reset is not None)
        return stream

    def send(self, stream, opcode, payload, fin=True, end=False, rsv1=False):
        frame = ws_frame(opcode, payload, fin=fin, rsv1=rsv1, mask=os.urandom(4))
        self.send_raw(stream, frame, end)

    def send_raw(self, stream, data, end=False):
        """Sends as the server's windows allow, reading (its WINDOW_UPDATEs) while they are
        shut."""
        view = memoryview(data)
        while view:
            room = min(self.h2.local_flow_control_window(stream.sid),
                       self.h2.max_outbound_frame_size, len(view))
            if room <= 0:
                self.pump()
                continue
            self.h2.send_data(stream.sid, view[:room].tobytes())
            view = view[room:]
            self.flush()
        if end:
            self.h2.end_stream(stream.sid)
            self.flush()

    def next_event(self, stream, timeout=10):
        self.wait(lambda: stream.events or stream.ended or stream.reset is not None, timeout)
        return stream.events.pop(0) if stream.events else None

    def close(self):
        self.sock.close()


class Stream:
    def __init__(self, sid):
        self.sid = sid
        self.status = None
        self.headers = {}
        self.body = b""
        self.events = []
        self.decoder = WSDecoder("client", allow_rsv1=True)
        self.ended = False
        self.reset = None


@pytest.fixture(scope="module")
def srv():
    server = WSServer(ws_app.app)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def tight():
    """64 KiB messages, 4 of them queued."""
    server = WSServer(ws_app.app, ws_max_size=65536, ws_max_queue=4)
    yield server
    server.stop()


@pytest.fixture
def peer(srv):
    p = Peer(srv.port)
    yield p
    p.close()


def test_setting_announced_and_a_session_runs_over_the_stream(peer):
    assert peer.settings.get(ENABLE_CONNECT_PROTOCOL) == 1
    ws = peer.connect(extra=[("sec-websocket-protocol", "other, chat")])
    assert ws.status == 200
    assert ws.headers[b"sec-websocket-protocol"] == b"chat"
    assert ws.headers[b"x-echo"] == b"yes"
    assert b"sec-websocket-accept" not in ws.headers and b"upgrade" not in ws.headers

    peer.send(ws, WS_TEXT, "scope")
    shown = json.loads(peer.next_event(ws))
    assert shown["type"] == "websocket" and shown["http_version"] == "2"
    assert shown["scheme"] == "ws" and shown["path"] == "/echo"
    assert shown["subprotocols"] == ["other", "chat"]
    assert "host" in shown["header_names"] and "method" not in shown
    assert shown["extensions"] == {"websocket.http.response": {}}

    peer.send(ws, WS_TEXT, "héllo")
    assert peer.next_event(ws) == "héllo"
    peer.send(ws, WS_BINARY, b"\x00\xff" * 10)
    assert peer.next_event(ws) == b"\x00\xff" * 10
    # a fragmented message with a ping between its pieces
    peer.send(ws, WS_TEXT, "frag", fin=False)
    peer.send(ws, WS_PING, b"are you there")
    peer.send(ws, 0, "mented")
    assert peer.next_event(ws) == (WS_PONG, b"are you there", 0)
    assert peer.next_event(ws) == "fragmented"

    peer.send(ws, WS_CLOSE, ws_close_payload(4000, "done"))
    assert peer.next_event(ws) == (WS_CLOSE, "", 4000)
    peer.wait(lambda: ws.ended or ws.reset is not None)
    assert wait_seen("disconnect") == ("disconnect", 4000, "done")
    # the connection goes on: another session on a new stream
    again = peer.connect()
    assert again.status == 200


def test_server_closes_with_its_code_and_ends_the_stream(peer):
    ws = peer.connect()
    peer.send(ws, WS_TEXT, "close:4321:bye")
    assert peer.next_event(ws) == (WS_CLOSE, "bye", 4321)
    assert not ws.ended  # the closing handshake is not over yet
    peer.send(ws, WS_CLOSE, ws_close_payload(4321), end=True)
    peer.wait(lambda: ws.ended)
    assert ws.reset is None
    assert wait_seen("disconnect")[1] == 4321


@pytest.mark.parametrize("path, status, body, field", [
    ("/deny", 403, b"", None),
    ("/deny-custom", 418, b"not a websocket", (b"x-why", b"teapot")),
    ("/raise-before", 500, b"Internal Server Error\n", None),
])
def test_denials_are_real_responses(peer, path, status, body, field):
    ws = peer.connect(path)
    peer.wait(lambda: ws.ended or ws.reset is not None)
    # a complete response; the client's side, still open, is then reset without error
    assert (ws.status, ws.body, ws.ended) == (status, body, True)
    assert ws.reset in (None, h2.errors.ErrorCodes.NO_ERROR)
    if field is not None:
        assert ws.headers[field[0]] == field[1]


@pytest.mark.parametrize("protocol, version, status", [
    ("websocket", None, 400),
    ("websocket", "8", 400),
    ("WebSocket", "13", 200),       # the token's case does not matter
    ("connect-udp", "13", 501),     # a protocol this server does not speak
])
def test_handshake_checks(peer, protocol, version, status):
    before = len(ws_app.seen)
    ws = peer.connect(protocol=protocol, version=version)
    assert ws.status == status
    if status != 200:
        peer.wait(lambda: ws.ended)
        assert len(ws_app.seen) == before  # refused without the application
        if status == 400:
            assert ws.headers[b"sec-websocket-version"] == b"13"


def test_a_refused_extended_connect_has_its_access_log_line(caplog):
    caplog.set_level(logging.INFO, logger="quillet.access")
    server = WSServer(ws_app.app)
    try:
        peer = Peer(server.port)
        try:
            ws = peer.connect(version="8")
            peer.wait(lambda: ws.ended)
        finally:
            peer.close()
    finally:
        server.stop()
    lines = [r.getMessage() for r in caplog.records if r.name == "quillet.access"]
    assert len(lines) == 1 and f' - "CONNECT /echo HTTP/2" 400 {len(ws.body)} ' in lines[0], lines


def test_ws_none_neither_announces_nor_opens():
    server = WSServer(ws_app.app, ws="none")
    try:
        peer = Peer(server.port)
        try:
            assert peer.settings.get(ENABLE_CONNECT_PROTOCOL, 0) == 0
            ws = peer.connect()
            assert ws.reset == h2.errors.ErrorCodes.PROTOCOL_ERROR and ws.status is None
        finally:
            peer.close()
    finally:
        server.stop()


def test_failures_carry_their_close_codes(tight):
    peer = Peer(tight.port)
    try:
        ws = peer.connect()
        peer.send_raw(ws, ws_frame(WS_TEXT, b"\xc3\x28", mask=b"abcd"))
        assert peer.next_event(ws)[:1] == (WS_CLOSE,) and ws.events == []
        peer.wait(lambda: ws.ended or ws.reset is not None)
        assert wait_seen("disconnect")[1] == 1007
        ws_app.seen.clear()

        ws = peer.connect()
        peer.send(ws, WS_BINARY, b"x" * 65537)
        event = peer.next_event(ws)
        assert event[0] == WS_CLOSE and event[2] == 1009
        assert wait_seen("disconnect")[1] == 1009
    finally:
        peer.close()


def test_permessage_deflate_is_negotiated_the_same_way(peer):
    ws = peer.connect(extra=[("sec-websocket-extensions", "permessage-deflate")])
    assert ws.headers[b"sec-websocket-extensions"] == b"permessage-deflate"
    text = "compress me " * 1000
    peer.send(ws, WS_TEXT, compress(text.encode()), rsv1=True)
    opcode, payload, _ = peer.next_event(ws)  # our answer comes compressed too
    inflater = zlib.decompressobj(-15)
    assert opcode == WS_TEXT and len(payload) < 200
    assert inflater.decompress(payload + b"\x00\x00\xff\xff").decode() == text


def test_message_larger_than_the_windows_arrives_intact(peer):
    ws = peer.connect()
    assert peer.h2.local_flow_control_window(ws.sid) < 3 << 20
    data = os.urandom(3 << 20)
    peer.send(ws, WS_BINARY, data)
    assert peer.next_event(ws, 30) == data


def test_a_slow_application_shuts_the_streams_window():
    server = WSServer(ws_app.app, ws_max_queue=4, h2_initial_window_size=1 << 16)
    peer = Peer(server.port)
    try:
        ws = peer.connect("/slow")
        message = b"x" * 4096
        sent = 0
        deadline = time.monotonic() + 10
        # the application reads nothing: the server stops crediting the stream
        while time.monotonic() < deadline:
            if peer.h2.local_flow_control_window(ws.sid) < 4 + len(message) + 14:
                peer.sock.settimeout(0.5)
                try:
                    peer.pump()
                except TimeoutError:
                    break
                finally:
                    peer.sock.settimeout(10)
                continue
            peer.send(ws, WS_BINARY, sent.to_bytes(4, "big") + message)
            sent += 1
        assert 16 <= sent < 64  # a window and a few queued messages, then nothing
        ws_app.release.set()
        for i in range(sent, sent + 100):  # once it reads, everything flows, in order
            peer.send(ws, WS_BINARY, i.to_bytes(4, "big") + message)
        peer.send(ws, WS_CLOSE, ws_close_payload(1000))
        peer.wait(lambda: any(isinstance(e, tuple) and e[0] == WS_CLOSE for e in ws.events), 60)
        assert wait_seen("slow", 60) == ("slow", sent + 100, 1000)
    finally:
        peer.close()
        server.stop()


def stuck(peer, stream, need):
    """Whether the stream's window stays below `need` octets for half a second."""
    if peer.h2.local_flow_control_window(stream.sid) >= need:
        return False
    peer.sock.settimeout(0.5)
    try:
        peer.pump()
    except TimeoutError:
        return True
    finally:
        peer.sock.settimeout(10)
    return False


def test_a_client_that_pings_but_never_reads_is_held_back():
    server = WSServer(ws_app.app, h2_initial_window_size=1 << 16)
    peer = Peer(server.port)
    try:
        ws = peer.connect()
        peer.ack = False  # the server's pongs fill our window, which never opens again
        pings = b"".join(ws_frame(WS_PING, b"p" * 125, mask=b"abcd") for _ in range(32))
        sent = 0
        while sent < 8 << 20 and not stuck(peer, ws, len(pings)):
            peer.send_raw(ws, pings)
            sent += len(pings)
        # our window (64 KiB of pongs), the server's buffer (64 KiB), its stream window (64 KiB)
        assert sent < 256 << 10
    finally:
        peer.close()
        server.stop()


def test_a_reset_stream_or_goaway_is_a_1006_and_a_ping_is_answered(peer):
    ws = peer.connect()
    peer.send(ws, WS_PING, b"1")
    assert peer.next_event(ws) == (WS_PONG, b"1", 0)
    peer.h2.reset_stream(ws.sid)
    peer.flush()
    assert wait_seen("disconnect")[1] == 1006
    ws_app.seen.clear()
    other = peer.connect()  # the connection is unharmed
    peer.send(other, WS_TEXT, "ok")
    assert peer.next_event(other) == "ok"
    ws_app.seen.clear()
    peer.h2.close_connection()  # GOAWAY, then the connection ends
    peer.flush()
    peer.sock.close()
    assert wait_seen("disconnect")[1] == 1006


def test_shutdown_closes_the_session_with_1001_after_goaway():
    server = WSServer(ws_app.app)
    peer = Peer(server.port)
    try:
        ws = peer.connect()
        server.server.loop.call_soon_threadsafe(server.server.request_stop)
        # From here the native codec reads the server's frames: the h2 package takes nothing
        # after a GOAWAY. It needs a SETTINGS frame first, and sees no HEADERS from now on.
        codec = H2Codec("client")
        codec.receive(H2Codec("server").serialize_settings())
        decoder = WSDecoder("client")
        events, goaway = [], None
        while not events:
            for frame in codec.receive(peer.sock.recv(65536)):
                if isinstance(frame, H2FrameGoAway):
                    goaway = frame
                elif isinstance(frame, H2FrameData) and frame.stream_id == ws.sid:
                    events += decoder.feed(frame.data)
        assert goaway is not None and goaway.last_stream_id >= ws.sid  # the session goes on
        assert events[0][0] == WS_CLOSE and events[0][2] == 1001
        peer.sock.sendall(codec.serialize_data(
            ws.sid, ws_frame(WS_CLOSE, ws_close_payload(1001), mask=b"abcd"), True))
        assert wait_seen("disconnect")[1] == 1001
        server._thread.join(10)
        assert not server._thread.is_alive()
    finally:
        peer.close()
        WSServer.live.remove(server)


def test_wss_over_tls_with_alpn_h2(tmp_path):
    server = WSServer(ws_app.app, ssl=tls_context(*make_cert(str(tmp_path))))
    client = ssl.create_default_context()
    client.check_hostname = False
    client.verify_mode = ssl.CERT_NONE
    client.set_alpn_protocols(["h2"])
    peer = Peer(server.port, client)
    try:
        assert peer.settings.get(ENABLE_CONNECT_PROTOCOL) == 1
        ws = peer.connect()
        assert ws.status == 200
        peer.send(ws, WS_TEXT, "scope")
        shown = json.loads(peer.next_event(ws))
        assert (shown["scheme"], shown["http_version"]) == ("wss", "2")
        assert "tls" in shown["extensions"]
        peer.send(ws, WS_BINARY, b"over tls")
        assert peer.next_event(ws) == b"over tls"
    finally:
        peer.close()
        server.stop()
