"""The matrix tile by tile on a real Dask cluster: the same numbers as one call, resumable on disk."""

import os
import signal
import warnings
from pathlib import Path

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

from brantoveil_tools import distances  # noqa: E402
from brantoveil_tools.cli import main  # noqa: E402
from brantoveil_tools.tiles import (  # noqa: E402
    distance_array,
    distances_to,
    encode,
    mean_distances,
    medoid,
    nearest,
    to_zarr,
)
from brantoveil_tools.tiles import store as store_module  # noqa: E402
from brantoveil_tools.tiles.store import open_matrix  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RUNS = [str(EXAMPLES / "primates.run1.t"), str(EXAMPLES / "primates.run2.t")]
CHUNK = 96  # 452 trees: not a multiple of the tile side


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0",
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def encoded():
    return encode(RUNS, lengths=True)


@pytest.fixture(scope="module")
def one_call():
    return {metric: distances(RUNS, metric).matrix for metric in ("rf", "wrf", "kf")}


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_tiles_on_a_cluster_equal_the_one_call_matrix(client, encoded, one_call, metric):
    array = distance_array(encoded, metric, chunk=CHUNK)
    assert array.chunks[0] == (96, 96, 96, 96, 68)
    got = array.compute()
    assert got.dtype == one_call[metric].dtype
    assert got.tobytes() == one_call[metric].tobytes()  # bit for bit, weighted metrics included


def test_a_killed_worker_does_not_change_the_result(client, encoded, one_call):
    array = client.persist(distance_array(encoded, "kf", chunk=24))
    futures = distributed.futures_of(array)
    next(iter(distributed.as_completed(futures)))
    victim = sorted(client.scheduler_info()["workers"])[0]
    pids = client.run(os.getpid, workers=[victim])
    os.kill(pids[victim], signal.SIGKILL)  # the nanny starts a new worker; lost tiles are recomputed
    assert array.compute().tobytes() == one_call["kf"].tobytes()


def test_reductions_equal_numpy_on_the_full_matrix(client, encoded, one_call):
    full = one_call["rf"].astype(np.float64)
    n = len(full)
    np.testing.assert_array_equal(mean_distances(encoded, "rf", CHUNK, client), full.sum(axis=1) / (n - 1))
    assert medoid(encoded, "rf", CHUNK, client) == int(np.argmin(full.sum(axis=1)))
    index, distance = nearest(encoded, 3, "kf", CHUNK, client)
    kf = one_call["kf"].copy()
    np.fill_diagonal(kf, np.inf)
    expected = np.argsort(kf, axis=1, kind="stable")[:, :3]
    np.testing.assert_array_equal(distance, np.take_along_axis(kf, expected, axis=1))
    np.testing.assert_array_equal(index, expected)
    np.testing.assert_array_equal(distances_to(encoded, [7, 300], "wrf", CHUNK, client), one_call["wrf"][:, [7, 300]])


def test_zarr_store_resumes_with_only_the_missing_tiles(tmp_path, encoded, one_call, monkeypatch):
    real = store_module.store_tile
    calls = []

    def failing(*args):
        if len(calls) == 4:
            raise RuntimeError("worker lost")
        calls.append(args[5:])
        real(*args)

    monkeypatch.setattr(store_module, "store_tile", failing)
    with pytest.raises(RuntimeError):
        to_zarr(encoded, tmp_path / "kf.zarr", "kf", chunk=CHUNK)
    with pytest.raises(Exception, match="is incomplete"):
        open_matrix(tmp_path / "kf.zarr")
    done = list(calls)
    calls.clear()
    monkeypatch.setattr(store_module, "store_tile", lambda *args: (calls.append(args[5:]), real(*args)))
    to_zarr(encoded, tmp_path / "kf.zarr", "kf", chunk=CHUNK)
    assert len(done) == 4 and len(calls) == 15 - 4 and not set(done) & set(calls)
    assert open_matrix(tmp_path / "kf.zarr").compute().tobytes() == one_call["kf"].tobytes()
    # Complete: no resume markers left for Zarr to warn about, and a rerun computes nothing.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        group = zarr.open_group(str(tmp_path / "kf.zarr"), mode="r")
        assert sorted(group.keys()) == ["checksums", "matrix", "names", "runs"]
    calls.clear()
    to_zarr(encoded, tmp_path / "kf.zarr", "kf", chunk=CHUNK)
    assert calls == []


def test_command_writes_zarr_and_refuses_a_different_store(tmp_path, capsys, one_call):
    out = tmp_path / "rf.zarr"
    assert main(["rf", *RUNS, "-o", str(out), "--chunk", "200", "--quiet"]) == 0
    group = zarr.open_group(str(out), mode="r")
    assert group["matrix"][:].tobytes() == one_call["rf"].tobytes()
    assert group["names"][0] == "primates.run1.t:gen.15000" and group.attrs["metric"] == "rf"
    assert main(["kf", *RUNS, "-o", str(out), "--chunk", "200", "--quiet"]) == 2
    assert capsys.readouterr().err == (f"brantoveil: error: {out} exists and holds a different matrix "
                                       f"(remove it, or choose another path)\n")
