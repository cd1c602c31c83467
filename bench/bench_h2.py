"""The HTTP/2 connection state (H2Streams) against the h2 package's H2Connection, in one run,
with the ratios; then HPACK alone against the hpack package, and the memory of a connection.

Run it with scripts/bench, or directly: python bench/bench_h2.py [--markdown] [--only TEXT]

Every case runs a client and a server connection in memory: one side's output is the other's
input, with no socket between them. Each contender is driven by a small synchronous driver that
does what the reference asyncio driver does (docs/driving.md) minus the tasks and events: ours
hands every frame to its recv_* method and acts on the verdicts; h2's handles every event. Both
drivers record the same things (request head, response head, body bytes, end of stream), and
every contender of a case must produce the same record, checked once before timing. A ratio is
the baseline's time divided by ours: above 1 means _quillet is faster. The timing method is in
bench/harness.py.
"""

import argparse
import os
import platform
import subprocess
import sys

import _quillet
import h2
import h2.config
import h2.connection
import h2.events
import h2.settings
import hpack
from _quillet import (H2_FLAG_CAPACITY, H2_HEADERS_HEAD, H2_HEADERS_OPENED, H2Codec, H2FrameData,
                      H2FrameHeaders, H2FramePing, H2FrameSettings, H2FrameWindowUpdate,
                      H2Streams, HeaderMap)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from harness import Report, measure  # noqa: E402
from hpack_corpus import load_corpus  # noqa: E402

# The protocol's defaults: 65535-octet windows, 16 KiB frames, so WINDOW_UPDATEs flow.
LIMITS = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
              max_header_list_size=65536, max_send_buf_size=65536)
MAX_STREAMS = 100
FRAMES_PER_CALL = 64  # DATA frames per send_data call: what the windows allow (driving.md, 6)
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"

AUTHORITY = "www.example.com"
REQUEST_FIELDS = [  # 8 fields beside the pseudo-header fields
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                    b"Chrome/124.0.0.0 Safari/537.36"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-encoding", b"gzip, deflate, br, zstd"),
    (b"accept-language", b"en-GB,en-US;q=0.9,en;q=0.8"),
    (b"referer", b"https://www.example.com/account/settings"),
    (b"cookie", b"session=0123456789abcdef0123456789abcdef; theme=dark"),
    (b"sec-fetch-mode", b"navigate"),
    (b"x-request-id", b"7f3c9e2a-51b4-4d0e-9a63-0c2f8e1d4b57"),
]
RESPONSE_BODY = bytes(range(256)) * 4  # 1 KiB
RESPONSE_FIELDS = [
    (b"content-type", b"text/html; charset=utf-8"),
    (b"content-length", b"%d" % len(RESPONSE_BODY)),
    (b"cache-control", b"no-store"),
    (b"server", b"bench"),
]
UPLOAD = bytes(range(256)) * 4096  # 1 MiB
UPLOAD_FIELDS = [(b"content-type", b"application/octet-stream"),
                 (b"content-length", b"%d" % len(UPLOAD))]
UPLOAD_RESPONSE_FIELDS = [(b"server", b"bench")]


class Record:
    """What one side saw of one stream: the peer's head, body and end; and our body to send."""

    __slots__ = ("sid", "method", "path", "status", "fields", "chunks", "ended", "window",
                 "to_send", "offset")

    def __init__(self):
        self.sid = 0
        self.method = self.path = self.status = self.fields = None
        self.chunks = []
        self.ended = False
        self.window = True  # ours: the sender may retry
        self.to_send = None
        self.offset = 0

    def summary(self):
        return (self.method, self.path, self.status, self.fields, b"".join(self.chunks),
                self.ended)


# -- our side ---------------------------------------------------------------------------------


