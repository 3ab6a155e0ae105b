"""Indexes one tree file (NEXUS, Newick or RevBayes' tab-separated trace) in a single streaming pass.

The index holds every complete tree's name, generation, byte range in the (decompressed) stream
and whether it has branch lengths, plus the file's translate table, so that a second pass can hand
the tree texts to the engine without parsing anything again. Tree texts are passed on byte for
byte, except that single-quoted taxon names become placeholders (`quoted_as_placeholders`): what
else a tree may contain (comments, annotations) is for the engine's reader to judge.
"""

from __future__ import annotations

import functools
import re
from array import array
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from itertools import chain
from pathlib import Path
from urllib.parse import quote, unquote

from .errors import BrantoveilError
from .statements import WHITESPACE, Statements, Unclosed, skip_blank
from .textio import ByteSource, printable

# Generation or state in a tree name: MrBayes "gen.250000", BEAST "STATE_250000", or a bare number.
_GENERATION = re.compile(r"(?i)(?:gen|state|sample|iter|iteration)?[._\-]?(\d+)")
_WORD = re.compile(rb"[A-Za-z]+")
_TREE_NAME = re.compile(rb"\s+(?:\*\s*)?('(?:[^']|'')*'|\"[^\"]*\"|[^\s=\[;]+)\s*(?:\[[^\]]*\]\s*)*=")
_TRANSLATE_TOKEN = re.compile(rb"\s*(?:\[[^\]]*\]\s*)*('(?:[^']|'')*'|\"[^\"]*\"|,|[^\s,\[]+)")
_REVBAYES_GENERATION_COLUMNS = ("iteration", "gen", "generation", "state", "sample")
# Comments and double-quoted runs are passed over whole; group 1 is a single-quoted name.
_QUOTED_NAME = re.compile(r"\[[^\]]*\]|\"[^\"]*\"|'((?:[^']|'')*)'")
_NOT_BARE = re.compile(r"[\s()\[\],:;'\"]")
_RUN = re.compile(rb"\[[^\]]*\]|'[^']*'|\"[^\"]*\"")
# Inside a comment or quote, the end of a statement followed by the start of the next tree: a
# stray `[` or quote that a later tree's comment or quote happened to close.
_NEXT_NEXUS_TREE = re.compile(rb"(?i);\s*u?tree\s")
_NEXT_NEWICK_TREE = re.compile(rb";[ \t\r]*\n\s*\(")
_NUMBER = re.compile(rb"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|(?i:[-+]?(?:nan|inf|infinity|na))")


@dataclass
class FileIndex:
    """What the first pass learns about one file."""

    source: ByteSource
    format: str = ""
    names: list[str] = field(default_factory=list)
    generations: array[int] = field(default_factory=lambda: array("q"))
    starts: array[int] = field(default_factory=lambda: array("q"))
    ends: array[int] = field(default_factory=lambda: array("q"))
    translate: dict[str, tuple[str, bool]] = field(default_factory=dict)  # label -> (name, it was quoted)
    first_tree: bytes = b""
    tail: bytes = b""  # a cut-off last tree, when the file is still being written
    lengths: bytearray = field(default_factory=bytearray)  # per tree: 1 if it has a branch length
    quoted: bool = False  # some tree holds a single-quoted name

    def __len__(self) -> int:
        return len(self.names)

    def add(self, name: str, generation: int, start: int, end: int, text: bytes) -> None:
        if not name.isprintable():
            name = printable(name)  # a row label: no control bytes in outputs and messages
        if not self.names:
            self.first_tree = text
        self.names.append(name)
        self.generations.append(generation)
        self.starts.append(start)
        self.ends.append(end)
        colon = text.find(b":")
        self.lengths.append(colon >= 0 and (text.rfind(b"[", 0, colon) < 0 or has_lengths(text)))


def generation_of(name: str) -> int:
    """The generation (state) a tree name carries, or -1."""
    match = _GENERATION.fullmatch(name)
    return int(match.group(1)) if match else -1


