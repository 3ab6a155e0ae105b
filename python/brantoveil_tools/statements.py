"""Splits a byte stream into `;`-terminated statements, skipping `;` inside comments and quotes.

The rules are those of tree files: a `[` opens a comment that the first `]` closes (no nesting), and
a quote character opens a run that the next same quote closes (a doubled quote closes and reopens,
so it needs no rule of its own). A tree file is a sequence of such statements (NEXUS commands, or
Newick trees), so one splitter serves every format.

The scan keeps its state across blocks, so every byte is looked at a fixed number of times however
long a statement, a comment or a quote is: time is linear in the stream.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

WHITESPACE = b" \t\n\r\f"
# A comment or quote still open this far past its opening, with a `;` inside, is taken for a stray
# character: no tree file has a comment or a quoted name of megabytes that holds a statement end.
RUN_LIMIT = 1 << 22
_SEMICOLON = ord(";")


@dataclass(frozen=True)
class Unclosed:
    """A comment or quote still open where the scan stopped."""

    char: str  # the opening character: "[", "'" or '"'
    offset: int  # its offset in the stream
    statement: int  # the offset of the statement it opened in
    head: bytes  # the first bytes of that statement
    runs_on: bool  # more than one `;` and blanks follows it: statements after it would be swallowed


@dataclass
class Statements:
    """Iterates `(offset, statement)` pairs; `offset` is the statement's first byte in the whole stream.

    Each statement excludes its `;`. After iteration, `tail` holds what followed the last `;` when it
    is more than whitespace and comments (a statement cut off at the end of the stream), else b"";
    `unclosed` describes a comment or quote that was never closed, and `quoted` tells whether a
    single-quoted run was seen (outside comments and double quotes).
    """

    blocks: Iterable[bytes]
    quotes: bytes  # the quote characters, for example b"'\"" in NEXUS
    tail: bytes = field(default=b"", init=False)
    unclosed: Unclosed | None = field(default=None, init=False)
    quoted: bool = field(default=False, init=False)

    def __iter__(self) -> Iterator[tuple[int, bytes]]:
        runs = b"|".join(re.escape(bytes([q])) + b"[^" + re.escape(bytes([q])) + b"]*" + re.escape(bytes([q]))
                         for q in self.quotes)
        exact = re.compile(b"(?:[^;\\[" + re.escape(self.quotes) + b"]+|\\[[^\\]]*\\]|" + runs + b")*")
        quote_a, quote_b = self.quotes[:1], self.quotes[-1:]  # one or two quote characters
        pieces: list[bytes] = []  # the earlier blocks' parts of the statement being assembled
        begin = 0  # stream offset of that statement
        base = 0  # stream offset of the current block
        closing = b""  # while inside a comment or quote: the byte that ends it
        opened = 0  # stream offset of the character that opened it
        ended = False  # a `;` lies between that character and the scan position
        runs_on = False  # and after that `;`, more than blanks
        self.tail, self.unclosed, self.quoted = b"", None, False
        for block in self.blocks:
            n = len(block)
            pos = 0  # block[:pos] is scanned
            seg = 0  # the statement being assembled continues from block[seg]
            while pos < n:
                if closing:
                    close = block.find(closing, pos)
                    if not runs_on:
                        end = n if close < 0 else close
                        check = pos
                        if not ended:
                            semi = block.find(b";", pos, end)
                            ended = semi >= 0
                            check = semi + 1
                        runs_on = ended and bool(block[check:end].strip(WHITESPACE))
                    if close < 0:
                        break
                    closing = b""
                    pos = close + 1
                    continue
                semi = block.find(b";", pos)
                stop = n if semi < 0 else semi
                if block.find(quote_a, pos, stop) >= 0 or block.find(quote_b, pos, stop) >= 0:
                    if not self.quoted and block.find(b"'", pos, stop) >= 0:
                        self.quoted = True  # (or a ' inside a comment: the second pass will tell)
                    # Exact scan, one regex: plain bytes and closed comments and quotes, which may
                    # hold a `;`. It stops at the `;` that ends the statement or at an opening
                    # character whose run does not close in this block.
                    end = exact.match(block, pos).end()  # type: ignore[union-attr]  # matches ""
                    if end < n and block[end] != _SEMICOLON:
                        char = block[end : end + 1]
                        closing, opened, ended, runs_on = (b"]" if char == b"[" else char), base + end, False, False
                        pos = end + 1
                        continue
                    semi = end if end < n else -1
                else:
                    # No quote: the `;` is inside a comment only if the last `[` before it is open.
                    last = block.rfind(b"[", pos, stop)
                    if last >= 0 and block.find(b"]", last, stop) < 0:
                        closing, opened, ended, runs_on = b"]", base + last, False, False
                        pos = last + 1
                        continue
                if semi < 0:
                    break
                text = block[seg:semi]
                if pieces:
                    pieces.append(text)
                    text = b"".join(pieces)
                    pieces = []
                yield begin, text
                seg = pos = semi + 1
                begin = base + seg
            if seg < n:
                pieces.append(block[seg:] if seg else block)
            base += n
            if closing and runs_on and base - opened > RUN_LIMIT:
                break
        rest = b"".join(pieces)
        if closing:
            opener = "[" if closing == b"]" else closing.decode()
            self.unclosed = Unclosed(opener, opened, begin, rest[:4096], runs_on)
            if not runs_on:
                self.tail = rest.strip(WHITESPACE)
        elif _has_content(rest):
            self.tail = rest.strip(WHITESPACE)


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
