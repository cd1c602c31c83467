"""Reads bench/hpack_corpus.txt: ([request header lists], [response header lists]), each list a
list of (name, value) str pairs in order, pseudo-header fields first."""

import os

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hpack_corpus.txt")


def load_corpus(path=PATH):
    sections = {"requests": [], "responses": []}
    current, fields = None, []
    with open(path, encoding="utf-8") as f:
        for line in list(f) + ["\n"]:
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line:
                if fields:
                    sections[current].append(fields)
                    fields = []
            elif line.startswith("[") and line.endswith("]"):
                current = line[1:-1]
            else:
                name, value = line.split(": ", 1)
                fields.append((name, value))
    return sections["requests"], sections["responses"]
