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

# One token per match: punctuation, a length, a comment, a quoted or a bare label. re.split with this
# pattern leaves only the text between tokens, which must be blank.
_TOKEN = re.compile(r"""([(),;]|:\s*[^\s,();:\[]*|\[[^\]]*\]|'(?:[^']|'')*'|[^\s,();:\[\]']+)""")
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
    post: list[int]  # the nodes in post-order, children in the order written

    def leaves(self) -> list[int]:
        return [node for node, kids in enumerate(self.children) if not kids]


def parse(text: str) -> ParsedTree:
    """Parses one Newick tree (a leading ``[&U]``/``[&R]`` and trailing ``;`` optional)."""
    pieces = _TOKEN.split(text)
    gaps = "".join(pieces[0::2])
    if gaps and not gaps.isspace():
        bad = next(gap for gap in pieces[0::2] if gap and not gap.isspace()).strip()
        raise BrantoveilError(f"malformed Newick near {bad[:20]!r}")
    parent: list[int] = []
    children: list[list[int]] = []
    labels: list[str | None] = []
    lengths: list[float] = []
    notes: list[dict[str, str] | None] = []
    post: list[int] = []
    rooted: bool | None = None
    stack: list[int] = []
    current = -1  # the node a following label, length or comment belongs to
    closed = False
    nan = math.nan
    add_post = post.append
    # Branches in the order tokens are most frequent: lengths, comments, then punctuation.
    for token in pieces[1::2]:
        first = token[0]
        if first == ":":
            if current < 0:
                raise BrantoveilError("malformed Newick: a branch length without a node")
            try:
                lengths[current] = float(token[1:])
            except ValueError:
                raise BrantoveilError(f"malformed Newick: branch length {token[1:].strip()!r}") from None
        elif first == "[":
            if len(token) < 3 or token[1] != "&":
                continue
            if not parent:
                word = token[2:-1].strip().upper()
                if word in ("R", "U"):
                    rooted = word == "R"
                continue
            if current >= 0:
                found = notes[current]
                if found is None:
                    found = notes[current] = {}
                found.update(parse_annotations(token[2:-1]))
        elif first == ",":
            if current < 0:
                raise BrantoveilError("malformed Newick: an empty leaf" if stack
                                      else "malformed Newick: ',' outside parentheses")
            if not stack:
                raise BrantoveilError("malformed Newick: ',' outside parentheses")
            current = -1
        elif first == ")":
            if not stack:
                raise BrantoveilError("malformed Newick: unbalanced ')'")
            if current < 0:
                raise BrantoveilError("malformed Newick: an empty leaf")
            current = stack.pop()
            add_post(current)
            closed = not stack
        elif first == ";":
            break
        elif first == "(" or current < 0:
            if closed or (not stack and parent):
                raise BrantoveilError("malformed Newick: text after the root")
            node = len(parent)
            up = stack[-1] if stack else -1
            parent.append(up)
            children.append([])
            lengths.append(nan)
            notes.append(None)
            if up >= 0:
                children[up].append(node)
            if first == "(":
                labels.append(None)
                stack.append(node)
                current = -1
                continue
            add_post(node)
            current = node
            labels.append(token[1:-1].replace("''", "'") if first == "'" else token)
        else:  # a label after ')': an inner node's name or support
            labels[current] = token[1:-1].replace("''", "'") if first == "'" else token
    if stack:
        raise BrantoveilError("malformed Newick: unbalanced '('")
    if not parent:
        raise BrantoveilError("malformed Newick: no tree")
    return ParsedTree(parent, children, labels, lengths, notes, rooted, post)


def length_of(token: str) -> float:
    """The branch length of a token ending in ``:LENGTH``; of several (``A:1:5``) the last, as the engine reads."""
    return float(token.rpartition(":")[2])


_QUICK = re.compile(r"\(|\)[^(),;]*|[^(),;\s][^(),;]*")


def parse_checked(text: str) -> ParsedTree:
    """Parses a tree already read once without complaint (by the engine or `parse`): texts without
    comments or quotes (beyond a leading ``[&U]``/``[&R]``) take a shortcut that checks nothing."""
    body = text.lstrip()
    rooted = None
    if body.startswith("["):
        close = body.find("]")
        word = body[1:close].strip().upper()
        rooted = True if word == "&R" else False if word == "&U" else None
        body = body[close + 1:]
    if "[" in body or "'" in body:
        return parse(text)
    parent: list[int] = []
    children: list[list[int]] = []
    labels: list[str | None] = []
    lengths: list[float] = []
    post: list[int] = []
    stack: list[int] = []
    nan = math.nan
    for token in _QUICK.findall(body.split(";", 1)[0]):
        first = token[0]
        if first == ")":
            node = stack.pop()
            post.append(node)
            label, colon, _ = token[1:].partition(":")
            if label.strip():
                labels[node] = label.strip()
            if colon:
                lengths[node] = length_of(token)
            continue
        node = len(parent)
        up = stack[-1] if stack else -1
        parent.append(up)
        children.append([])
        if up >= 0:
            children[up].append(node)
        if first == "(":
            labels.append(None)
            lengths.append(nan)
            stack.append(node)
        else:
            label, colon, _ = token.partition(":")
            labels.append(label.strip())
            lengths.append(length_of(token) if colon else nan)
            post.append(node)
    return ParsedTree(parent, children, labels, lengths, [None] * len(parent), rooted, post)


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
