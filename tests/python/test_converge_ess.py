"""Tree and trace ESS estimators against independent implementations written here from their definitions."""

from __future__ import annotations

import numpy as np
import pytest
from brantoveil_tools.converge.ess import trace_ess_viewer


def viewer_ess_by_hand(x: list[float]) -> float:
    """The trace-viewer estimator, one loop per sum, from its definition."""
    n = len(x)
    mean = sum(x) / n
    gamma = []
    for k in range(min(n - 1, 2000) + 1):
        products = sum((x[t] - mean) * (x[t + k] - mean) for t in range(n - k))
        gamma.append(products / (n - k) if k else products / n)
    if gamma[0] == 0:
        return float("nan")
    total = 0.0
    i = 1
    while 2 * i < len(gamma):
        pair = gamma[2 * i - 1] + gamma[2 * i]
        if pair <= 0:
            break
        total += pair
        i += 1
    return n * gamma[0] / (gamma[0] + 2 * total)


def presence_trace(kind: str, n: int, seed: int) -> list[float]:
    """A split's presence (1) or absence (0) in n consecutive trees."""
    rng = np.random.default_rng(seed)
    if kind == "independent":
        return [float(v) for v in rng.random(n) < 0.3]
    if kind == "sticky":  # stays for runs of about 20 trees
        state, out = 0, []
        for _ in range(n):
            state = 1 - state if rng.random() < 0.05 else state
            out.append(float(state))
        return out
    if kind == "alternating":  # negatively correlated: no pair is positive
        return [float(t % 2) for t in range(n)]
    return [1.0] * (n // 2) + [0.0] * (n - n // 2)  # "step": one change, high autocorrelation


@pytest.mark.parametrize("kind", ["independent", "sticky", "alternating", "step"])
@pytest.mark.parametrize("n", [7, 300, 2300])
def test_viewer_ess_of_presence_traces_equals_the_definition(kind: str, n: int) -> None:
    traces = [presence_trace(kind, n, seed) for seed in range(3)]
    expected = [viewer_ess_by_hand(trace) for trace in traces]
    assert trace_ess_viewer(np.asarray(traces[0])) == pytest.approx(expected[0], rel=1e-9)
    # Many traces at once give the same values as one at a time.
    together = trace_ess_viewer(np.asarray(traces).T)
    assert isinstance(together, np.ndarray)
    np.testing.assert_allclose(together, expected, rtol=1e-9)


@pytest.mark.parametrize("trace", [[1.0] * 50, [0.0] * 50, [3.0]])
def test_a_trace_that_never_varies_has_no_ess(trace: list[float]) -> None:
    assert np.isnan(trace_ess_viewer(np.asarray(trace)))
