"""A set of outputs survives a kill between its renames, and two writers of one target commit in turn."""

import io
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools import commit
from brantoveil_tools.cli import main
from treefiles import nexus, random_trees, write

# strace counts each system call apart: six journals are renamed into place, then six files (the
# matrix and five exports) are exchanged with their earlier versions, or renamed where there are none.
RENAMES = {True: [("rename", n) for n in range(1, 7)] + [("renameat2", n) for n in range(1, 7)],
           False: [("rename", n) for n in range(1, 13)]}
TARGETS = ["x.npy", "d/presence.npy", "d/clades.npy", "d/splits.tsv", "d/trees.tsv", "d/taxa.txt"]


def visible(folder):
    """The files a reader sees (no private folders) with their bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file() and not any(part.startswith(".") for part in p.relative_to(folder).parts)}


def killed_at(tmp_path, call, n, argv):
    """Runs the command with the kernel killing it (SIGKILL) at its `n`-th system call `call`."""
    env = {**os.environ, "PYTHONPATH": str(Path(commit.__file__).parents[1])}
    return subprocess.run(["strace", "-f", "-q", "-o", os.devnull, "-e", f"trace={call}",
                           "-e", f"inject={call}:signal=SIGKILL:when={n}",
                           sys.executable, "-m", "brantoveil_tools.cli", *argv],
                          cwd=tmp_path, env=env, capture_output=True).returncode


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
@pytest.mark.parametrize("earlier", [True, False], ids=["over an earlier set", "new targets"])
def test_a_set_killed_between_renames_is_rolled_back_by_the_next_writer(tmp_path, earlier):
    write(tmp_path / "old.t", nexus(random_trees(9, seed=5)))
    write(tmp_path / "new.t", nexus(random_trees(6, seed=11)))
    argv = ["rf", "new.t", "--burnin", "0", "-q", "-o", "x.npy", "--exports", "d"]
    if earlier:
        assert main(["rf", str(tmp_path / "old.t"), "--burnin", "0", "-q", "-o", str(tmp_path / "x.npy"),
                     "--exports", str(tmp_path / "d")]) == 0
    before = visible(tmp_path)
    for k, (call, n) in enumerate(RENAMES[earlier]):
        assert killed_at(tmp_path, call, n, argv) == -9
        # Any target of the set recovers the whole set.
        commit.remove_leftovers(tmp_path / TARGETS[k % len(TARGETS)])
        assert visible(tmp_path) == before, f"killed at {call} {n}"
        for target in TARGETS:  # the folders the journal did not reach yet, so the next count starts afresh
            commit.remove_leftovers(tmp_path / target)
    # No more renames than counted: every one was cut.
    last = {call: n for call, n in RENAMES[earlier]}
    assert all(killed_at(tmp_path, call, n + 1, argv) == 0 for call, n in last.items())
    assert sorted(visible(tmp_path)) == sorted(["old.t", "new.t", *TARGETS])
    assert not [p for p in tmp_path.rglob(".*")]  # the writers of every target removed the leftovers


def test_a_second_writer_of_the_folder_waits_for_the_first_to_commit(tmp_path):
    import fcntl

    target = tmp_path / "m.tsv"
    holder = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(holder, fcntl.LOCK_EX)  # the first writer, in the middle of its commit
    finished = threading.Event()

    def second():
        with commit.atomic_path(target) as temporary:
            temporary.write_text("second")
        finished.set()

    writer = threading.Thread(target=second)
    writer.start()
    time.sleep(0.3)
    assert not finished.is_set() and not target.exists()
    os.close(holder)
    writer.join(5)
    assert finished.is_set() and target.read_text() == "second"


def test_ctrl_c_during_the_commit_reports_the_outputs_written(tmp_path, monkeypatch, capsys):
    write(tmp_path / "run.t", nexus(random_trees(6, seed=11)))
    real = commit._exchange

    def interrupted(new, final):  # Ctrl-C arrives while the files are being moved
        os.kill(os.getpid(), 2)
        return real(new, final)

    monkeypatch.setattr(commit, "_exchange", interrupted)
    monkeypatch.setattr(commit.os, "replace", lambda a, b, real=os.replace: (os.kill(os.getpid(), 2), real(a, b)))
    assert main(["rf", str(tmp_path / "run.t"), "--burnin", "0", "-q", "-o", str(tmp_path / "m.npy")]) == 130
    assert capsys.readouterr().err == "brantoveil: interrupted after every output was written\n"
    assert (tmp_path / "m.npy").stat().st_size > 0


def test_a_large_private_folder_is_removed_by_a_process_of_its_own(tmp_path, monkeypatch):
    # Freeing the pages of a file of gigabytes takes the kernel seconds: a command must not wait for it.
    monkeypatch.setattr(commit, "_BACKGROUND_BYTES", 1024)
    monkeypatch.setattr(commit.shutil, "rmtree", lambda *args, **kwargs: pytest.fail("removed in-process"))
    with pytest.raises(KeyboardInterrupt), commit.output_set() as outputs:
        outputs.file(tmp_path / "m.npy").write_bytes(b"x" * 4096)
        raise KeyboardInterrupt
    for _ in range(100):
        if list(tmp_path.iterdir()) == []:
            break
        time.sleep(0.05)
    assert list(tmp_path.iterdir()) == []


def test_ctrl_c_is_seen_between_slices_of_a_large_write(monkeypatch):
    from brantoveil_tools import output

    monkeypatch.setattr(output, "_WRITE_BYTES", 1024)
    pieces = []

    class Interrupted(io.BytesIO):
        def write(self, data):
            pieces.append(len(data))
            if len(pieces) == 3:  # Ctrl-C during the second slice of data
                os.kill(os.getpid(), 2)
            return super().write(data)

    with pytest.raises(KeyboardInterrupt):
        output.save_npy(Interrupted(), np.zeros(1 << 16, dtype="<u4"))
    assert len(pieces) == 3  # the header and two slices of 1 kB, of 256
    with pytest.raises(KeyboardInterrupt):
        # Sums over the export matrix too: a Ctrl-C arriving in one slice is raised before the next.
        monkeypatch.setattr(output.np, "count_nonzero", lambda *a, real=np.count_nonzero, **k: (
            pieces.append(0), os.kill(os.getpid(), 2), real(*a, **k))[-1])
        output._column_counts(np.ones((4096, 64), dtype=np.uint8))
    assert len(pieces) == 4


def test_ctrl_c_once_the_outputs_are_in_place_says_they_are_whole(tmp_path, monkeypatch, capsys):
    from brantoveil_tools.converge.report import ConvergenceReport

    for name, seed in (("r1.t", 1), ("r2.t", 2)):
        write(tmp_path / name, nexus(random_trees(6, seed=seed)))

    def interrupted(report):  # Ctrl-C while the summary is printed, after the files were written
        raise KeyboardInterrupt

    monkeypatch.setattr(ConvergenceReport, "summary", interrupted)
    assert main(["converge", str(tmp_path / "r1.t"), str(tmp_path / "r2.t"), "--burnin", "0", "--no-burnin-suggestion",
                 "--json", str(tmp_path / "report.json")]) == 130
    assert capsys.readouterr().err.splitlines()[-1] == "brantoveil: interrupted after every output was written"
    assert (tmp_path / "report.json").stat().st_size > 0
