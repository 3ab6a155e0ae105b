"""Outputs never destroy inputs, appear all together or not at all, and killed writers leave no litter."""

import os
import signal
import subprocess
import sys
import textwrap
from contextlib import suppress
from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools import commit, output
from brantoveil_tools.cli import main
from brantoveil_tools.converge import cli as converge_cli
from treefiles import nexus, random_trees, write

TREES = random_trees(6, seed=11)
NEWICK = "\n".join(TREES) + "\n"


def snapshot(folder):
    """Every file under `folder` (hidden ones included) with its bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def make_inputs(tmp):
    write(tmp / "trace.tsv", NEWICK)
    write(tmp / "boot.phy", NEWICK)
    write(tmp / "r1.t", nexus(TREES))
    write(tmp / "r2.t", nexus(TREES[::-1]))
    (tmp / "dir").mkdir()
    write(tmp / "dir" / "trees.tsv", NEWICK)
    os.link(tmp / "boot.phy", tmp / "hard.phy")
    os.symlink("trace.tsv", tmp / "soft.tsv")


@pytest.mark.parametrize("argv, message", [
    # The RevBayes-style run named as its own output.
    (["rf", "trace.tsv", "--burnin", "0", "-o", "trace.tsv"],
     "the output trace.tsv is the input trace.tsv: choose another output path"),
    # A Newick file whose name is a matrix suffix.
    (["wrf", "boot.phy", "--burnin", "0", "-o", "./sub/../boot.phy"],
     "the output ./sub/../boot.phy is the input boot.phy: choose another output path"),
    # Other names of the same file: a hard link and a symbolic link.
    (["rf", "boot.phy", "--burnin", "0", "-o", "hard.phy"],
     "the output hard.phy is the input boot.phy: choose another output path"),
    (["kf", "trace.tsv", "--burnin", "0", "-o", "soft.tsv"],
     "the output soft.tsv is the input trace.tsv: choose another output path"),
    (["converge", "r1.t", "r2.t", "--burnin", "0", "--splits", "r2.t"],
     "the output r2.t is the input r2.t: choose another output path"),
    # Standard input redirected from the output (`< trace.tsv`).
    (["wrf", "-", "--burnin", "0", "-o", "trace.tsv"],
     "the output trace.tsv is the standard input: choose another output path"),
    # An input that the export folder's trees.tsv would replace.
    (["rf", "dir/trees.tsv", "--burnin", "0", "-o", "m.npy", "--exports", "dir"],
     "the output dir/trees.tsv is the input dir/trees.tsv: choose another output path"),
    # Two outputs that are one file.
    (["rf", "r1.t", "--burnin", "0", "-o", "dir/clades.npy", "--exports", "dir"],
     "dir/clades.npy and dir/clades.npy are the same output file: choose another path for one of them"),
    (["converge", "r1.t", "r2.t", "--burnin", "0", "--json", "x.json", "--splits", "./x.json"],
     "x.json and x.json are the same output file: choose another path for one of them"),
])
def test_an_output_that_is_an_input_is_refused_before_any_work(tmp_path, monkeypatch, capsys, argv, message):
    (tmp_path / "sub").mkdir()
    make_inputs(tmp_path)
    before = snapshot(tmp_path)
    monkeypatch.chdir(tmp_path)
    with open(tmp_path / "trace.tsv") as stdin:
        monkeypatch.setattr(sys, "stdin", stdin)
        assert main(argv) == 2
    assert capsys.readouterr().err == f"brantoveil: error: {message}\n"
    assert snapshot(tmp_path) == before


def test_the_same_folder_may_hold_inputs_and_exports(tmp_path, monkeypatch):
    # Only the export files' own names can clash; other files in the folder are left alone.
    write(tmp_path / "run.t", nexus(TREES))
    monkeypatch.chdir(tmp_path)
    assert main(["rf", "run.t", "--burnin", "0", "-q", "-o", "m.npy", "--exports", "."]) == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["clades.npy", "m.npy", "presence.npy", "run.t",
                                                          "splits.tsv", "taxa.txt", "trees.tsv"]


class Injected(Exception):
    pass


def fail_on(name, exception):
    """A replacement for `open` that raises once the writer opens the temporary file of `name`."""
    real = open

    def opener(path, *args, **kwargs):
        if Path(path).name == name and Path(path).parent.name.endswith(".tmp"):
            raise exception
        return real(path, *args, **kwargs)

    return opener


# Where a run of `wrf -o m.npy --exports out` stops, and how.
@pytest.mark.parametrize("name, exception, status", [
    ("branch_lengths.npy", KeyboardInterrupt(), 130),  # the first export
    ("trees.tsv", KeyboardInterrupt(), 130),  # an export after others were written
    ("taxa.txt", PermissionError(13, "Permission denied"), 2),
    ("m.npy", KeyboardInterrupt(), 130),  # the matrix, after every export
    ("m.npy", OSError(28, "No space left on device"), 2),
])
def test_a_failed_run_leaves_the_previous_outputs_whole(tmp_path, monkeypatch, name, exception, status):
    write(tmp_path / "run.t", nexus(TREES))
    # The previous run: RF exports of other trees, and an unrelated file the folder also holds.
    write(tmp_path / "old.t", nexus(random_trees(9, seed=5)))
    assert main(["rf", str(tmp_path / "old.t"), "--burnin", "0", "-q", "-o", str(tmp_path / "m.npy"),
                 "--exports", str(tmp_path / "out")]) == 0
    write(tmp_path / "out" / "notes.txt", "mine")
    before = snapshot(tmp_path)
    monkeypatch.setattr(output, "open", fail_on(name, exception), raising=False)
    assert main(["wrf", str(tmp_path / "run.t"), "--burnin", "0", "-q", "-o", str(tmp_path / "m.npy"),
                 "--exports", str(tmp_path / "out")]) == status
    assert snapshot(tmp_path) == before  # no new file beside an old one, no temporary folder left
    monkeypatch.undo()
    assert main(["wrf", str(tmp_path / "run.t"), "--burnin", "0", "-q", "-o", str(tmp_path / "m.npy"),
                 "--exports", str(tmp_path / "out")]) == 0
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["branch_lengths.npy", "clades.npy", "notes.txt",
                                                                    "splits.tsv", "taxa.txt", "trees.tsv"]
    assert np.load(tmp_path / "out" / "branch_lengths.npy").shape[0] == len(TREES)


@pytest.mark.parametrize("fails", [False, True], ids=["written", "failed"])
@pytest.mark.parametrize("linked", [False, True], ids=["one name", "hard link"])
def test_a_target_on_disk_whose_cache_is_released_keeps_its_bytes(tmp_path, fails, linked):
    # A target already written out (clean pages) has its cache dropped while the new file is written;
    # only the new bytes may ever appear under its name, the old ones stay when the write fails.
    target = tmp_path / "m.npy"
    old = np.arange(4096, dtype="<u4")
    np.save(target, old)
    with open(target, "rb+") as handle:
        os.fsync(handle.fileno())
    if linked:
        os.link(target, tmp_path / "other.npy")
    with suppress(RuntimeError), output.output_set() as outputs:
        with open(outputs.file(target), "wb") as handle:
            output.save_npy(handle, old + 1)
        if fails:
            raise RuntimeError("stopped before the commit")
    np.testing.assert_array_equal(np.load(target), old if fails else old + 1)
    if linked:
        np.testing.assert_array_equal(np.load(tmp_path / "other.npy"), old)


@pytest.mark.parametrize("exchange", [True, False], ids=["names swapped", "renamed over"])
@pytest.mark.parametrize("fail_at", [0, 1, 3])
def test_a_commit_that_fails_midway_puts_back_what_it_moved(tmp_path, monkeypatch, fail_at, exchange):
    for name in ("a", "b", "c"):
        write(tmp_path / name, f"old {name}")
    real_replace, real_exchange = os.replace, commit._exchange
    calls = []

    def failing(real):
        def move(source, target):
            if Path(source).parent.name.endswith(".tmp"):
                calls.append(target)
                if len(calls) == fail_at + 1:
                    raise OSError(5, "Input/output error")
            return real(source, target)
        return move

    monkeypatch.setattr(commit.os, "replace", failing(real_replace))
    monkeypatch.setattr(commit, "_exchange", failing(real_exchange) if exchange else lambda new, final: False)
    with pytest.raises(output.BrantoveilError, match="Input/output error"), output.output_set() as outputs:
        for name in ("a", "b", "c", "d"):
            outputs.file(tmp_path / name).write_text(f"new {name}")
    assert snapshot(tmp_path) == {"a": b"old a", "b": b"old b", "c": b"old c"}


KILLED_WRITER = """
import sys, time
from brantoveil_tools.output import atomic_path
with atomic_path(sys.argv[1]) as temporary:
    temporary.write_text("half")
    print(temporary.parent, flush=True)
    time.sleep(60)
