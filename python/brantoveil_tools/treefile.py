"""Indexes one tree file (NEXUS, Newick or RevBayes' tab-separated trace) in a single streaming pass.

The index holds every complete tree's name, generation and byte range in the (decompressed)
stream, plus the file's translate table, so that a second pass can hand the tree texts to the
engine without parsing anything again. Tree texts are passed on byte for byte: what a tree may
contain (comments, annotations, quoting) is for the engine's reader to judge.
"""

from __future__ import annotations

import re
from array import array
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from itertools import chain

from .errors import BrantoveilError
from .statements import WHITESPACE, Statements, skip_blank
from .textio import ByteSource

# Generation or state in a tree name: MrBayes "gen.250000", BEAST "STATE_250000", or a bare number.
_GENERATION = re.compile(r"(?i)(?:gen|state|sample|iter|iteration)?[._\-]?(\d+)")
_WORD = re.compile(rb"[A-Za-z]+")
_TREE_NAME = re.compile(rb"\s+(?:\*\s*)?('(?:[^']|'')*'|\"[^\"]*\"|[^\s=\[;]+)\s*(?:\[[^\]]*\]\s*)*=")
_TRANSLATE_TOKEN = re.compile(rb"\s*(?:\[[^\]]*\]\s*)*('(?:[^']|'')*'|\"[^\"]*\"|,|[^\s,\[]+)")
_REVBAYES_GENERATION_COLUMNS = ("iteration", "gen", "generation", "state", "sample")


@dataclass
class FileIndex:
    """What the first pass learns about one file."""

    source: ByteSource
    format: str = ""
    names: list[str] = field(default_factory=list)
    generations: array[int] = field(default_factory=lambda: array("q"))
    starts: array[int] = field(default_factory=lambda: array("q"))
    ends: array[int] = field(default_factory=lambda: array("q"))
    translate: dict[str, str] = field(default_factory=dict)
    first_tree: bytes = b""
    tail: bytes = b""  # a cut-off last tree, when the file is still being written

    def __len__(self) -> int:
        return len(self.names)

    def add(self, name: str, generation: int, start: int, end: int, text: bytes) -> None:
        if not self.names:
            self.first_tree = text
        self.names.append(name)
        self.generations.append(generation)
        self.starts.append(start)
        self.ends.append(end)


def generation_of(name: str) -> int:
    """The generation (state) a tree name carries, or -1."""
    match = _GENERATION.fullmatch(name)
    return int(match.group(1)) if match else -1


def index_file(source: ByteSource, on_block: Callable[[int], object] | None = None) -> FileIndex:
    """Reads the whole file once and returns its index; raises BrantoveilError on a malformed file.

    `on_block`, if given, is told the size of every block read (for a progress bar).
    """
    index = FileIndex(source)
    blocks = source.blocks() if on_block is None else _reported(source.blocks(), on_block)
    first = b""
    for first in blocks:
        if first.strip(WHITESPACE):
            break
    stream = chain((first,), blocks)
    head = first.lstrip(WHITESPACE)
    if head[:6].upper() == b"#NEXUS":
        _index_nexus(index, stream)
    elif b"\t" in head.split(b"\n", 1)[0] and head[:1] not in b"([":
        _index_revbayes(index, stream)
    else:
        _index_newick(index, stream)
    if source.truncated_gzip and not index.tail:
        index.tail = b"(the compressed stream ends early)"
    if not index.names:
        raise BrantoveilError(f"{source.label}: no complete tree found ({index.format or 'empty file'})")
    return index


def _reported(blocks: Iterator[bytes], on_block: Callable[[int], object]) -> Iterator[bytes]:
    for block in blocks:
        on_block(len(block))
        yield block


def _index_newick(index: FileIndex, stream: Iterator[bytes]) -> None:
    index.format = "Newick"
    statements = Statements(stream, quotes=b'"')
    count = 0
    for offset, text in statements:
        begin = skip_blank(text)
        if begin == len(text):
            continue  # a lone `;` or a comment: no tree
        count += 1
        index.add(str(count), -1, offset, offset + len(text) + 1, text)
    index.tail = statements.tail


def _index_nexus(index: FileIndex, stream: Iterator[bytes]) -> None:
    index.format = "NEXUS"
    label = index.source.label
    statements = Statements(stream, quotes=b"'\"")
    in_trees = False
    first = True
    for offset, text in statements:
        pos = skip_blank(text)
        if first:
            pos = skip_blank(text, pos + 6)  # past "#NEXUS"
            first = False
        # The hot path: a tree command inside the trees block.
        if in_trees and text[pos : pos + 4].lower() == b"tree":
            match = _TREE_NAME.match(text, pos + 4)
            if match is not None:
                name = _unquote(match.group(1), label)
                body = match.end()
                index.add(name, generation_of(name), offset + body, offset + len(text) + 1, text[body:])
                continue
        word_match = _WORD.match(text, pos)
        word = word_match.group().lower() if word_match else b""
        if word == b"begin":
            block = _WORD.match(text, skip_blank(text, word_match.end()) if word_match else pos)
            in_trees = block is not None and block.group().lower() == b"trees"
        elif word in (b"end", b"endblock"):
            in_trees = False
        elif in_trees and word == b"translate":
            index.translate.update(_translate_table(text, word_match.end() if word_match else pos, label))
        elif in_trees and word in (b"tree", b"utree"):
            raise BrantoveilError(f"{label}: a tree command without '=' near byte {offset + pos}")
    index.tail = statements.tail if in_trees else b""