def has_lengths(text: bytes) -> bool:
    """Whether a tree text has a branch length: a `:` outside comments."""
    pos = 0
    while True:
        colon = text.find(b":", pos)
        if colon < 0:
            return False
        opening = text.rfind(b"[", pos, colon)
        if opening < 0 or text.find(b"]", opening, colon) >= 0:
            return True
        close = text.find(b"]", colon)
        if close < 0:
            return False
        pos = close + 1


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
    else:
        columns = _parameter_columns(head)
        if columns:
            raise BrantoveilError(_parameter_trace(source, columns))
        if b"\t" in head.split(b"\n", 1)[0] and head[:1] not in b"([":
            _index_revbayes(index, stream)
        else:
            _index_newick(index, stream)
    if source.truncated_stream and not index.tail:
        index.tail = b"(the compressed stream ends early)"
    if not index.names:
        what = "the compressed stream ends early" if source.truncated_stream else index.format or "empty file"
        raise BrantoveilError(f"{source.label}: no complete tree found ({what})")
    return index


def _reported(blocks: Iterator[bytes], on_block: Callable[[int], object]) -> Iterator[bytes]:
    for block in blocks:
        on_block(len(block))
        yield block


def _parameter_columns(head: bytes) -> list[str]:
    """The column titles when the file starts as a parameter trace does (a header, then numbers)."""
    rows: list[list[bytes]] = []
    for line in head[:65536].split(b"\n")[:-1]:
        line = line.strip(WHITESPACE)
        if not line or line[:1] == b"#" or (line[:1] == b"[" and line.endswith(b"]")):
            continue  # MrBayes' [ID: ...], BEAST's # comments
        rows.append(line.split(b"\t"))
        if len(rows) == 2:
            break
    if len(rows) < 2 or len(rows[0]) < 2 or len(rows[0]) != len(rows[1]):
        return []
    if any(cell.lstrip()[:1] == b"(" or b";" in cell for cell in rows[0]):  # r(A<->C) is a column title
        return []
    if not all(_NUMBER.fullmatch(cell.strip()) for cell in rows[1]):
        return []
    return [printable(cell.strip()) for cell in rows[0]]


def _parameter_trace(source: ByteSource, columns: list[str]) -> str:
    shown = ", ".join(columns[:4]) + (", ..." if len(columns) > 4 else "")
    where = "MrBayes writes them to .t files, BEAST and RevBayes to .trees files"
    if not source.spooled:
        path = source.path.with_suffix("") if source.path.suffix in (".gz", ".xz", ".bz2") else source.path
        for suffix in (".t", ".trees"):
            sibling = path.with_suffix(suffix)
            if sibling.is_file():
                where = f"this run's are probably in {Path(source.label).with_name(sibling.name)}"
                break
    return f"{source.label} is a parameter trace (columns {shown}), not a tree file: give the trees instead ({where})"


def _index_newick(index: FileIndex, stream: Iterator[bytes]) -> None:
    index.format = "Newick"
    statements = Statements(stream, quotes=b"'\"")
    count = 0
    for offset, text in statements:
        begin = skip_blank(text)
        if begin == len(text):
            continue  # a lone `;` or a comment: no tree
        count += 1
        if b";" in text:
            _check_swallowed(index, text, offset, _NEXT_NEWICK_TREE, f"tree {count}")
        # The range starts at the tree's first non-blank byte, which the engine's offsets count from.
        index.add(str(count), -1, offset + _after_blanks(text, 0), offset + len(text) + 1, text)
    _check_unclosed(index, statements.unclosed, f"tree {count + 1}")
    index.tail = statements.tail
    index.quoted = statements.quoted


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
                body = _after_blanks(text, match.end())
                if b";" in text:
                    _check_swallowed(index, text, offset, _NEXT_NEXUS_TREE, f"tree {printable(name)}")
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
    unclosed = statements.unclosed
    if unclosed is not None:
        head = unclosed.head
        start = skip_blank(head)
        match = _TREE_NAME.match(head, start + 4) if head[start : start + 4].lower() == b"tree" else None
        if in_trees and match is not None:
            where = f"tree {printable(_unquote(match.group(1), label))}"
        elif in_trees and index.names:
            where = f"the tree after tree {printable(index.names[-1])}"
        else:
            where = ""
        _check_unclosed(index, unclosed, where)
    index.tail = statements.tail if in_trees else b""
    index.quoted = statements.quoted


