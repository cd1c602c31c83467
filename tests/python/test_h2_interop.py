"""H2Streams in whole conversations: as client against the h2 package's server, as server against
its client (both used as black boxes), and against itself. Bodies outgrow every window, trailers
go both ways, the peer changes its settings between and during requests, a stream is cancelled
mid-body while another completes, a response ends before its request, a server sends GOAWAY,
and a server shuts down gracefully. The driver in h2_peers waits on window events, so a wake the
connection forgets to hand out leaves a body unsent here."""

import random

import h2.settings
import pytest
from h2_peers import AUTHORITY, CANCEL, H2Peer, Message, QuilletPeer, fields, run

from _quillet import H2_FLAG_CONN_DONE, H2_FLAG_WAKE

PAIRS = {
    "ours-to-h2": (QuilletPeer, H2Peer),
    "h2-to-ours": (H2Peer, QuilletPeer),
    "ours-to-ours": (QuilletPeer, QuilletPeer),
}

# Options for our side, for the h2 peer and for the server (either kind). "roomy" announces
# more stream window than connection window, so senders queue for connection capacity (ours
# also meet the frame quantum and the send-buffer cap); "tight" makes the peer crawl through
# small stream windows and our senders through a small send buffer; "one-stream" makes the
# client's requests wait for a slot; "h2-extras" has the h2 peer pad every DATA frame and, as
# server, send a 103 before each response.
VARIANTS = {
    "defaults": {},
    "roomy": {"ours": dict(initial_window_size=1 << 20, connection_window=100_000,
                           max_frame_size=32768, max_send_buf_size=1 << 15)},
    "tight": {"ours": dict(initial_window_size=1000, max_send_buf_size=5000)},
    "one-stream": {"server": dict(max_concurrent_streams=1)},
    "h2-extras": {"h2": dict(pad=100, hints=True)},
}


def body(seed, n=200_000):
    return random.Random(seed).randbytes(n)


def connect(pair, ours=None, h2=None, server=None):
    """A client and a server of `pair`, past the handshake."""
    def make(cls, role):
        options = dict((ours if cls is QuilletPeer else h2) or {})
        if role == "server":
            options.update(server or {})
        return cls(role, **options)
    client_cls, server_cls = PAIRS[pair]
    client, server = make(client_cls, "client"), make(server_cls, "server")
    run(client, server)
    return client, server


def assert_received(stream, message):
    """`stream` saw exactly `message`: fields as sent, the whole body, trailers, the end."""
    assert stream.headers == fields(message.headers)
    assert bytes(stream.body) == message.body
    assert stream.trailers == fields(message.trailers)
    assert stream.ended


def assert_exchanged(client, server, stream, request, response):
    assert_received(server.streams[stream.sid], request)
    assert stream.pseudo == {":status": str(response.status)}
    assert_received(stream, response)


def assert_settled(*peers):
    """Every stream of our side is closed and forgotten, and every slot given back."""
    for peer in peers:
        if isinstance(peer, QuilletPeer):
            assert peer.error is None
            assert (peer.conn.num_streams, peer.conn.num_open_streams) == (0, 0)
            assert not [sid for sid in peer.streams if peer.conn.has_stream(sid)]


EXCHANGES = [  # path, method, request, response
    ("/both", "POST",
     Message([("te", "trailers"), ("x-multi", "a"), ("x-multi", "b")], body(1), [("x-sum", "r")]),
     Message([("x-resp", "1")], body(2), [("x-resp-sum", "s"), ("x-big", "v" * 20000)])),
    ("/sized", "PUT",
     Message([("content-length", "200000"), ("content-type", "application/octet-stream")],
             body(3)),
     Message([("content-length", "200000")], body(4), status=201)),
    ("/empty?q=1", "GET", Message([("accept", "*/*"), ("x-big", "w" * 20000)]),
     Message([("x-resp", "3")], status=204)),
    ("/trailers-only", "POST", Message([], b"", [("x-only", "q")]),
     Message([("x-resp", "4")], b"", [("x-only", "r")])),
    ("/head", "HEAD", Message(), Message([("content-length", "1000")])),
]


@pytest.mark.parametrize("pair,variant", [
    (pair, variant) for pair in PAIRS for variant in VARIANTS
    if not (variant == "h2-extras" and pair == "ours-to-ours")])