class Ours:
    """A synchronous driver of one H2Streams. `respond(record)` is the server's application:
    (status, fields, body) once a request has arrived whole."""

    def __init__(self, role, respond=None):
        extra = {"enable_push": False} if role == "client" else {"max_concurrent_streams": MAX_STREAMS}
        self.conn = H2Streams(role, **LIMITS, auto_date_header=False, **extra)
        self.conn.begin()
        self.respond = respond
        self.sending = []
        self.is_server = role == "server"

    def request(self, method, path, fields, body=None):
        record = Record()
        conn = self.conn
        if not conn.try_claim_slot():
            raise RuntimeError("no stream slot")
        record.sid = conn.open_stream(method, path, HeaderMap(fields), body is None, False,
                                      record, scheme="https", authority=AUTHORITY)
        if body is not None:
            record.to_send = body
            self.sending.append(record)
        return record

    def output(self):
        conn = self.conn
        out = []
        while True:
            if self.sending:
                self._pump()
            view, _ = conn.take_pending()
            if not view:
                view.release()
                break
            out.append(bytes(view))
            view.release()
            for record in conn.credit_written():
                record.window = True
            if not self.sending:
                break  # only a sender queues more between our calls
        return out[0] if len(out) == 1 else b"".join(out)

    def _pump(self):
        conn = self.conn
        for record in list(self.sending):
            if not record.window:
                continue
            record.window = False
            body = record.to_send
            while True:
                v = conn.send_data(record.sid, body, record.offset, True,
                                   max_frames=FRAMES_PER_CALL)
                if v.flags:
                    self._flags(v.flags)
                if v.stopped is not None:
                    raise RuntimeError(f"stream {record.sid} stopped: {v.stopped}")
                record.offset += v.sent
                if v.done:
                    self.sending.remove(record)
                    break
                if v.sent == 0:
                    break

    def _flags(self, flags):
        if flags & H2_FLAG_CAPACITY:
            record = self.conn.next_capacity_wake()
            if record is not None:
                record.window = True

    def receive(self, data):
        conn = self.conn
        for frame in conn.receive(data):
            kind = type(frame)
            if kind is H2FrameData:
                v = conn.recv_data(frame)
                payload = v.payload
                if payload is not None:
                    record = v.handle
                    sid, n = frame.stream_id, len(payload)
                    record.chunks.append(payload)
                    flags = conn.release_capacity(sid, n)
                    if flags:
                        self._flags(flags)
                    if v.budgeted:
                        conn.release_data_frame(sid, n)
                    if v.eof:
                        self._ended(record)
            elif kind is H2FrameHeaders:
                v = conn.recv_headers(frame, Record() if self.is_server else None)
                record = v.handle
                if v.kind == H2_HEADERS_OPENED:
                    record.sid = v.stream_id
                    conn.accepted(record.sid)
                    record.method, record.path = frame.method, frame.path
                    record.fields = frame.headers.raw_items()
                elif v.kind == H2_HEADERS_HEAD:
                    record.status = frame.status
                    record.fields = frame.headers.raw_items()
                if v.flags:
                    self._flags(v.flags)
                if record is not None and v.eof:
                    self._ended(record)
            elif kind is H2FrameWindowUpdate:
                for record in conn.recv_window_update(frame):
                    record.window = True
            elif kind is H2FrameSettings:
                _, wake, flags = conn.recv_settings(frame)
                for record in wake:
                    record.window = True
                self._flags(flags)
            elif kind is H2FramePing:
                conn.recv_ping(frame)
            else:
                raise RuntimeError(f"unexpected {frame!r}")
        conn.maybe_goaway_reply()

    def _ended(self, record):
        record.ended = True
        if self.is_server:
            status, fields, body = self.respond(record)
            v = self.conn.send_response_head(record.sid, status, HeaderMap(fields), not body)
            if v.stopped is not None:
                raise RuntimeError(f"stream {record.sid} stopped: {v.stopped}")
            if body:
                record.to_send = body
                self.sending.append(record)


# -- the h2 package's side --------------------------------------------------------------------