def _check_unclosed(index: FileIndex, unclosed: Unclosed | None, where: str) -> None:
    """A comment or quote left open is a cut-off last tree only if nothing follows it; else an error."""
    if unclosed is not None and unclosed.runs_on:
        _stray(index, unclosed.char, unclosed.offset, where)


def _after_blanks(text: bytes, pos: int) -> int:
    while pos < len(text) and text[pos] in WHITESPACE:
        pos += 1
    return pos


def _check_swallowed(index: FileIndex, text: bytes, offset: int, next_tree: re.Pattern[bytes], where: str) -> None:
    """Refuses a statement whose comment or quote holds the start of the next tree."""
    for run in _RUN.finditer(text):
        if next_tree.search(run.group()):
            _stray(index, run.group()[:1].decode(), offset + run.start(), where)


def _stray(index: FileIndex, char: str, offset: int, where: str) -> None:
    what = "comment" if char == "[" else "quote"
    line = line_at(index.source, offset)
    # `where` names the tree; without one the character opened in some other command.
    place, within = (f"{index.source.label}, {where}", "tree") if where else (index.source.label, "command")
    raise BrantoveilError(f"{place}: the {what} {char} opened on line {line} is not closed within its {within}")


def line_at(source: ByteSource, offset: int) -> int:
    """The line (from 1) holding the byte at `offset` of the stream; reads the stream again."""
    lines = 1
    base = 0
    for block in source.blocks():
        if base + len(block) > offset:
            return lines + block.count(b"\n", 0, offset - base)
        lines += block.count(b"\n")
        base += len(block)
    return lines


def _translate_table(text: bytes, pos: int, label: str) -> dict[str, tuple[str, bool]]:
    tokens = [m.group(1) for m in _TRANSLATE_TOKEN.finditer(text, pos)]
    table: dict[str, tuple[str, bool]] = {}
    pair: list[bytes] = []
    for token in [*tokens, b","]:
        if token != b",":
            pair.append(token)
            continue
        if len(pair) != 2:
            shown = " ".join(printable(_unquote(t, label)) for t in pair) if pair else "(nothing)"
            raise BrantoveilError(f"{label}: malformed translate entry '{shown}' (expected: label name)")
        table[_unquote(pair[0], label)] = (_unquote(pair[1], label), pair[1][:1] in b"'\"")
        pair = []
    return table


def _unquote(token: bytes, label: str) -> str:
    try:
        text = token.decode("utf-8")
    except UnicodeDecodeError as error:
        raise BrantoveilError(f"{label}: a name is not valid UTF-8 ({printable(token[:40])}: {error.reason})") from None
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
    for offset, line, complete in lines:
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
        if len(cells) != len(header) or not (complete or cells[tree_column].rstrip(WHITESPACE).endswith(b";")):
            if not complete:  # a last line cut off while it was written
                index.tail = line.strip(WHITESPACE)
                break
            raise BrantoveilError(f"{label}: line {lines.number} has {len(cells)} columns, the header {len(header)}")
        row += 1
        name = str(row)
        if generation_column >= 0:
            name = cells[generation_column].strip().decode("utf-8", "replace")
        start = offset + sum(len(cell) + 1 for cell in cells[:tree_column])
        tree = cells[tree_column]
        index.add(name, generation_of(name), start, start + len(tree), tree)
        if b"'" in tree:
            index.quoted = True


class _Lines:
    """Lines of a stream with their offsets, and whether each ended with its newline (a last line
    without one may be cut off)."""

    def __init__(self, blocks: Iterator[bytes]) -> None:
        self.blocks = blocks
        self.number = 0

    def __iter__(self) -> Iterator[tuple[int, bytes, bool]]:
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
                yield base + pos, data[pos:end], True
                pos = end + 1
            base += pos
            rest = data[pos:]
        if rest.strip(WHITESPACE):
            self.number += 1
            yield base, rest, False


# Quoted names. Tree files put a taxon name in single quotes when it holds blanks or punctuation
# ('Homo sapiens', 'Pan ''the chimp'''), and NEXUS reads an unquoted underscore as a blank, so
# Homo_sapiens is the same taxon. The engine's reader takes the single quote for an ordinary
# character but reads a double-quoted run whole, blanks and delimiters included, keeping the
# double quotes in the label. So a single-quoted name reaches the engine double-quoted
# ("Homo sapiens"), or percent-encoded between single quotes when it holds a double quote
# ('say%20%22hi%22'), and the run's translate map turns that label into the taxon. A label in
# double quotes in the file is read as the same quoted name, as translate tables already read it.


