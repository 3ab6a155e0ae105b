"""Zarr stores: damaged tiles are found and computed anew, another sample is refused before any tree is
read, and Ctrl-C ends a run on a local cluster in one line."""

import os
import shutil
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

import brantoveil_tools.tiles  # noqa: E402
from brantoveil_tools import BrantoveilError, distances  # noqa: E402
from brantoveil_tools.cli import main  # noqa: E402
from brantoveil_tools.tiles import cluster, encode, to_zarr  # noqa: E402
from brantoveil_tools.tiles import store as store_module  # noqa: E402
from brantoveil_tools.tiles.store import open_matrix, read_labels  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RUNS = [str(EXAMPLES / "primates.run1.t"), str(EXAMPLES / "primates.run2.t")]
CHUNK = 96  # 452 trees: 5 x 5 tiles, 15 pairs


@pytest.fixture(scope="module")
def encoded():
    return encode(RUNS, lengths=True)


@pytest.fixture(scope="module")
def expected():
    return distances(RUNS, "kf").matrix


def delete(chunk):
    chunk.unlink()


def flip(offset):
    def damage(chunk):
        data = bytearray(chunk.read_bytes())
        data[offset % len(data)] ^= 0x10
        chunk.write_bytes(data)
    return damage


def recording(monkeypatch):
    real, calls = store_module.store_tile, []
    monkeypatch.setattr(store_module, "store_tile", lambda *args: (calls.append(args[5:]), real(*args)))
    return calls


# A tile of a complete or of an interrupted store (its pair already done), damaged on disk.
@pytest.mark.parametrize("complete", [True, False])
@pytest.mark.parametrize("tile, damage", [
    ((1, 2), delete),  # Zarr reads a missing chunk as zeros
    ((2, 1), delete),  # the mirror half of a pair
    ((3, 3), flip(-3)),
    ((0, 4), flip(40)),
    ((4, 0), flip(-1)),
])
def test_a_damaged_tile_is_found_when_read_and_computed_anew(tmp_path, monkeypatch, encoded, expected, complete,
                                                            tile, damage):
    path = tmp_path / "kf.zarr"
    if complete:
        to_zarr(encoded, path, "kf", chunk=CHUNK)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert open_matrix(path).compute().tobytes() == expected.tobytes()
    else:
        # Stopped after every pair of tile rows 0 and 1, among them the damaged one.
        real = store_module.store_tile

        def stop_after(*args):
            if args[5] > 1:
                raise RuntimeError("worker lost")
            real(*args)

        monkeypatch.setattr(store_module, "store_tile", stop_after)
        with pytest.raises(RuntimeError):
            to_zarr(encoded, path, "kf", chunk=CHUNK)
        monkeypatch.undo()
    pair = tuple(sorted(tile))
    if not complete and pair[0] > 1:
        pair = (1, pair[1])  # damage a tile the interrupted run did store
        tile = pair
    damage(path / "matrix" / "c" / str(tile[0]) / str(tile[1]))
    if complete:
        with pytest.raises(BrantoveilError, match=rf"^{path}: tile \({tile[0]}, {tile[1]}\) is damaged: run the same "
                                                  r"command again to compute it anew$"):
            open_matrix(path).compute()
    calls = recording(monkeypatch)
    to_zarr(encoded, path, "kf", chunk=CHUNK)
    assert pair in calls
    assert len(calls) == (1 if complete else 15 - 9 + 1)
    assert open_matrix(path).compute().tobytes() == expected.tobytes()


def test_a_store_without_its_checksums_is_not_trusted(tmp_path, monkeypatch, encoded, expected):
    path = tmp_path / "kf.zarr"
    to_zarr(encoded, path, "kf", chunk=CHUNK)
    zarr.open_group(str(path), mode="r+")["checksums"][:] = 0
    calls = recording(monkeypatch)
    to_zarr(encoded, path, "kf", chunk=CHUNK)
    assert len(calls) == 15
    assert open_matrix(path).compute().tobytes() == expected.tobytes()


@pytest.mark.parametrize("first, second", [
    (["kf", *RUNS, "--burnin", "0.25"], ["kf", *RUNS, "--burnin", "0.5"]),  # other trees kept
    (["kf", *RUNS], ["kf", RUNS[0]]),  # other runs
    (["kf", *RUNS], ["kf", *RUNS, "--rooted"]),
])
def test_a_store_of_another_sample_is_refused_before_the_cluster_starts(tmp_path, monkeypatch, capsys, first,
                                                                         second):
    out = str(tmp_path / "m.zarr")
    assert main([*first, "-o", out, "--chunk", "200", "-q"]) == 0

    def forbidden(*args, **kwargs):
        raise AssertionError("started anyway")

    monkeypatch.setattr(cluster, "connect", forbidden)
    monkeypatch.setattr(brantoveil_tools.tiles, "encode", forbidden)
    assert main([*second, "-o", out, "--chunk", "200", "-q"]) == 2
    assert capsys.readouterr().err == (f"brantoveil: error: {out} exists and holds a different matrix "
                                       f"(remove it, or choose another path)\n")


