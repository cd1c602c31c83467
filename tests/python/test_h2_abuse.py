"""Floods and abuse from a hostile HTTP/2 client against an H2Streams server driven as a read
pump drives it: each defence fires at its documented count, with its documented error, and what
the connection holds (streams, handles, queued bytes, unread chunks) stays bounded by that count
rather than by the attacker's persistence. The attacking bytes come from an H2Codec client's
serializers or are written by hand."""

import gc
import struct
import weakref

import pytest

from _quillet import (H2_HEADERS_OPENED, H2_MAX_RECV_EMPTY_DATA_FRAMES, H2_PREFACE, H2Codec,
                      H2FlowControlError, H2FrameData, H2FrameHeaders, H2FramePing,
                      H2FrameRstStream, H2FrameSettings, H2FrameStreamError,
                      H2FrameWindowUpdate, H2ProtocolError, H2StreamError, H2Streams, HeaderMap)

LIMITS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
              max_header_list_size=65536, max_send_buf_size=1 << 20)


class Handle:
    """A stream's handle; weakly referenced so that the test can count the live ones."""


class Server:
    """An H2Streams server and the client codec that attacks it, past the handshake."""

    def __init__(self, **overrides):
        self.conn = H2Streams("server", **{**LIMITS, **overrides})
        self.conn.begin()
        self.peer = H2Codec("client")
        self.handles = []  # weak references to every spare handed in
        self.opened = []
        self.heads = []
        self.stream_errors = []  # (sid, reason) answered with reset_on_error
        self.delivered = 0  # DATA payloads delivered
        # The client's SETTINGS and its acknowledgement of ours, which puts our limits in force.
        self.feed(H2_PREFACE + self.peer.serialize_settings() + self.peer.serialize_settings_ack())
        self.take()

    def take(self):
        view, _ = self.conn.take_pending()
        data = bytes(view)
        view.release()
        return data

    def feed(self, data, on_open=None):
        """Receives `data` and hands every frame to its method; a stream error is answered
        with reset_on_error, a connection error propagates."""
        for frame in self.conn.receive(data):
            self.dispatch(frame, on_open)

    def dispatch(self, frame, on_open=None):
        conn = self.conn
        try:
            if isinstance(frame, H2FrameHeaders):
                spare = Handle()
                self.handles.append(weakref.ref(spare))
                self.heads.append(frame)
                v = conn.recv_headers(frame, spare)
                if v.kind == H2_HEADERS_OPENED:
                    self.opened.append(v.stream_id)
                    if on_open:
                        on_open(v.stream_id)
            elif isinstance(frame, H2FrameData):
                v = conn.recv_data(frame)
                self.delivered += v.payload is not None
            elif isinstance(frame, H2FrameRstStream):
                conn.recv_reset(frame)
            elif isinstance(frame, H2FrameSettings):
                conn.recv_settings(frame)
            elif isinstance(frame, H2FramePing):
                conn.recv_ping(frame)
            elif isinstance(frame, H2FrameWindowUpdate):
                conn.recv_window_update(frame)
            elif isinstance(frame, H2FrameStreamError):
                raise H2StreamError(frame.stream_id, frame.error_code, "library")
        except H2StreamError as exc:
            sid, reason, _ = exc.args
            self.stream_errors.append((sid, reason))
            conn.reset_on_error(sid, reason)

    def live_handles(self):
        gc.collect()
        return sum(ref() is not None for ref in self.handles)

    def request(self, sid, end_stream=False):
        return self.peer.serialize_request_headers(sid, "POST", "/", None, end_stream,
                                                   scheme="https", authority="h")


