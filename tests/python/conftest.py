"""Shared helpers: the module's six functions and small tree samples."""

import brantoveil
import pytest

RF_FUNCTIONS = [
    brantoveil.pairwise_rf_from_newick_iter,
    brantoveil.pairwise_rf_with_snapshots_from_newick_iter,
]
WEIGHTED_FUNCTIONS = [
    brantoveil.pairwise_wrf_with_snapshots_from_newick_iter,
    brantoveil.pairwise_kf_with_snapshots_from_newick_iter,
    brantoveil.pairwise_wrf_from_newick_iter,
    brantoveil.pairwise_kf_from_newick_iter,
]
ALL_FUNCTIONS = RF_FUNCTIONS + WEIGHTED_FUNCTIONS

FIVE_TREES = [
    "((A:1,B:1):1,(C:1,D:1):1,E:1);",
    "((A:1,C:1):1,(B:1,D:1):1,E:1);",
    "((A:1,B:1):2,(C:1,E:1):1,D:1);",
    "(A:1,B:1,C:1,D:1,E:1);",
    "((A:1,B:1):1,(C:1,D:1):1,E:1);",
]


class TrackedIterator:
    """An iterator that records how many items were pulled from it."""

    def __init__(self, items):
        self._items = list(items)
        self.pulled = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.pulled >= len(self._items):
            raise StopIteration
        item = self._items[self.pulled]
        self.pulled += 1
        if isinstance(item, BaseException):
            raise item
        return item


def call(function, trees, *, names=None, maps=None, indices=None, **kwargs):
    """Calls `function` on a list of trees with one empty translate map."""
    names = [f"t{i}" for i in range(len(trees))] if names is None else names
    maps = [{}] if maps is None else maps
    indices = [0] * len(names) if indices is None else indices
    return function(names, iter(trees), maps, indices, **kwargs)


@pytest.fixture(params=ALL_FUNCTIONS, ids=lambda f: f.__name__)
def function(request):
    return request.param