class Theirs:
    """The same driver over h2's H2Connection: bytes in and out, events handled."""

    def __init__(self, role, respond=None):
        config = h2.config.H2Configuration(client_side=role == "client", header_encoding=None)
        self.conn = h2.connection.H2Connection(config=config)
        self.conn.initiate_connection()
        if role == "server":
            self.conn.update_settings(
                {h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: MAX_STREAMS})
        self.respond = respond
        self.records = {}
        self.sending = []

    def request(self, method, path, fields, body=None):
        record = Record()
        conn = self.conn
        record.sid = sid = conn.get_next_available_stream_id()
        self.records[sid] = record
        head = [(b":method", method.encode()), (b":scheme", b"https"),
                (b":authority", AUTHORITY.encode()), (b":path", path.encode())]
        conn.send_headers(sid, head + fields, end_stream=body is None)
        if body is not None:
            record.to_send = body
            self.sending.append(record)
        return record

    def output(self):
        if self.sending:
            self._pump()
        return self.conn.data_to_send()

    def _pump(self):
        conn = self.conn
        for record in list(self.sending):
            body, sid = record.to_send, record.sid
            while record.offset < len(body):
                n = min(conn.local_flow_control_window(sid), conn.max_outbound_frame_size,
                        len(body) - record.offset)
                if n <= 0:
                    break
                end = record.offset + n == len(body)
                conn.send_data(sid, body[record.offset:record.offset + n], end_stream=end)
                record.offset += n
            if record.offset == len(body):
                self.sending.remove(record)

    def receive(self, data):
        conn = self.conn
        for ev in conn.receive_data(data):
            kind = type(ev)
            if kind is h2.events.DataReceived:
                record = self.records[ev.stream_id]
                record.chunks.append(ev.data)
                conn.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
            elif kind is h2.events.RequestReceived:
                record = self.records[ev.stream_id] = Record()
                record.sid = ev.stream_id
                fields = []
                for name, value in ev.headers:
                    if name == b":method":
                        record.method = value.decode()
                    elif name == b":path":
                        record.path = value.decode()
                    elif not name.startswith(b":"):
                        fields.append((name, value))
                record.fields = fields
            elif kind is h2.events.ResponseReceived:
                record = self.records[ev.stream_id]
                fields = []
                for name, value in ev.headers:
                    if name == b":status":
                        record.status = int(value)
                    else:
                        fields.append((name, value))
                record.fields = fields
            elif kind is h2.events.StreamEnded:
                self._ended(self.records.pop(ev.stream_id))
            # SettingsAcknowledged, RemoteSettingsChanged, WindowUpdated, PingReceived:
            # h2 has acted on them already; the pump retries every blocked body anyway.

    def _ended(self, record):
        record.ended = True
        if self.respond is not None:
            status, fields, body = self.respond(record)
            self.conn.send_headers(record.sid, [(b":status", b"%d" % status)] + fields,
                                   end_stream=not body)
            if body:
                record.to_send = body
                self.sending.append(record)


def handshake(client, server):
    for _ in range(10):
        a = client.output()
        if a:
            server.receive(a)
        b = server.output()
        if b:
            client.receive(b)
        if not a and not b:
            return
    raise AssertionError("the handshake does not settle")


def shuttle(client, server, done):
    """Bytes both ways until `done()`."""
    for _ in range(10000):
        a = client.output()
        if a:
            server.receive(a)
        b = server.output()
        if b:
            client.receive(b)
        if done():
            return
        if not a and not b:
            raise AssertionError("stuck")
    raise AssertionError("still talking")


def hello(record):
    return 200, RESPONSE_FIELDS, RESPONSE_BODY


def uploaded(record):
    return 200, UPLOAD_RESPONSE_FIELDS, b""


def pair(side, respond):
    client, server = side("client"), side("server", respond)
    handshake(client, server)
    return client, server


# -- the cases --------------------------------------------------------------------------------


def exchange_contenders():
    """One GET in, a 1 KiB response out, per call, on one long-lived connection pair."""
    contenders = {}
    for name, side in (("quillet", Ours), ("h2", Theirs)):
        client, server = pair(side, hello)
        seen = []

        def one(client=client, server=server, seen=seen):
            record = client.request("GET", "/index.html", REQUEST_FIELDS)
            server.receive(client.output())
            client.receive(server.output())
            assert record.ended
            return record

        contenders[name] = one
    return contenders


