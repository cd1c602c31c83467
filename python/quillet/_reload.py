"""The file watcher behind `--reload`: it polls the modification times of the files under the
watched directories (the standard library's `os.scandir`, nothing to install) and lists the
ones that changed, appeared or went since the last look.

A file is watched when its name, or its path below the watched directory, matches an include
pattern (`*.py`, and those given) and neither it nor any directory on its way matches an
exclude pattern (hidden files and directories, `__pycache__`, `node_modules`, `site-packages`,
editors' backups, and those given). A directory that holds a `pyvenv.cfg` is a virtual
environment and is left out too. Patterns are shell-style (`fnmatch`)."""

from __future__ import annotations

import importlib.util
import os
from fnmatch import fnmatch

INCLUDE = ("*.py",)
EXCLUDE = (".*", "__pycache__", "node_modules", "site-packages", "*~", "*.py[cod]")


class Watcher:
    def __init__(self, directories: list[str], include: list[str] | None = None,
                 exclude: list[str] | None = None) -> None:
        self.directories = [os.path.abspath(d) for d in directories]
        self.include = INCLUDE + tuple(include or ())
        # an include pattern that matches a default exclusion takes it back (`--reload-include
        # '.env'`); patterns given with --reload-exclude always apply
        defaults = tuple(p for p in EXCLUDE if p not in self.include)
        self.exclude = defaults + tuple(exclude or ())
        self.seen = self.scan()

    def _matches(self, patterns: tuple[str, ...], name: str, relative: str) -> bool:
        return any(fnmatch(name, p) or fnmatch(relative, p) for p in patterns)

    def scan(self) -> dict[str, tuple[int, int]]:
        """(modification time, size) of every watched file, by path."""
        found: dict[str, tuple[int, int]] = {}
        for root in self.directories:
            stack = [root]
            while stack:
                directory = stack.pop()
                try:
                    entries = list(os.scandir(directory))
                except OSError:
                    continue  # gone, or not readable: nothing to watch there
                for entry in entries:
                    relative = os.path.relpath(entry.path, root)
                    if self._matches(self.exclude, entry.name, relative):
                        continue
                    try:
                        if entry.is_dir():
                            if not os.path.exists(os.path.join(entry.path, "pyvenv.cfg")):
                                stack.append(entry.path)
                        elif self._matches(self.include, entry.name, relative):
                            st = entry.stat()
                            found[entry.path] = (st.st_mtime_ns, st.st_size)
                    except OSError:
                        continue
        return found

    def changes(self) -> list[str]:
        """The watched files changed, added or removed since the last call, relative to the
        current directory where that is shorter."""
        now = self.scan()
        before = self.seen
        self.seen = now
        changed = [p for p, sig in now.items() if before.get(p) != sig]
        changed += [p for p in before if p not in now]
        for path in changed:
            _forget_bytecode(path)
        return sorted(_short(p) for p in changed)


def _forget_bytecode(path: str) -> None:
    """Removes the cached bytecode of a changed module: it records the source's modification
    time in whole seconds and its size, so an edit within the same second that keeps the size
    would otherwise be imported as the old code."""
    if not path.endswith(".py"):
        return
    try:
        os.unlink(importlib.util.cache_from_source(path))
    except (OSError, NotImplementedError, ValueError):
        pass


def _short(path: str) -> str:
    try:
        relative = os.path.relpath(path)
    except ValueError:
        return path
    return relative if len(relative) < len(path) else path
