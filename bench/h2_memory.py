"""Bytes per HTTP/2 server connection, from the process's resident size.

python bench/h2_memory.py CONTENDER WHAT COUNT, one contender per process (so that one's freed
memory cannot be reused by the next); CONTENDER is quillet or h2.
- WHAT=idle: COUNT server connections, each after the handshake (our SETTINGS and the client's
  preface, SETTINGS and SETTINGS ACK exchanged, our output taken and dropped). Prints the
  resident growth per connection.
- WHAT=stream: COUNT idle connections, then 100 request streams opened on each (a GET whose
  head has arrived, awaiting its response). Prints the growth per stream, past the idle
  connections.
The client's bytes are made before the first reading and fed to every connection; the lists
that keep the objects alive are allocated before it too.
"""

import gc
import os
import sys

STREAMS = 100
FIELDS = [(b"user-agent", b"bench/1.0"), (b"accept", b"*/*"), (b"accept-encoding", b"gzip, br")]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def client_bytes():
    """The client's side, made once with our frame writers: preface, SETTINGS, SETTINGS ACK;
    then the HEADERS of STREAMS GETs (encoded in turn by one context, as one client would)."""
    from _quillet import H2Codec, HeaderMap

    codec = H2Codec("client")
    hello = (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + codec.serialize_settings(enable_push=False)
             + codec.serialize_settings_ack())
    heads = b"".join(
        codec.serialize_request_headers(1 + 2 * i, "GET", f"/item/{i}", HeaderMap(FIELDS), True,
                                        scheme="http", authority="example.com")
        for i in range(STREAMS))
    return hello, heads


def makers():
    def quillet():
        from _quillet import H2Streams
        from quillet._h2 import LIMITS

        handle = object()  # one shared handle: the driver's own per-stream objects not counted

        def make():
            conn = H2Streams("server", max_concurrent_streams=STREAMS, **LIMITS)
            conn.begin()
            return conn

        def feed(conn, data):
            for frame in conn.receive(data):
                name = type(frame).__name__
                if name == "H2FrameSettings":
                    conn.recv_settings(frame)
                elif name == "H2FrameHeaders":
                    v = conn.recv_headers(frame, handle)
                    conn.accepted(v.stream_id)
            view, _ = conn.take_pending()
            view.release()
            conn.credit_written()

        return make, feed

    def h2_connection():
        import h2.config
        import h2.connection
        import h2.settings

        config = h2.config.H2Configuration(client_side=False, header_encoding=None)

        def make():
            conn = h2.connection.H2Connection(config=config)
            conn.initiate_connection()
            conn.update_settings({h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: STREAMS})
            return conn

        def feed(conn, data):
            conn.receive_data(data)
            conn.data_to_send()

        return make, feed

    return {"quillet": quillet, "h2": h2_connection}


def main():
    contender, what, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    make, feed = makers()[contender]()
    hello, heads = client_bytes()
    first = make()  # loads lazily created state; kept out of the count
    feed(first, hello)
    feed(first, heads)
    keep = [None] * count
    gc.collect()
    gc.disable()
    before = resident_bytes()
    for i in range(count):
        conn = make()
        feed(conn, hello)
        keep[i] = conn
    gc.collect()
    idle = resident_bytes()
    if what == "idle":
        print((idle - before) / count)
        return
    for conn in keep:
        feed(conn, heads)
    gc.collect()
    after = resident_bytes()
    print((after - idle) / (count * STREAMS))


if __name__ == "__main__":
    main()