def multiplexed_contenders(count=100):
    """`count` GETs opened at once on one connection; the 1 KiB responses (more than the 65535-octet
    connection window) come back as WINDOW_UPDATEs let them."""
    contenders = {}
    for name, side in (("quillet", Ours), ("h2", Theirs)):
        client, server = pair(side, hello)

        def many(client=client, server=server):
            records = [client.request("GET", f"/item/{i}", REQUEST_FIELDS) for i in range(count)]
            last = records[-1]
            shuttle(client, server, lambda: last.ended and all(r.ended for r in records))
            return records

        contenders[name] = many
    return contenders


def upload_contenders():
    """A 1 MiB POST through 65535-octet windows; the server answers 200 once it has it all."""
    contenders = {}
    for name, side in (("quillet", Ours), ("h2", Theirs)):
        received = []

        def keep(record, received=received):
            received.append(record)
            return uploaded(record)

        client, server = pair(side, keep)

        def upload(client=client, server=server, received=received):
            received.clear()
            record = client.request("POST", "/upload", UPLOAD_FIELDS, UPLOAD)
            shuttle(client, server, lambda: record.ended)
            return record, received[0]

        contenders[name] = upload
    return contenders


# A client's batch of 100 frames as a server receives it: 15 GETs (HEADERS with END_STREAM),
# 10 POSTs (HEADERS and 5 DATA frames of 16 to 4096 octets, the last with END_STREAM), 10
# connection WINDOW_UPDATEs, 10 PINGs and 5 SETTINGS.
DATA_SIZES = (16, 200, 1024, 4096, 64)


def mixed_batch():
    codec = H2Codec("client")
    preface = PREFACE + codec.serialize_settings(enable_push=False)
    frames = []
    sid = 1
    for i in range(25):
        fields = HeaderMap(REQUEST_FIELDS[:6])
        if i % 5 < 3:
            frames.append(codec.serialize_request_headers(
                sid, "GET", f"/page/{i}", fields, True, scheme="https", authority=AUTHORITY))
        else:
            frames.append(codec.serialize_request_headers(
                sid, "POST", f"/form/{i}", fields, False, scheme="https", authority=AUTHORITY))
            for k, size in enumerate(DATA_SIZES):
                frames.append(codec.serialize_data(sid, bytes([k]) * size, k == len(DATA_SIZES) - 1))
        if i % 5 == 4:  # after every fifth stream
            frames.append(codec.serialize_window_update(0, 1000))
            frames.append(codec.serialize_ping(b"%08d" % i))
            frames.append(codec.serialize_window_update(0, 1000))
            frames.append(codec.serialize_ping(b"%08d" % (i + 1)))
            frames.append(codec.serialize_settings(header_table_size=4096))
        sid += 2
    assert len(frames) == 100, len(frames)
    return preface, b"".join(frames)


def decode_contenders():
    """A new server connection takes the client preface and SETTINGS (setup), then the batch.
    The figure is (setup + batch) minus (setup), both measured in the run."""
    preface, batch = mixed_batch()

    def no_response(record):
        raise AssertionError("the decode case answers nothing")

    def ours_setup():
        server = Ours("server", no_response)
        server.receive(preface)
        return server

    def theirs_setup():
        server = Theirs("server", no_response)
        server.receive(preface)
        return server

    class Collect(Ours):
        def _ended(self, record):
            record.ended = True
            self.done.append(record)

    class CollectTheirs(Theirs):
        def _ended(self, record):
            record.ended = True
            self.done.append(record)

    def ours_batch():
        server = Collect("server")
        server.done = []
        server.receive(preface)
        server.receive(batch)
        return server.done

    def theirs_batch():
        server = CollectTheirs("server")
        server.done = []
        server.receive(preface)
        server.receive(batch)
        return server.done

    return ({"quillet": ours_batch, "h2": theirs_batch},
            {"quillet": ours_setup, "h2": theirs_setup}, batch)


# -- HPACK alone ------------------------------------------------------------------------------


