"""What the progress bars say on stderr: every phase named while it runs, paced to its end; nothing when quiet."""

import re
import time

import brantoveil
import numpy as np
import pytest
from brantoveil_tools import distances, output
from brantoveil_tools.converge import converge
from brantoveil_tools.progress import phase, run_with_progress
from treefiles import random_trees, write

TREES = random_trees(150, seed=3)


def _last_line(err, desc):
    # tqdm redraws a line with carriage returns: the last drawing of the bar of `desc`.
    drawn = [part for part in re.split(r"[\r\n]", err) if part.startswith(desc)]
    assert drawn, f"{desc!r} never drawn in {err!r}"
    return drawn[-1]


def _slow_engine(texts, counter):
    # Takes every text, then works without counting pairs, as the engine does while it prepares splits.
    taken = sum(1 for _ in texts)
    time.sleep(0.35)
    return taken


@pytest.mark.parametrize("show", [True, False])
def test_the_wait_after_reading_is_shown(capsys, show):
    assert run_with_progress(_slow_engine, iter(TREES), len(TREES), show) == len(TREES)
    err = capsys.readouterr().err
    if not show:
        assert err == ""
        return
    assert "150/150" in _last_line(err, "reading trees")
    assert err.index("reading trees") < err.index("preparing splits")


class FakeCounter:
    """Stands in for the engine's counter, so a test sets what the engine would report and when."""

    def __init__(self):
        self.pairs, self.done = 0, 0

    def total(self):
        return self.pairs

    def value(self):
        return self.done


def _engine_in_phases(texts, counter):
    # What the engine does: takes the texts; sets the total, prepares; counts pairs; mirrors the matrix.
    for _ in texts:
        pass
    counter.pairs = 1000
    time.sleep(0.35)
    counter.done = 400
    time.sleep(0.35)
    counter.done = 1000
    time.sleep(0.35)
    return "matrix"


def test_every_phase_of_an_engine_call_is_named_in_order(monkeypatch, capsys):
    monkeypatch.setattr(brantoveil, "ProgressCounter", FakeCounter)
    assert run_with_progress(_engine_in_phases, iter(TREES), len(TREES), True) == "matrix"
    err = capsys.readouterr().err
    phases = ["reading trees", "preparing splits and the matrix", "comparing pairs", "finishing the matrix"]
    assert [err.index(desc) for desc in phases] == sorted(err.index(desc) for desc in phases)
    assert "40%" in err and "1.00k/1.00k" in _last_line(err, "comparing pairs")


def test_an_engine_call_ends_with_every_pair_counted(capsys):
    n = len(TREES)
    run = lambda texts, counter: brantoveil.pairwise_rf_from_newick_iter(  # noqa: E731
        [str(i) for i in range(n)], texts, [{}], [0] * n, progress=counter)
    run_with_progress(run, iter(TREES), n, True)
    err = capsys.readouterr().err
    assert "100%" in _last_line(err, "comparing pairs") and "11.2k/11.2k" in _last_line(err, "comparing pairs")
    assert err.index("reading trees") < err.index("comparing pairs")


@pytest.mark.parametrize("show", [True, False])
def test_a_long_phase_keeps_its_clock_running(capsys, show):
    # Nothing in the block moves the bar: its own thread must redraw the time spent.
    with phase("lag profiles", show):
        time.sleep(1.2)
    err = capsys.readouterr().err
    assert ("lag profiles: 00:01" in err) is show
    assert show or err == ""


@pytest.mark.parametrize("suffix", [".npy", ".npz", ".csv", ".tsv", ".phy"])
def test_the_bar_of_a_written_matrix_ends_at_the_bytes_written(tmp_path, monkeypatch, suffix):
    # More rows than one slice of text, so the text formats' total is an estimate until the end.
    result = distances(write(tmp_path / "t.nwk", "\n".join(TREES) + "\n"), "rf", burnin=0)
    bars = []

    class Recorded(output.Bytes):
        def __init__(self, desc, total, show):
            super().__init__(desc, total, show)
            self.desc, self.total, self.counted = desc, total, 0
            bars.append(self)

        def add(self, n):
            super().add(n)
            self.counted += n

        def expect(self, total):
            super().expect(total)
            self.total = total

    monkeypatch.setattr(output, "Bytes", Recorded)
    target = tmp_path / f"m{suffix}"
    output.write_matrix(result, target, progress=False)
    [bar] = bars
    assert bar.desc == f"writing m{suffix}"
    if suffix == ".npy":
        expected = result.matrix.nbytes
    elif suffix == ".npz":
        with np.load(target) as archive:
            expected = sum(archive[field].nbytes for field in archive.files)
    else:
        expected = target.stat().st_size
    assert bar.counted == bar.total == expected


def test_the_bar_of_a_written_matrix_is_drawn(tmp_path, capsys):
    result = distances(write(tmp_path / "t.nwk", "\n".join(TREES[:5]) + "\n"), "rf", burnin=0)
    output.write_matrix(result, tmp_path / "m.tsv", progress=True)
    output.write_matrix(result, tmp_path / "q.tsv", progress=False)
    err = capsys.readouterr().err
    assert "100%" in _last_line(err, "writing m.tsv") and "q.tsv" not in err


@pytest.mark.parametrize("show", [True, False])
def test_converge_names_its_phases(tmp_path, capsys, show):
    runs = [write(tmp_path / f"run{r}.nwk", "\n".join(random_trees(40, seed=r)) + "\n") for r in (1, 2)]
    converge(runs, burnin=0, progress=show)
    err = capsys.readouterr().err
    phases = ["reading trees", "lag profiles", "split statistics and ESS",
              "suggesting a burn-in", "medoids, traces and tree space"]
    if show:
        assert [err.index(desc) for desc in phases] == sorted(err.index(desc) for desc in phases)
    else:
        assert err == ""
