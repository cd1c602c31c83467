"""Bytes per idle HTTP/1 server connection object, from the process's resident size.

Run one contender per process (python bench/idle_memory.py CONTENDER [COUNT]) so that one
contender's freed memory cannot be reused by the next. The list that keeps the objects alive is
allocated before the first reading, so only the objects themselves are counted. Prints one
number: resident bytes per object.
"""

import gc
import os
import sys


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Transport:
    """Stands for the socket transport, which both contenders keep outside the object."""


def makers():
    transport = Transport()

    def quillet_server():
        import _quillet

        codec_type, state_type = _quillet.H1Codec, _quillet.H1ServerState
        return lambda: state_type(codec_type(), transport)

    def quillet_codec():
        import _quillet

        return _quillet.H1Codec

    def h11_connection():
        import h11

        server = h11.SERVER
        return lambda: h11.Connection(server)

    return {"quillet": quillet_server, "quillet-codec": quillet_codec, "h11": h11_connection}


def main():
    contender = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    make = makers()[contender]()
    make()  # the first object loads lazily created type state; keep it out of the count
    keep = [None] * count
    gc.collect()
    gc.disable()
    before = resident_bytes()
    for i in range(count):
        keep[i] = make()
    gc.collect()
    after = resident_bytes()
    print((after - before) / count)


if __name__ == "__main__":
    main()