def test_quiet_silences_the_warning_about_a_large_graph():
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address="127.0.0.1:0") as local:
        for quiet in (False, True):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                with cluster.connect(local.scheduler_address, quiet=quiet) as client:
                    assert client.submit(len, b"x" * 11_000_000, pure=False).result() == 11_000_000
            large = [w for w in caught if "Sending large graph" in str(w.message)]
            assert len(large) == (0 if quiet else 1)


def test_ctrl_c_ends_a_zarr_run_in_one_line(tmp_path):
    # The terminal sends SIGINT to every process of the command: the cluster's too.
    out = tmp_path / "kf.zarr"
    env = {**os.environ, "PYTHONPATH": str(Path(brantoveil_tools.__file__).parents[1])}
    command = subprocess.Popen([sys.executable, "-m", "brantoveil_tools.cli", "kf", *RUNS, "-o", str(out), "--chunk",
                                "8", "-q"], env=env, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not any((out / ".tiles").glob("*.*")) and command.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)
        sent = time.monotonic()
        os.killpg(command.pid, signal.SIGINT)
        err = command.stderr.read()
        command.wait(timeout=30)
        took = time.monotonic() - sent
    finally:
        if command.poll() is None:
            os.killpg(command.pid, signal.SIGKILL)
            command.wait()
    assert (command.returncode, err) == (130, "brantoveil: interrupted\n")
    assert took < 2.0  # under 0.5 s on an idle machine; this one is shared


def lose(part):
    def damage(path):
        target = path / part
        shutil.rmtree(target) if target.is_dir() else target.unlink()
    return damage


# Every array of a complete store, damaged; the rerun the error advises writes it anew.
@pytest.mark.parametrize("damage, message", [
    (lose("names/c/0"), "the names array is damaged"),  # Zarr reads a lost chunk of names as empty strings
    (lose("runs/c/0"), "the runs array is damaged"),  # ... and of runs as zeros
    (lose("checksums"), "has lost its tile checksums"),
], ids=["names", "runs", "checksums"])
def test_every_array_of_a_store_is_checked_and_a_rerun_repairs_it(tmp_path, encoded, expected, damage, message):
    path = tmp_path / "kf.zarr"
    to_zarr(encoded, path, "kf", chunk=CHUNK)
    damage(path)
    with pytest.raises(BrantoveilError, match=rf"^{path}.*{message}: run the same command again"):
        open_matrix(path)
    to_zarr(encoded, path, "kf", chunk=CHUNK)
    assert open_matrix(path).compute().tobytes() == expected.tobytes()
    names, runs, labels = read_labels(path)
    assert (names, runs.tolist(), labels) == (list(encoded.names), encoded.runs.tolist(), list(encoded.run_labels))


def test_a_full_disk_is_one_line_and_the_rerun_finishes(tmp_path):
    # A file size limit makes the tile writes fail as a full disk does, on the cluster's workers too.
    import resource

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))

    argv = [sys.executable, "-m", "brantoveil_tools.cli", "kf", *RUNS, "-q", "-o", str(tmp_path / "kf.zarr"),
            "--chunk", str(CHUNK)]
    env = {**os.environ, "PYTHONPATH": str(Path(store_module.__file__).parents[2])}
    full = subprocess.run(argv, env=env, capture_output=True, text=True, preexec_fn=limited)
    assert (full.returncode, full.stderr) == (2, f"brantoveil: error: cannot write {tmp_path / 'kf.zarr'}: File too "
                                                 f"large (the tiles stored so far are kept: run the same command "
                                                 f"again to finish)\n")
    assert subprocess.run(argv, env=env).returncode == 0


@pytest.mark.parametrize("begun", [False, True], ids=["new store", "store begun"])
def test_a_second_writer_of_a_store_is_refused_while_the_first_works(tmp_path, encoded, expected, begun):
    import fcntl

    path = tmp_path / "kf.zarr"
    if begun:
        to_zarr(encoded, path, "kf", chunk=CHUNK)
    else:
        path.mkdir()  # the first writer made the folder to hold its lock
    first = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(first, fcntl.LOCK_EX)
    with pytest.raises(BrantoveilError, match=rf"^another command is writing {path}: wait for it to finish"):
        to_zarr(encoded, path, "kf", chunk=CHUNK)
    os.close(first)
    to_zarr(encoded, path, "kf", chunk=CHUNK)
    assert open_matrix(path).compute().tobytes() == expected.tobytes()
