"""Splits a byte stream into `;`-terminated statements, skipping `;` inside comments and quotes.

The rules are those of the engine's tree reader: a `[` opens a comment that the first `]` closes
(no nesting), and a quote character opens a run that the next same quote closes. A tree file is a
sequence of such statements (NEXUS commands, or Newick trees), so one splitter serves every format.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

WHITESPACE = b" \t\n\r\f"


@dataclass
class Statements:
    """Iterates `(offset, statement)` pairs; `offset` is the statement's first byte in the whole stream.

    Each statement excludes its `;`. After iteration, `tail` holds what followed the last `;` when it
    is more than whitespace and comments (a statement cut off at the end of the stream), else b"".
    """

    blocks: Iterable[bytes]
    quotes: bytes  # the quote characters, for example b"'\"" in NEXUS, b'"' in Newick
    tail: bytes = field(default=b"", init=False)

    def __iter__(self) -> Iterator[tuple[int, bytes]]:
        special = re.compile(b"[;\\[" + re.escape(self.quotes) + b"]")
        quote_chars = [bytes([q]) for q in self.quotes]
        buf = b""
        base = 0  # stream offset of buf[0]
        start = 0  # start of the statement being assembled, in buf
        scan = 0  # buf[start:scan] is known to hold no statement end and to end outside comments and quotes
        self.tail = b""
        for block in self.blocks:
            if start:
                base += start
                buf = buf[start:] + block
                scan -= start
                start = 0
            else:
                buf += block
            while True:
                semi = buf.find(b";", scan)
                if semi < 0:
                    break
                if any(buf.find(q, scan, semi) >= 0 for q in quote_chars):
                    semi = _exact_end(buf, scan, special)
                    if semi < 0:
                        break
                else:
                    opening = buf.rfind(b"[", scan, semi)
                    if opening >= 0 and buf.find(b"]", opening, semi) < 0:
                        # This `;` sits inside a comment; resume after the comment ends.
                        close = buf.find(b"]", semi)
                        if close < 0:
                            break
                        scan = close + 1
                        continue
                yield base + start, buf[start:semi]
                start = scan = semi + 1
        rest = buf[start:]
        if _has_content(rest):
            self.tail = rest.strip(WHITESPACE)


def _exact_end(buf: bytes, pos: int, special: re.Pattern[bytes]) -> int:
    """Index of the `;` that ends the statement, scanning every comment and quote; -1 if not in `buf`."""
    while True:
        match = special.search(buf, pos)
        if match is None:
            return -1
        at = match.start()
        char = buf[at : at + 1]
        if char == b";":
            return at
        close = buf.find(b"]" if char == b"[" else char, at + 1)
        if close < 0:
            return -1
        pos = close + 1


def _has_content(text: bytes) -> bool:
    pos = 0
    while True:
        while pos < len(text) and text[pos] in WHITESPACE:
            pos += 1
        if pos == len(text):
            return False
        if text[pos : pos + 1] != b"[":
            return True
        close = text.find(b"]", pos)
        if close < 0:
            return True
        pos = close + 1


def skip_blank(text: bytes, pos: int = 0) -> int:
    """Position of the first byte at or after `pos` that is neither whitespace nor in a comment."""
    while True:
        while pos < len(text) and text[pos] in WHITESPACE:
            pos += 1
        if text[pos : pos + 1] != b"[":
            return pos
        close = text.find(b"]", pos)
        if close < 0:
            return len(text)
        pos = close + 1
