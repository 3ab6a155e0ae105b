"""Generators of tree samples for the examples and benchmarks (no dependencies beyond the standard library)."""

import random


def random_topology(taxa, rng):
    """A random rooted binary tree over `taxa` as nested tuples."""
    nodes = list(taxa)
    rng.shuffle(nodes)
    while len(nodes) > 1:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append((a, b))
    return nodes[0]


def newick(tree, rng, lengths=True):
    """Newick text of nested tuples, with random branch lengths when asked."""

    def write(node):
        text = "(" + ",".join(write(child) for child in node) + ")" if isinstance(node, tuple) else str(node)
        return f"{text}:{rng.random() * 0.1:.10f}" if lengths else text

    body = write(tree)
    if lengths:
        body = body.rsplit(":", 1)[0]
    return body + ";"


def mcmc_like(n_trees, n_taxa, seed=1, lengths=True, uncertain_edges=12):
    """Yields trees that share most of their splits, labelled 1..n_taxa for a translate map.

    Like a converged posterior: one base topology in which a few non-adjacent internal edges are
    uncertain; each tree resolves each of them as in the base (80%) or by one of the two
    nearest-neighbour interchanges (10% each), and draws fresh branch lengths.
    """
    rng = random.Random(seed)
    taxa = [str(i + 1) for i in range(n_taxa)]
    base = _as_lists(random_topology(taxa, rng))
    uncertain = {}  # id(parent) -> index of the uncertain child inside the parent
    blocked = set()

    def choose(node):
        if not isinstance(node, list):
            return
        for index, child in enumerate(node):
            if (isinstance(child, list) and len(uncertain) < uncertain_edges and id(node) not in blocked
                    and id(child) not in blocked):
                uncertain[id(node)] = index
                blocked.update({id(node), id(child)} | {id(c) for c in node} | {id(c) for c in child})
            choose(child)

    choose(base)
    for _ in range(n_trees):
        picks = {key: rng.choices((0, 1, 2), (8, 1, 1))[0] for key in uncertain}
        yield newick(_resolve(base, uncertain, picks), rng, lengths)


def _as_lists(node):
    return [_as_lists(child) for child in node] if isinstance(node, tuple) else node


def _resolve(node, uncertain, picks):
    """The tree as nested tuples with every uncertain edge resolved as picked."""
    if not isinstance(node, list):
        return node
    children = [_resolve(child, uncertain, picks) for child in node]
    if id(node) in uncertain and picks[id(node)]:
        v = uncertain[id(node)]
        (a, b), c = children[v], children[1 - v]
        children = [(a, c), b] if picks[id(node)] == 1 else [(b, c), a]
    return tuple(children)


def unrelated(n_trees, n_taxa, seed=2, lengths=True):
    """Yields independent random trees labelled 1..n_taxa."""
    rng = random.Random(seed)
    taxa = [str(i + 1) for i in range(n_taxa)]
    for _ in range(n_trees):
        yield newick(random_topology(taxa, rng), rng, lengths)


def translate_map(n_taxa):
    return {str(i + 1): f"Taxon_{i + 1:04d}" for i in range(n_taxa)}


def mcmc_chain(n_trees, n_taxa, seed=3, lengths=True, uncertain_edges=12, move_rate=0.4):
    """Yields the samples of a Markov chain over topologies, labelled 1..n_taxa.

    Like a thinned MrBayes run of 30-50 taxa: most samples keep the previous topology (with fresh
    branch lengths), the rest redraw one uncertain edge as in the base (80%) or by one of its two
    nearest-neighbour interchanges (10% each). With the defaults a chain of 10,000 samples of 40
    taxa visits about 700 distinct topologies, as a real posterior of that size does (under 1,000).
    Many uncertain edges and a high move rate give a sample with few repeats instead.
    """
    rng = random.Random(seed)
    taxa = [str(i + 1) for i in range(n_taxa)]
    base = _as_lists(random_topology(taxa, rng))
    uncertain = _uncertain_edges(base, uncertain_edges)
    keys = list(uncertain)
    picks = {key: 0 for key in keys}
    for _ in range(n_trees):
        if keys and rng.random() < move_rate:
            picks[rng.choice(keys)] = rng.choices((0, 1, 2), (8, 1, 1))[0]
        yield newick(_resolve(base, uncertain, picks), rng, lengths)


def _uncertain_edges(base, limit):
    """Up to `limit` non-adjacent internal edges of `base`: id(parent) -> index of the child."""
    uncertain = {}
    blocked = set()

    def choose(node):
        if not isinstance(node, list):
            return
        for index, child in enumerate(node):
            if (isinstance(child, list) and len(uncertain) < limit and id(node) not in blocked
                    and id(child) not in blocked):
                uncertain[id(node)] = index
                blocked.update({id(node), id(child)} | {id(c) for c in node} | {id(c) for c in child})
            choose(child)

    choose(base)
    return uncertain
