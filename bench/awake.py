"""`--awake`: keeps the machine's processors from going idle while a benchmark runs.

On a virtual machine an idle processor halts, and waking it (a socket's reader, when the peer
writes) costs a trip through the hypervisor: tens of microseconds, paid once or twice per round
trip by every contender alike. One connection's round trips then measure that wake-up, not the
programs. With `--awake`, one spinning process per processor at the lowest priority (nice 19)
keeps every processor busy: a woken program takes the processor from the spinner at once, so a
wake-up costs a context switch, as on a machine with other work, and the rates follow each
program's own cost. The spinners' CPU time is nobody's: rates and the CPU time of the measured
processes are read as without them.
"""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from collections.abc import Iterator

_SPIN = "import os\nos.nice(19)\nwhile True:\n    pass\n"


@contextlib.contextmanager
def keep_awake(enabled: bool = True) -> Iterator[None]:
    spinners = [subprocess.Popen([sys.executable, "-c", _SPIN])
                for _ in range(os.cpu_count() or 1)] if enabled else []
    try:
        yield
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()


def add_option(parser) -> None:
    parser.add_argument("--awake", action="store_true",
                        help="one nice-19 spinner per processor during the run (bench/awake.py)")
