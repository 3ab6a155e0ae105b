"""A small Newick reader for the summary pass: topology, branch lengths and `[&key=value]` annotations.

The engine reads trees faster but keeps neither heights nor annotations, which the summary trees need.
What this reader does not check: label characters beyond Newick's punctuation, comments nested in
comments, and annotations of the root's own branch beyond keeping them.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

from ..errors import BrantoveilError

_TOKEN = re.compile(r"""\s*(?:(\()|(\))|(,)|(;)|:\s*([^\s,();:\[]*)|\[([^\]]*)\]"""
                    r"""|'((?:[^']|'')*)'|([^\s,();:\[\]']+))""")
_NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")


@dataclass
class ParsedTree:
    """One tree as parallel lists indexed by node, nodes numbered in pre-order (parents before children)."""

    parent: list[int]
    children: list[list[int]]
    labels: list[str | None]
    lengths: list[float]  # NaN where the text gives none
    notes: list[dict[str, str] | None]
    rooted: bool | None  # from a leading [&R] / [&U] comment, None when absent

    def leaves(self) -> list[int]:
        return [node for node, kids in enumerate(self.children) if not kids]


def parse(text: str) -> ParsedTree:
    """Parses one Newick tree (a leading ``[&U]``/``[&R]`` and trailing ``;`` optional)."""
    parent: list[int] = []
    children: list[list[int]] = []
    labels: list[str | None] = []
    lengths: list[float] = []
    notes: list[dict[str, str] | None] = []
    rooted: bool | None = None
    stack: list[int] = []
    current = -1  # the node a following label, length or comment belongs to
    closed = False

    def new_node() -> int:
        node = len(parent)
        up = stack[-1] if stack else -1
        if up < 0 and node:
            raise BrantoveilError("malformed Newick: more than one tree, or text after the root")
        parent.append(up)
        children.append([])
        labels.append(None)
        lengths.append(math.nan)
        notes.append(None)
        if up >= 0:
            children[up].append(node)
        return node

    position = 0
    size = len(text)
    while position < size:
        match = _TOKEN.match(text, position)
        if match is None:
            if text[position:].strip() == "":
                break
            raise BrantoveilError(f"malformed Newick near {text[position:position + 20]!r}")
        position = match.end()
        kind = match.lastindex
        if kind == 1:
            if closed:
                raise BrantoveilError("malformed Newick: text after the root")
            stack.append(new_node())
            current = -1
        elif kind == 3:
            if not stack:
                raise BrantoveilError("malformed Newick: ',' outside parentheses")
            if current < 0:
                raise BrantoveilError("malformed Newick: an empty leaf")
            current = -1
        elif kind == 2:
            if not stack:
                raise BrantoveilError("malformed Newick: unbalanced ')'")
            if current < 0:
                raise BrantoveilError("malformed Newick: an empty leaf")
            current = stack.pop()
            closed = not stack
        elif kind in (7, 8):
            name = match.group(7).replace("''", "'") if kind == 7 else match.group(8)
            if current < 0:
                if closed:
                    raise BrantoveilError("malformed Newick: text after the root")
                current = new_node()
            labels[current] = name
        elif kind == 5:
            if current < 0:
                raise BrantoveilError("malformed Newick: a branch length without a node")
            try:
                lengths[current] = float(match.group(5))
            except ValueError:
                raise BrantoveilError(f"malformed Newick: branch length {match.group(5)!r}") from None
        elif kind == 6:
            comment = match.group(6)
            if not comment.startswith("&"):
                continue
            if not parent:
                word = comment[1:].strip().upper()
                if word in ("R", "U"):
                    rooted = word == "R"
                continue
            if current >= 0:
                found = notes[current]
                if found is None:
                    found = notes[current] = {}
                found.update(parse_annotations(comment[1:]))
        else:  # ';'
            break
    if stack:
        raise BrantoveilError("malformed Newick: unbalanced '('")
    if not parent:
        raise BrantoveilError("malformed Newick: no tree")
    return ParsedTree(parent, children, labels, lengths, notes, rooted)


def parse_annotations(body: str) -> dict[str, str]:
    """``rate=1.2,range={0.1,0.3},name="x"`` as a dict of raw value texts (commas inside braces or quotes kept)."""
    found: dict[str, str] = {}
    depth = 0
    quote = ""
    start = 0
    parts: list[str] = []
    for k, char in enumerate(body):
        if quote:
            if char == quote:
                quote = ""
        elif char in "\"'":
            quote = char
        elif char == "{":
            depth += 1
        elif char == "}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(body[start:k])
            start = k + 1
    parts.append(body[start:])
    for part in parts:
        key, sep, value = part.partition("=")
        if sep and key.strip():
            found[key.strip()] = value.strip()
    return found


def number(value: str) -> float | None:
    """The value of an annotation when it is one plain number, else None."""
    return float(value) if _NUMBER.fullmatch(value) else None