@functools.lru_cache(maxsize=1 << 16)
def placeholder(name: str) -> str:
    """The label that stands for the quoted name `name` in a text the engine reads."""
    return '"' + name + '"' if '"' not in name else "'" + quote(name, safe="") + "'"


def quoted_as_placeholders(text: str) -> str:
    """The tree text with every single-quoted name (outside comments) replaced by its placeholder."""
    # The common case in one pass: no comment, double quote or doubled quote after the leading
    # comments, so every single quote is a name's and becomes a double quote.
    paren = text.find("(")
    if paren >= 0 and "'" not in text[:paren]:
        body = text[paren:]
        if '"' not in body and "[" not in body and "''" not in body:
            return text[:paren] + body.replace("'", '"')
    return _QUOTED_NAME.sub(_placeholder_of_match, text)


def _placeholder_of_match(match: re.Match[str]) -> str:
    name = match.group(1)
    return match.group(0) if name is None else placeholder(name.replace("''", "'"))


def _quoted_name(label: str) -> str | None:
    """The name a label of the engine stands for when it is a placeholder or a double-quoted name."""
    if len(label) >= 2 and label[0] == label[-1] == '"' and '"' not in label[1:-1]:
        return label[1:-1]
    if len(label) >= 2 and label[0] == label[-1] == "'":
        return unquote(label[1:-1])
    return None


def taxon_key(name: str, quoted: bool) -> str:
    """What identifies a taxon across runs: the name as quoted, or with underscores read as blanks."""
    return name if quoted else name.replace("_", " ")


@dataclass(frozen=True)
class RunTaxa:
    """How one run names its taxa.

    `keys` are the first tree's taxa (by `taxon_key`, in text order), `first_labels` its labels as
    the engine reads them, `names` what the run writes for each key; `labels` maps the translate
    table's labels and the first tree's to their keys; `plain` says that no translate table or
    quoted name is involved, so labels are the taxa as they stand.
    """

    keys: tuple[str, ...]
    first_labels: tuple[str, ...]
    names: dict[str, str]
    labels: dict[str, str]
    plain: bool

    def engine_map(self, shown: dict[str, str]) -> dict[str, str]:
        """The translate map for the engine: every label the run's trees may use to its taxon as
        `shown` (key -> name) gives it; empty where the labels are those taxa already."""
        if self.plain and all(shown.get(key) == label for label, key in zip(self.first_labels, self.keys,
                                                                             strict=True)):
            return {}
        labels = dict(self.labels)
        # The other ways a tree may write each taxon: its name (where a translate table gives
        # numbers), quoted, or bare with underscores for blanks.
        for key, name in self.names.items():
            labels.setdefault(name, key)
            labels.setdefault(placeholder(key), key)
            bare = key.replace(" ", "_")
            if "_" not in key and not _NOT_BARE.search(bare):
                labels.setdefault(bare, key)
        return {label: shown.get(key) or self.names[key] for label, key in labels.items()}


def run_taxa(first_tree: str, table: dict[str, tuple[str, bool]], quoted: bool) -> RunTaxa:
    """The taxa of a run from its first tree, its translate table and whether some tree quotes names."""
    text = quoted_as_placeholders(first_tree) if "'" in first_tree else first_tree
    first_labels = tuple(leaf_labels(text))
    labels: dict[str, str] = {}
    names: dict[str, str] = {}
    for label, (name, was_quoted) in table.items():
        key = taxon_key(name, was_quoted)
        labels[label] = key
        labels.setdefault(placeholder(label), key)
        names.setdefault(key, name)
    keys = []
    for label in first_labels:
        name, was_quoted = label, False
        quoted_name = _quoted_name(label)
        if label in table:
            name, was_quoted = table[label]
        elif quoted_name is not None:
            name, was_quoted = table.get(quoted_name, (quoted_name, True))  # '1' is the label 1
        key = taxon_key(name, was_quoted)
        labels.setdefault(label, key)
        names.setdefault(key, name)
        keys.append(key)
    return RunTaxa(tuple(keys), first_labels, names, labels, not table and not quoted and "'" not in first_tree)


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
