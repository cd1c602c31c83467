"""The HTTP/2 frame codec and HPACK against hyperframe and hpack, in one run, with the ratios.

Run it with scripts/bench, or directly in the virtual environment: python bench/bench_h2_frames.py

A ratio is the baseline's time divided by ours: above 1 means _quillet is faster. The timing
method is in bench/harness.py. Every contender of a case gets the same input and must produce the
same result, checked once before timing.
"""

import os
import sys

import _quillet
import hpack
import hyperframe.frame as hf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import measure  # noqa: E402

REQUEST_FIELDS = [(":method", "GET"), (":scheme", "https"), (":authority", "example.com"),
                  (":path", "/api/v1/items?page=2"), ("user-agent", "bench/1.0"),
                  ("accept", "application/json"), ("accept-encoding", "gzip, br"),
                  ("cookie", "session=0123456789abcdef"), ("x-request-id", "7f3a9c")]


def data_frames(count, size):
    return b"".join(hf.DataFrame(1 + 2 * (i % 50), data=b"x" * size).serialize()
                    for i in range(count))


def parse_with_hyperframe(data):
    frames, pos, view = [], 0, memoryview(data)
    while pos < len(data):
        frame, length = hf.Frame.parse_frame_header(view[pos:pos + 9])
        frame.parse_body(view[pos + 9:pos + 9 + length])
        frames.append(frame)
        pos += 9 + length
    return frames


def decode_case(count, size):
    data = data_frames(count, size)
    codec = _quillet.H2Codec()

    def ours():
        return [e.data for e in codec.receive(data)]

    def theirs():
        return [bytes(f.data) for f in parse_with_hyperframe(data)]

    assert ours() == theirs()
    return {"_quillet": ours, "hyperframe": theirs}


def header_decode_case():
    # A block that refers to the dynamic table, as every request after the first does.
    enc = hpack.Encoder()
    enc.encode(REQUEST_FIELDS)
    block = enc.encode(REQUEST_FIELDS)
    warm = hpack.Encoder().encode(REQUEST_FIELDS)
    frame = hf.HeadersFrame(1, data=block, flags=["END_HEADERS"]).serialize()
    first = hf.HeadersFrame(1, data=warm, flags=["END_HEADERS"]).serialize()
    codec = _quillet.H2Codec()
    codec.receive(first)
    dec = hpack.Decoder()
    dec.decode(warm)

    def ours():
        (event,) = codec.receive(frame)
        return event.path, len(event.headers)

    def theirs():
        (f,) = parse_with_hyperframe(frame)
        fields = dec.decode(f.data, raw=False)
        return dict(fields)[":path"], len(fields) - 4

    assert ours() == theirs()
    return {"_quillet": ours, "hpack+hyperframe": theirs}


def header_encode_case():
    regular = _quillet.HeaderMap(REQUEST_FIELDS[4:])
    codec = _quillet.H2Codec()
    enc = hpack.Encoder()

    def ours():
        return codec.serialize_request_headers(1, "GET", "/api/v1/items?page=2", regular,
                                               scheme="https", authority="example.com")

    def theirs():
        return hf.HeadersFrame(1, data=enc.encode(REQUEST_FIELDS),
                               flags=["END_HEADERS"]).serialize()

    assert hpack.Decoder().decode(ours()[9:]) == hpack.Decoder().decode(theirs()[9:])
    return {"_quillet": ours, "hpack+hyperframe": theirs}


def main():
    cases = [
        ("decode 100 DATA frames of 1 KiB", decode_case(100, 1024)),
        ("decode 100 DATA frames of 16 B", decode_case(100, 16)),
        ("decode a request header block", header_decode_case()),
        ("encode a request header block", header_encode_case()),
    ]
    print(f"{'case':40} {'_quillet':>12} {'baseline':>12} {'ratio':>7}")
    for name, contenders in cases:
        times = measure(contenders)
        ours = times.pop("_quillet")
        (baseline_name, baseline), = times.items()
        print(f"{name:40} {ours * 1e6:10.2f}us {baseline * 1e6:10.2f}us "
              f"{baseline / ours:6.1f}x  (vs {baseline_name})")


if __name__ == "__main__":
    main()