def test_concurrent_exchanges_arrive_whole(pair, variant):
    client, server = connect(pair, **VARIANTS[variant])
    for path, _, _, response in EXCHANGES:
        server.route(path, response)
    streams = [client.request(path, request, method) for path, method, request, _ in EXCHANGES]
    waiting = variant == "one-stream"
    assert [s.sid for s in streams] == [1] + [None] * 4 if waiting else [1, 3, 5, 7, 9]
    run(client, server)
    assert [s.sid for s in streams] == [1, 3, 5, 7, 9]
    for stream, (path, method, request, response) in zip(streams, EXCHANGES):
        seen = server.streams[stream.sid]
        assert seen.pseudo == {":method": method, ":scheme": "http", ":authority": AUTHORITY,
                               ":path": path}
        assert_exchanged(client, server, stream, request, response)
        assert stream.finished and seen.finished
        assert [stream.reset_sent, stream.reset_received, seen.reset_sent,
                seen.reset_received] == [None] * 4
    assert_settled(client, server)


@pytest.mark.parametrize("canceller", ["server", "client"])
@pytest.mark.parametrize("pair", PAIRS)
def test_a_stream_cancelled_mid_body_stops_on_both_sides(pair, canceller):
    client, server = connect(pair)
    request, response = Message([("x", "1")], body(5), [("x-t", "1")]), Message(
        [("y", "2")], body(6), [("y-t", "2")])
    server.route("/whole", response)
    if canceller == "server":  # the upload
        sent = body(7)
        server.route("/cancelled", Message(body=b"never sent"))
        server.cancel_uploads["/cancelled"] = 20_000
        cancelled = client.request("/cancelled", Message(body=sent))
    else:  # the download
        sent = body(8)
        server.route("/cancelled", Message(body=sent))
        cancelled = client.request("/cancelled", Message(), "GET", cancel_after=20_000)
    whole = client.request("/whole", request)
    run(client, server)

    seen = server.streams[cancelled.sid]
    by, of = (seen, cancelled) if canceller == "server" else (cancelled, seen)
    by_peer, of_peer = (server, client) if canceller == "server" else (client, server)
    assert (by.reset_sent, by.reset_received, by.ended) == (CANCEL, None, False)
    assert 20_000 <= len(by.body) < len(sent) and sent.startswith(by.body)
    assert (of.reset_received, of.reset_sent, of.finished) == (CANCEL, None, False)
    assert of.sent < len(sent)
    for peer, stream in ((by_peer, by), (of_peer, of)):
        if isinstance(peer, QuilletPeer):
            assert (stream.stop.reason, stream.stop.conn) == (CANCEL, False)
    if canceller == "server":
        assert cancelled.headers is None  # no response was started
    else:
        assert seen.ended and cancelled.headers == []

    assert_exchanged(client, server, whole, request, response)
    assert_settled(client, server)


SETTING = h2.settings.SettingCodes


@pytest.mark.parametrize("changes", [
    [{SETTING.HEADER_TABLE_SIZE: 0}, {SETTING.HEADER_TABLE_SIZE: 100}],
    [{SETTING.MAX_FRAME_SIZE: 1 << 20}, {SETTING.MAX_FRAME_SIZE: 16384}],
], ids=["header-table", "frame-size"])
@pytest.mark.parametrize("pair", ["ours-to-h2", "h2-to-ours"])
def test_settings_changed_between_requests_are_followed(pair, changes):
    # A compression context still indexing a shrunk table, or frames still sized to a limit
    # that was lowered, make the h2 peer fail the connection.
    client, server = connect(pair)
    theirs = server if pair == "ours-to-h2" else client
    many = [(f"x-field-{i}", f"value-{i}" * 5) for i in range(10)]
    request, response = Message(many, body(15), many[:3]), Message(many, body(16))
    server.route("/", response)
    streams = []
    for change in [{}] + changes:
        theirs.conn.update_settings(change)
        streams += [client.request("/", request) for _ in range(2)]
        run(client, server)
    for stream in streams:
        assert_exchanged(client, server, stream, request, response)
    assert_settled(client, server)


