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


def perturb(tree, rng, moves):
    """Swaps `moves` random pairs of leaves: a cheap stand-in for the small steps of an MCMC chain."""
    leaves = []

    def collect(node):
        if isinstance(node, tuple):
            for child in node:
                collect(child)
        else:
            leaves.append(node)

    collect(tree)
    mapping = {leaf: leaf for leaf in leaves}
    for _ in range(moves):
        a, b = rng.sample(leaves, 2)
        mapping[a], mapping[b] = mapping[b], mapping[a]

    def rename(node):
        if isinstance(node, tuple):
            return tuple(rename(child) for child in node)
        return mapping[node]

    return rename(tree)


def newick(tree, rng, lengths=True):
    """Newick text of nested tuples, with random branch lengths when asked."""

    def write(node):
        text = "(" + ",".join(write(child) for child in node) + ")" if isinstance(node, tuple) else str(node)
        return f"{text}:{rng.random() * 0.1:.10f}" if lengths else text

    body = write(tree)
    if lengths:
        body = body.rsplit(":", 1)[0]
    return body + ";"


def mcmc_like(n_trees, n_taxa, seed=1, lengths=True):
    """Yields trees that share most of their splits, labelled 1..n_taxa for a translate map."""
    rng = random.Random(seed)
    taxa = [str(i + 1) for i in range(n_taxa)]
    current = random_topology(taxa, rng)
    for _ in range(n_trees):
        if rng.random() < 0.3:
            current = perturb(current, rng, 1)
        yield newick(current, rng, lengths)


def unrelated(n_trees, n_taxa, seed=2, lengths=True):
    """Yields independent random trees labelled 1..n_taxa."""
    rng = random.Random(seed)
    taxa = [str(i + 1) for i in range(n_taxa)]
    for _ in range(n_trees):
        yield newick(random_topology(taxa, rng), rng, lengths)


def translate_map(n_taxa):
    return {str(i + 1): f"Taxon_{i + 1:04d}" for i in range(n_taxa)}