"""


def test_leftovers_of_killed_writers_go_and_those_of_live_ones_stay(tmp_path):
    target = tmp_path / "out.npy"
    env = {**os.environ, "PYTHONPATH": str(Path(output.__file__).parents[1])}
    writers = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(KILLED_WRITER), str(target)], env=env,
                                stdout=subprocess.PIPE, text=True) for _ in range(2)]
    try:
        killed, live = (Path(w.stdout.readline().strip()) for w in writers)
        os.kill(writers[0].pid, signal.SIGKILL)
        writers[0].wait()
        assert killed.is_dir() and live.is_dir()
        stranger = tmp_path / ".out.npy.abc.tmp"  # not named by a writer of ours: never touched
        stranger.mkdir()
        with output.atomic_path(target) as temporary:
            temporary.write_text("done")
        assert not killed.exists()
        assert live.is_dir() and stranger.is_dir()
        assert target.read_text() == "done"
    finally:
        for writer in writers:
            writer.kill()
            writer.wait()


def test_converge_writes_its_files_together(tmp_path, monkeypatch):
    write(tmp_path / "r1.t", nexus(TREES))
    write(tmp_path / "r2.t", nexus(TREES[::-1]))
    argv = ["converge", str(tmp_path / "r1.t"), str(tmp_path / "r2.t"), "--burnin", "0", "-q",
            "--json", str(tmp_path / "report.json"), "--splits", str(tmp_path / "splits.tsv")]

    def interrupted(report, target):
        raise KeyboardInterrupt

    monkeypatch.setattr(converge_cli, "write_split_table", interrupted)
    assert main(argv) == 130
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r1.t", "r2.t"]  # no JSON without its split table
    monkeypatch.undo()
    assert main(argv) == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r1.t", "r2.t", "report.json", "splits.tsv"]