@pytest.mark.parametrize("pair", ["ours-to-h2", "h2-to-ours"])
def test_a_body_stalled_by_a_settings_window_resumes_when_it_reopens(pair):
    client, server = connect(pair)
    sent, upload = body(13), pair == "ours-to-h2"
    ours, theirs = (client, server) if upload else (server, client)
    server.route("/", Message(body=b"" if upload else sent))
    stream = client.request("/", Message(body=sent) if upload else Message(), "PUT")
    received = (lambda: server.streams[stream.sid].body) if upload else (lambda: stream.body)
    run(client, server, until=lambda: len(received()) > 0)
    theirs.conn.update_settings({SETTING.INITIAL_WINDOW_SIZE: 0})
    run(client, server)
    assert 0 < len(received()) < len(sent) and not ours.streams[stream.sid].finished
    # Only the new SETTINGS reopens the window: the sender must be woken by it.
    theirs.conn.update_settings({SETTING.INITIAL_WINDOW_SIZE: 70000})
    run(client, server)
    assert bytes(received()) == sent
    assert_settled(client, server)


@pytest.mark.parametrize("pair", ["h2-to-ours", "ours-to-ours"])
def test_a_response_that_ends_before_the_request_stops_the_upload(pair):
    client, server = connect(pair)
    response = Message([("x", "1")], b"too large", status=413)
    server.route("/", response)
    server.answer_early.add("/")
    sent = body(14)
    stream = client.request("/", Message(body=sent))
    run(client, server)

    # The server's END_STREAM resets the unfinished request with NO_ERROR.
    assert stream.pseudo == {":status": "413"} and bytes(stream.body) == b"too large"
    assert stream.ended and stream.reset_received == 0
    assert stream.sent < len(sent) and not stream.finished
    seen = server.streams[stream.sid]
    assert sent.startswith(seen.body) and (seen.stop.reason, seen.stop.conn) == (0, False)
    assert_settled(client, server)


@pytest.mark.parametrize("pair,in_flight", [(pair, False) for pair in PAIRS]
                         + [("ours-to-ours", True)])
def test_no_stream_opens_after_a_server_goaway(pair, in_flight):
    # The h2 package ends all its streams at a GOAWAY, so only our pair keeps one in flight.
    client, server = connect(pair)
    request, response = Message([("q", "1")], body(9)), Message([("r", "1")], body(10),
                                                                [("t", "1")])
    server.route("/", response)
    first = client.request("/", request)
    run(client, server, until=(lambda: len(first.body) > 0) if in_flight else None)
    assert first.ended is not in_flight
    server.goaway()
    run(client, server)

    assert_exchanged(client, server, first, request, response)
    assert client.goaways and set(client.goaways) == {(first.sid, 0)}
    assert client.request("/", Message(), "GET") is None
    run(client, server)
    assert list(server.streams) == [first.sid]
    if isinstance(client, QuilletPeer):
        conn = client.conn
        assert conn.is_closed() and conn.goaway_info() == (first.sid, 0, b"")
        # The refusal gave its slot back, and the client answered once its last stream ended.
        assert conn.num_open_streams == 0 and client.flags & H2_FLAG_CONN_DONE
        assert server.goaways == [(0, 0)]
        assert str(conn.conn_error()) == "connection closed: GOAWAY exchanged"
    assert_settled(client, server)


@pytest.mark.parametrize("in_flight", [True, False])
def test_graceful_shutdown_serves_the_streams_that_crossed_it(in_flight):
    client, server = connect("ours-to-ours")
    request, response = Message([("q", "1")], body(11), [("qt", "1")]), Message(
        [("r", "1")], body(12), [("rt", "1")])
    server.route("/", response)
    streams = []
    if in_flight:
        streams.append(client.request("/", request))
        run(client, server, until=lambda: len(streams[0].body) > 0)
    assert server.conn.begin_graceful_shutdown() == H2_FLAG_WAKE
    if in_flight:
        # Opened before the client sees the first GOAWAY: the HEADERS cross it on the wire.
        streams.append(client.request("/", request))
    run(client, server, until=lambda: server.conn.shutdown_final)

    last = streams[-1].sid if streams else 0
    assert (server.conn.last_processed_id, server.conn.max_stream_id) == (last, last)
    if in_flight:  # the final GOAWAY is out, the accept loop waits for the streams
        assert server.stop_accepting is None and server.conn.num_streams == 2
    else:  # nothing left: the PING ACK ends the accept loop at once
        assert server.stop_accepting == 0
    run(client, server)

    assert client.goaways[:2] == [(2**31 - 1, 0), (last, 0)]
    assert set(client.goaways[1:]) == {(last, 0)}
    assert server.stop_accepting == 0  # set by the verdict that closed the last stream
    for stream in streams:
        assert_exchanged(client, server, stream, request, response)
    assert client.request("/", Message(), "GET") is None
    assert server.goaways == [(0, 0)]
    assert client.flags & H2_FLAG_CONN_DONE
    assert_settled(client, server)