def hpack_contenders():
    """One pass over the corpus with a new compression context: encode every header list in
    turn (the dynamic table fills as it goes), and decode the blocks in turn. Ours goes through
    H2Codec, whose blocks carry a 9-octet frame header; hpack gets and gives the bare block."""
    requests, responses = load_corpus()

    def split(fields):
        pseudo = {n: v for n, v in fields if n.startswith(":")}
        regular = [(n.encode(), v.encode()) for n, v in fields if not n.startswith(":")]
        return pseudo, regular

    req = [split(f) for f in requests]
    resp = [split(f) for f in responses]
    hpack_lists_req = [[(n.encode(), v.encode()) for n, v in f] for f in requests]
    hpack_lists_resp = [[(n.encode(), v.encode()) for n, v in f] for f in responses]

    codec_type = H2Codec

    def ours_encode():
        client, server = codec_type("client"), codec_type("server")
        out = []
        sid = 1
        for pseudo, regular in req:
            out.append(client.serialize_request_headers(
                sid, pseudo[":method"], pseudo[":path"], HeaderMap(regular),
                scheme=pseudo[":scheme"], authority=pseudo[":authority"]))
            sid += 2
        sid = 1
        for pseudo, regular in resp:
            out.append(server.serialize_response_headers(sid, int(pseudo[":status"]),
                                                         HeaderMap(regular)))
            sid += 2
        return out

    encoder_type = hpack.Encoder

    def hpack_encode():
        a, b = encoder_type(), encoder_type()
        return [a.encode(f) for f in hpack_lists_req] + [b.encode(f) for f in hpack_lists_resp]

    frames = ours_encode()
    n_req = len(requests)
    req_stream = PREFACE + b"".join(frames[:n_req])
    resp_stream = b"".join(frames[n_req:])
    hpack_blocks = [f[9:] for f in frames]

    def ours_decode():
        server, client = codec_type("server"), codec_type("client")
        out = []
        for e in server.receive(req_stream):
            out.append((e.method, e.path, e.headers.raw_items()))
        for e in client.receive(resp_stream):
            out.append((e.status, e.headers.raw_items()))
        return out

    decoder_type = hpack.Decoder

    def hpack_decode():
        a, b = decoder_type(), decoder_type()
        out = []
        for block in hpack_blocks[:n_req]:
            out.append(a.decode(block, raw=True))
        for block in hpack_blocks[n_req:]:
            out.append(b.decode(block, raw=True))
        return out

    def check():
        ours = ours_decode()
        theirs = hpack_decode()
        assert len(ours) == len(theirs) == len(requests) + len(responses)
        for mine, fields, original in zip(ours, theirs, requests + responses):
            expect = [(n.encode(), v.encode()) for n, v in original]
            assert fields == expect, (fields, expect)
            pseudo = {n.decode(): v.decode() for n, v in fields if n.startswith(b":")}
            regular = [(n, v) for n, v in fields if not n.startswith(b":")]
            if len(mine) == 3:
                assert (mine[0], mine[1]) == (pseudo[":method"], pseudo[":path"])
            else:
                assert mine[0] == int(pseudo[":status"])
            assert sorted(mine[-1]) == sorted(regular)
        # Each encoder's blocks decode to the corpus with the other's decoder.
        theirs_blocks = hpack_encode()
        a, b = decoder_type(), decoder_type()
        again = ([a.decode(x, raw=True) for x in theirs_blocks[:n_req]]
                 + [b.decode(x, raw=True) for x in theirs_blocks[n_req:]])
        assert again == theirs
        sizes = (sum(map(len, hpack_blocks)), sum(map(len, theirs_blocks)))
        return sizes

    raw = sum(len(n) + len(v) for f in requests + responses for n, v in f)
    return ({"quillet": ours_encode, "hpack": hpack_encode},
            {"quillet": ours_decode, "hpack": hpack_decode}, check, len(requests),
            len(responses), raw)


# -- memory -----------------------------------------------------------------------------------


def memory(contender, what, count):
    out = subprocess.run(
        [sys.executable, os.path.join(HERE, "h2_memory.py"), contender, what, str(count)],
        check=True, capture_output=True, text=True)
    return float(out.stdout)


# -- report -----------------------------------------------------------------------------------

GOALS = [
    ("exchange", "h2", 30.0),
    ("idle connection", "h2", 1.0),
]


