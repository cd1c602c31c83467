"""What a process holds, for the tests that bound what a hostile peer can make the server keep.

Under the sanitizers resident size says nothing (freed memory waits in quarantine and every
allocation grows the shadow), so there the bounds are not checked; what the tests assert
besides (objects freed, peers served, frames seen) still is."""

import os

SANITIZED = bool(os.environ.get("QUILLET_SANITIZED"))


def status_kib(pid: int, field: str) -> int:
    """A size field of /proc/<pid>/status (VmRSS, VmHWM...) in KiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {field} in /proc/{pid}/status")


def assert_grew_less(grown_kib: int, bound_kib: int, what: str = "the server") -> None:
    if not SANITIZED:
        assert grown_kib < bound_kib, f"{what} grew by {grown_kib} KiB (bound {bound_kib} KiB)"