def _translate_table(text: bytes, pos: int, label: str) -> dict[str, str]:
    tokens = [m.group(1) for m in _TRANSLATE_TOKEN.finditer(text, pos)]
    table: dict[str, str] = {}
    pair: list[str] = []
    for token in [*tokens, b","]:
        if token != b",":
            pair.append(_unquote(token, label))
            continue
        if len(pair) != 2:
            shown = " ".join(pair) if pair else "(nothing)"
            raise BrantoveilError(f"{label}: malformed translate entry '{shown}' (expected: label name)")
        table[pair[0]] = pair[1]
        pair = []
    return table


def _unquote(token: bytes, label: str) -> str:
    try:
        text = token.decode("utf-8")
    except UnicodeDecodeError as error:
        raise BrantoveilError(f"{label}: a name is not valid UTF-8 ({token[:40]!r}: {error.reason})") from None
    if len(text) >= 2 and text[0] == text[-1] == "'":
        return text[1:-1].replace("''", "'")
    if len(text) >= 2 and text[0] == text[-1] == '"':
        return text[1:-1]
    return text


def _index_revbayes(index: FileIndex, stream: Iterator[bytes]) -> None:
    index.format = "RevBayes trace"
    label = index.source.label
    header: list[bytes] | None = None
    tree_column = -1
    generation_column = -1
    row = 0
    lines = _Lines(stream)
    for offset, line in lines:
        if not line.strip(WHITESPACE):
            continue
        cells = line.rstrip(b"\r").split(b"\t")
        if header is None:
            header = [cell.strip().lower() for cell in cells]
            for column, title in enumerate(header):
                if title.decode("utf-8", "replace") in _REVBAYES_GENERATION_COLUMNS:
                    generation_column = column
                    break
            continue
        if tree_column < 0:
            tree_column = next((c for c, cell in enumerate(cells) if cell.lstrip()[:1] in (b"(", b"[")), -1)
            if tree_column < 0:
                raise BrantoveilError(f"{label}: no column of Newick trees in this tab-separated file")
        if len(cells) != len(header):
            raise BrantoveilError(f"{label}: line {lines.number} has {len(cells)} columns, the header {len(header)}")
        row += 1
        name = str(row)
        if generation_column >= 0:
            name = cells[generation_column].strip().decode("utf-8", "replace")
        start = offset + sum(len(cell) + 1 for cell in cells[:tree_column])
        tree = cells[tree_column]
        index.add(name, generation_of(name), start, start + len(tree), tree)
    if lines.tail:
        index.tail = lines.tail


class _Lines:
    """Lines of a stream with their offsets; a last line without its newline is kept apart as `tail`."""

    def __init__(self, blocks: Iterator[bytes]) -> None:
        self.blocks = blocks
        self.tail = b""
        self.number = 0

    def __iter__(self) -> Iterator[tuple[int, bytes]]:
        rest = b""
        base = 0
        for block in self.blocks:
            data = rest + block
            pos = 0
            while True:
                end = data.find(b"\n", pos)
                if end < 0:
                    break
                self.number += 1
                yield base + pos, data[pos:end]
                pos = end + 1
            base += pos
            rest = data[pos:]
        self.tail = rest.strip(WHITESPACE)


def leaf_labels(text: str) -> list[str]:
    """The leaf labels of one Newick text as the engine's reader tokenizes them (first tree checks)."""
    labels: list[str] = []
    expect_leaf = True
    i = 0
    while i < len(text):
        c = text[i]
        if c in " \t\n\r\f]":
            i += 1
        elif c == "[":
            close = text.find("]", i)
            if close < 0:
                break
            i = close + 1
        elif c in "(,":
            expect_leaf = True
            i += 1
        elif c in "):":
            expect_leaf = False
            i += 1
        elif c == ";":
            break
        else:
            token, i = _token(text, i)
            if expect_leaf:
                labels.append(token)
                expect_leaf = False
    return labels


def _token(text: str, i: int) -> tuple[str, int]:
    out: list[str] = []
    quoted = False
    while i < len(text):
        c = text[i]
        if c == '"':
            quoted = not quoted
        elif not quoted and c in "(),:;[]":
            break
        elif not quoted and c in " \t\n\r\f":
            i += 1
            continue
        out.append(c)
        i += 1
    return "".join(out), i


def tree_texts(source: ByteSource, starts: array[int], ends: array[int]) -> Iterator[bytes]:
    """The bytes of the trees at the given stream ranges (ascending, disjoint), read by a second pass."""
    if not starts:
        return
    k = 0
    base = 0
    carry = b""
    for block in source.blocks():
        data = carry + block if carry else block
        limit = base + len(data)
        while k < len(starts) and ends[k] <= limit:
            yield data[starts[k] - base : ends[k] - base]
            k += 1
        if k == len(starts):
            return
        # Keep only what the next tree still needs.
        keep_from = max(0, min(starts[k] - base, len(data)))
        carry = data[keep_from:]
        base += keep_from
    if k < len(starts):
        raise BrantoveilError(f"{source.label} changed while it was being read (it is shorter now)")