def check_same(contenders, normalise=lambda r: r):
    results = {name: normalise(fn()) for name, fn in contenders.items()}
    first = next(iter(results.values()))
    for name, result in results.items():
        assert result == first, f"{name} differs: {result!r:.300} vs {first!r:.300}"
    return first


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    parser.add_argument("--only", default="", help="run only cases whose name contains this")
    args = parser.parse_args()

    print(f"# {platform.node()} {platform.machine()} Python {platform.python_version()}, "
          f"_quillet {_quillet.__version__}, h2 {h2.__version__}, hpack {hpack.__version__}")
    report = Report(args.markdown, GOALS)
    report.header()

    def wanted(case):
        return args.only in case

    case = "exchange (GET + 8 fields, 1 KiB response)"
    if wanted(case):
        contenders = exchange_contenders()
        check_same(contenders, lambda r: r.summary())
        t = measure(contenders)
        report.add(case, t["quillet"], {"h2": t["h2"]},
                   note="client and server connection in memory, one stream per call")

    case = "100 exchanges multiplexed on one connection"
    if wanted(case):
        contenders = multiplexed_contenders()
        check_same(contenders, lambda rs: [r.summary() for r in rs])
        t = measure(contenders, rounds=7, round_seconds=0.3)
        report.add(case, t["quillet"], {"h2": t["h2"]},
                   note="100 streams opened at once; 100 KiB back through 65535 windows")

    case = "1 MiB upload through 65535 windows"
    if wanted(case):
        contenders = upload_contenders()

        def summary(pair):
            response, request = pair
            return response.summary(), request.summary()

        check_same(contenders, summary)
        t = measure(contenders, rounds=7, round_seconds=0.3)
        rates = ", ".join(f"{name} {len(UPLOAD) / v / 1e6:.0f} MB/s" for name, v in t.items())
        report.add(case, t["quillet"], {"h2": t["h2"]},
                   note=f"16 KiB DATA frames, WINDOW_UPDATEs back; {rates}")

    case = "decode a batch of 100 mixed frames (server)"
    if wanted(case):
        batch_contenders, setup_contenders, batch = decode_contenders()
        check_same(batch_contenders, lambda rs: [r.summary() for r in rs])
        t = measure({**{f"{n} batch": f for n, f in batch_contenders.items()},
                     **{f"{n} setup": f for n, f in setup_contenders.items()}})
        ours = t["quillet batch"] - t["quillet setup"]
        theirs = t["h2 batch"] - t["h2 setup"]
        report.add(case, ours, {"h2": theirs},
                   note=f"{len(batch)} B: 25 HEADERS, 50 DATA, 10 WINDOW_UPDATE, 10 PING, "
                        f"5 SETTINGS; (new connection + batch) minus (new connection): ours "
                        f"{t['quillet setup'] * 1e6:.1f} us, h2 {t['h2 setup'] * 1e6:.1f} us "
                        f"setup")

    if wanted("HPACK"):
        encode, decode, check, n_req, n_resp, raw = hpack_contenders()
        ours_size, hpack_size = check()
        t = measure(encode)
        report.add(f"HPACK encode: corpus of {n_req} requests + {n_resp} responses", t["quillet"],
                   {"hpack": t["hpack"]},
                   note=f"{raw} B of fields; blocks: ours {ours_size} B, hpack {hpack_size} B; "
                        f"ours via H2Codec with a HeaderMap per list and a frame header")
        t = measure(decode)
        report.add(f"HPACK decode: corpus of {n_req} requests + {n_resp} responses", t["quillet"],
                   {"hpack": t["hpack"]},
                   note="the same blocks; ours via H2Codec.receive and raw_items(), "
                        "hpack.Decoder.decode(raw=True)")

    case = "idle connection (bytes, after the handshake)"
    if wanted(case):
        report.add(case, memory("quillet", "idle", 20000), {"h2": memory("h2", "idle", 20000)},
                   unit="bytes", note="server side; resident size growth over 20000 connections")
    case = "open stream (bytes, server side)"
    if wanted(case):
        report.add(case, memory("quillet", "stream", 200), {"h2": memory("h2", "stream", 200)},
                   unit="bytes", note="200 connections x 100 request streams awaiting a "
                                      "response, minus the idle connections")


if __name__ == "__main__":
    main()