def frame(kind, flags, sid, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", sid) \
        + payload


# --- rapid reset ---------------------------------------------------------------------------------


@pytest.mark.parametrize("overrides,cap", [({}, 20), ({"max_pending_accept_reset_streams": 5}, 5)])
def test_rapid_reset_ends_the_connection_past_the_cap(overrides, cap):
    server = Server(**overrides)
    attack = b"".join(server.request(sid) + server.peer.serialize_rst_stream(sid, 8)
                      for sid in range(1, 2 * cap + 4, 2))
    frames = server.conn.receive(attack)
    for i in range(cap):
        server.dispatch(frames[2 * i])
        server.dispatch(frames[2 * i + 1])
        assert server.conn.num_streams == 0
    server.dispatch(frames[2 * cap])
    with pytest.raises(H2ProtocolError) as info:
        server.dispatch(frames[2 * cap + 1])
    assert info.value.args == (11, "too_many_resets")
    # Each reset stream let go of its handle; only the stream whose reset was refused remains.
    assert len(server.opened) == cap + 1
    assert server.live_handles() == 1 and server.conn.num_streams == 1


def test_resets_of_streams_the_application_accepted_are_not_counted():
    server = Server(max_pending_accept_reset_streams=2)
    for sid in range(1, 2001, 2):
        server.feed(server.request(sid) + server.peer.serialize_rst_stream(sid, 8),
                    on_open=server.conn.accepted)
    assert len(server.opened) == 1000
    assert server.conn.num_streams == 0 and server.live_handles() == 0


# --- header blocks -------------------------------------------------------------------------------


def test_a_continuation_flood_ends_at_the_frame_cap():
    # With a 64 KiB header list and 16 KiB frames, a block may span 5 CONTINUATION frames; a
    # block that never ends is refused at the next, whatever the sender's patience.
    server = Server()
    server.feed(frame(1, 0, 1, b"\x83"))
    accepted = 0
    with pytest.raises(H2ProtocolError) as info:
        for _ in range(1000):
            server.feed(frame(9, 0, 1, b"\x86"))
            accepted += 1
    assert info.value.args == (11, "too_many_continuations")
    assert accepted == 5 and server.opened == []


def test_a_compression_bomb_is_refused_at_four_times_the_budget():
    # One 4000-byte table entry, then one-byte references to it: each adds 4000 + name + 32 to
    # the list. A 4 KiB budget takes none of them and gives up at 16 KiB.
    server = Server(max_header_list_size=4096)
    insert = b"\x40\x01a\x7f" + bytes([0x80 | (4000 - 127) & 0x7f, (4000 - 127) >> 7]) \
        + b"v" * 4000
    head = b"\x83\x86\x84" + b"\x41\x01h"  # POST, http, /, :authority h
    block = head + insert + b"\xbe" * 10000  # index 62: the entry just inserted
    with pytest.raises(H2ProtocolError) as info:
        server.feed(frame(1, 4, 1, block[:16384]))
    assert info.value.args == (11, "decoded header list size over abuse limit")
    assert server.opened == [] and server.live_handles() == 0


def test_a_list_over_its_budget_keeps_only_what_fits():
    server = Server(max_header_list_size=4096)
    fields = [(f"x-{i}", "v" * 100) for i in range(100)]  # 13 KiB of list: over, not abuse
    server.feed(server.peer.serialize_request_headers(1, "GET", "/", HeaderMap(fields), True,
                                                      scheme="https", authority="h"))
    [head] = server.heads
    kept = sum(len(n) + len(v) + 32 for n, v in head.headers.items())
    assert 3000 < kept < 4096 and server.opened == [1]


# --- DATA floods ---------------------------------------------------------------------------------


def test_empty_data_frames_are_allowed_a_hundred_times_per_connection():
    server = Server()
    server.feed(server.request(1))
    server.feed(server.peer.serialize_data(1, b"") * H2_MAX_RECV_EMPTY_DATA_FRAMES)
    assert server.delivered == H2_MAX_RECV_EMPTY_DATA_FRAMES
    with pytest.raises(H2ProtocolError) as info:
        server.feed(server.peer.serialize_data(1, b""))
    assert info.value.args == (11, "too_many_data_frames")
    assert server.conn.data_frame_budget_empty_frames == H2_MAX_RECV_EMPTY_DATA_FRAMES + 1


def test_tiny_data_frames_spend_the_budget_unless_the_application_reads_them():
    server = Server()
    budget = server.conn.data_frame_budget_available
    assert budget == 32767  # half the connection window
    frames = budget // 255  # each one-byte frame costs 256 - 1
    server.feed(server.request(1))
    server.feed(server.peer.serialize_data(1, b"x") * frames)
    assert server.conn.stream_recv_unreleased(1) == frames
    assert server.conn.stream_data_budget_charged(1) == frames * 255
    with pytest.raises(H2ProtocolError) as info:
        server.feed(server.peer.serialize_data(1, b"x"))
    assert info.value.args == (11, "too_many_data_frames")

    # An application that consumes each chunk gives the charge back as it goes.
    reader = Server()
    reader.feed(reader.request(1))
    for _ in range(5000):
        [data] = reader.conn.receive(reader.peer.serialize_data(1, b"x"))
        v = reader.conn.recv_data(data)
        reader.conn.release_capacity(1, 1)
        reader.conn.release_data_frame(1, 1)
        assert v.budgeted
    assert reader.conn.data_frame_budget_available == budget
    assert reader.conn.stream_recv_unreleased(1) == 0


# --- control frames the driver must answer -----------------------------------------------------


@pytest.mark.parametrize("mix", ["settings", "settings and pings"])
def test_unread_replies_are_capped_at_ten_thousand(mix):
    server = Server()
    peer = server.peer
    replies = [peer.serialize_settings()] * 10000
    if mix != "settings":
        replies[::2] = [peer.serialize_ping(b"12345678")] * 5000
    server.feed(b"".join(replies))
    with pytest.raises(H2ProtocolError) as info:
        server.feed(peer.serialize_settings())
    assert info.value.args == (11, "too many queued control frames")
    # Exactly the 10000 replies are queued: 9-byte SETTINGS ACKs and 17-byte PING ACKs.
    assert len(server.take()) == 9 * 10000 + (8 * 5000 if mix != "settings" else 0)


# --- streams past the limit ----------------------------------------------------------------------


def test_streams_past_the_limit_are_refused_and_the_connection_still_serves():
    server = Server(max_concurrent_streams=2)
    server.feed(server.request(1, end_stream=True) + server.request(3, end_stream=True))
    server.feed(b"".join(server.request(sid, end_stream=True) for sid in range(5, 45, 2)))
    assert server.stream_errors == [(sid, 7) for sid in range(5, 45, 2)]
    assert server.conn.num_streams == 2 and server.live_handles() == 2
    resets = [f for f in H2Codec("client").receive(server.take())
              if isinstance(f, H2FrameRstStream)]
    assert [(f.stream_id, f.error_code) for f in resets] == [(sid, 7) for sid in range(5, 45, 2)]

    # Answering stream 1 frees its place: the next stream is taken.
    server.conn.send_response_head(1, 204, None, True)
    assert server.conn.num_streams == 1
    server.feed(server.request(45, end_stream=True))
    assert server.opened == [1, 3, 45]


def test_a_peer_that_keeps_provoking_refusals_is_cut_off():
    server = Server(max_concurrent_streams=0, max_local_error_reset_streams=1024)
    server.feed(b"".join(server.request(sid, end_stream=True) for sid in range(1, 2049, 2)))
    assert len(server.stream_errors) == 1024 and server.live_handles() == 0
    with pytest.raises(H2ProtocolError) as info:
        server.feed(server.request(2049, end_stream=True))
    assert info.value.args == (11, "too many stream resets")


# --- flow-control overflow -----------------------------------------------------------------------


def test_window_update_overflow_on_a_stream_resets_only_that_stream():
    server = Server()
    server.feed(server.request(1))
    server.feed(server.peer.serialize_window_update(1, 2**31 - 1))
    assert server.stream_errors == [(1, 3)]
    server.feed(server.request(3, end_stream=True))
    assert server.opened == [1, 3] and server.conn.num_streams == 1


def test_connection_window_increments_that_add_up_past_the_maximum():
    server = Server()
    window = server.conn.conn_send_window
    server.feed(server.peer.serialize_window_update(0, 2**30))
    with pytest.raises(H2FlowControlError) as info:
        server.feed(server.peer.serialize_window_update(0, 2**30))
    assert info.value.args == (3,)
    assert server.conn.conn_send_window == window + 2**30


def test_an_initial_window_that_would_overflow_an_open_stream_changes_nothing():
    server = Server()
    server.feed(server.request(1))
    server.feed(server.peer.serialize_window_update(1, 2**31 - 1 - 65535))
    assert server.conn.stream_send_window(1) == 2**31 - 1
    with pytest.raises(H2FlowControlError) as info:
        server.feed(server.peer.serialize_settings(initial_window_size=65536))
    assert info.value.args == (3,)
    assert server.conn.stream_send_window(1) == 2**31 - 1
    assert server.conn.peer_initial_window_size == 65535
