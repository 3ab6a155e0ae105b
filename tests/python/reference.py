"""A plain, independent computation of splits and distances, for checking the module's results."""

import math
import random


def parse(text):
    """Every non-root node of a Newick text as (leaf set, length), and the set of all leaves.

    Handles the subset the tests generate: parentheses, commas, plain labels, `:length`, inner labels.
    """
    stack = [[]]
    nodes = []
    current = None  # (members, index into nodes)
    i = 0
    while text[i] != ";":
        c = text[i]
        if c == "(":
            stack.append([])
            current = None
            i += 1
        elif c == ",":
            stack[-1].append(current[0])
            current = None
            i += 1
        elif c == ")":
            stack[-1].append(current[0])
            members = frozenset().union(*stack.pop())
            nodes.append([members, 0.0])
            current = (members, len(nodes) - 1)
            i += 1
        elif c == ":":
            j = i + 1
            while text[j] not in ",);":
                j += 1
            nodes[current[1]][1] = float(text[i + 1 : j])
            i = j
        else:
            j = i
            while text[j] not in ",():;":
                j += 1
            if current is None:
                nodes.append([frozenset([text[i:j]]), 0.0])
                current = (nodes[-1][0], len(nodes) - 1)
            i = j
    everything = current[0]
    root = current[1]
    return [tuple(node) for k, node in enumerate(nodes) if k != root], everything


def splits(text, rooted):
    """{split: summed length}; unrooted splits are named by the side without the first leaf,
    pendant edges by their leaf. Edges that are one edge of the tree (single-child chains, the two
    root edges) add up."""
    nodes, everything = parse(text)
    first = min(everything)
    result = {}
    for members, length in nodes:
        if len(members) == len(everything):
            continue
        if rooted:
            side = members
        else:
            complement = everything - members
            if len(members) == 1 or len(complement) == 1:
                side = members if len(members) == 1 else complement
            else:
                side = complement if first in members else members
        result[side] = result.get(side, 0.0) + length
    return result


def rf(a, b):
    """Robinson-Foulds distance of two split dictionaries (pendant edges never differ)."""
    return sum(1 for k in set(a) | set(b) if (k in a) != (k in b))


def weighted(a, b, kind):
    diffs = [a.get(k, 0.0) - b.get(k, 0.0) for k in set(a) | set(b)]
    if kind == "wrf":
        return math.fsum(abs(d) for d in diffs)
    return math.sqrt(math.fsum(d * d for d in diffs))


def random_tree(rng, taxa, lengths="binary", unary=0.0, multifurcation=0.0):
    """A random Newick text over `taxa`: binary merges, with some multifurcations and single-child
    wrappers, and lengths that are small binary fractions ("binary"), arbitrary ("float") or absent."""

    def length():
        if lengths == "binary":
            return f":{rng.randrange(1, 64) / 16}"
        if lengths == "float":
            return f":{rng.random():.17g}"
        return ""

    nodes = [name + length() for name in taxa]
    rng.shuffle(nodes)
    while len(nodes) > 1:
        k = 3 if (len(nodes) > 3 and rng.random() < multifurcation) else 2
        children = [nodes.pop(rng.randrange(len(nodes))) for _ in range(k)]
        node = "(" + ",".join(children) + ")"
        if len(nodes) > 0:
            node += length()
            if rng.random() < unary:
                node = "(" + node + ")" + length()
        nodes.append(node)
    return nodes[0] + ";"


def sample(seed, n_trees, n_taxa, **options):
    rng = random.Random(seed)
    taxa = [f"T{i:03d}" for i in range(n_taxa)]
    base = random_tree(rng, taxa, **options)
    # A mix of repeated and fresh trees, so that splits of every support occur.
    return [base if rng.random() < 0.2 else random_tree(rng, taxa, **options) for _ in range(n_trees)]
