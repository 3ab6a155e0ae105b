"""Following running analyses: each byte read and indexed once, the same verdict as a fresh report on the
final files, the exit statuses, a MrBayes run followed to its end, and the generations still needed on chains
whose ESS is known."""

from __future__ import annotations

import gzip
import json
import math
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from brantoveil_tools.cli import main
from brantoveil_tools.converge import converge, watch
from brantoveil_tools.converge.watch import Watcher
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.textio import open_source
from brantoveil_tools.treefile import index_file

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
MB = shutil.which("mb")


def _mrbayes(folder: Path) -> list[tuple[Path, bytes]]:
    return [(folder / name, (EXAMPLES / name).read_bytes())
            for name in ("primates.run1.t", "primates.run2.t", "primates.run1.p", "primates.run2.p")]


def _beast(folder: Path) -> list[tuple[Path, bytes]]:
    files = [(folder / f"relaxed.seed{s}.trees", gzip.decompress((EXAMPLES / "beast2" / f"relaxed.seed{s}.trees.gz")
                                                                 .read_bytes())) for s in (1, 2)]
    return files + [(folder / f"relaxed.seed{s}.log", (EXAMPLES / "beast2" / f"relaxed.seed{s}.log").read_bytes())
                    for s in (1, 2)]


def _complete_trees(written: bytes, folder: Path) -> int:
    """The trees a fresh read of a file holding ``written`` finds."""
    part = folder / "part.trees"
    part.write_bytes(written)
    try:
        return len(index_file(open_source(part)))
    except BrantoveilError:
        return 0  # no complete tree yet


@pytest.mark.parametrize("files", [_mrbayes, _beast], ids=["mrbayes", "beast2"])
def test_each_byte_is_indexed_once_and_the_verdict_is_a_fresh_one(
        files: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    contents = files(tmp_path)
    for path, _ in contents:
        path.write_bytes(b"")
    indexed = []
    real_index = watch.index_file

    def counted(source: Any) -> Any:  # what the tree indexer is given, less the format's few header bytes
        indexed.append(len(source.data))
        return real_index(source)
    monkeypatch.setattr(watch, "index_file", counted)
    trees, params = [p for p, _ in contents[:2]], [p for p, _ in contents[2:]]
    watcher = Watcher.open(trees, params)
    pieces = 9  # ends at arbitrary bytes: mid-tree, mid-row, mid-header
    for k in range(1, pieces + 1):
        for path, data in contents:
            with path.open("ab") as out:
                out.write(data[len(data) * (k - 1) // pieces : len(data) * k // pieces])
        watcher.poll()
        # A tree cut off mid-write is not counted until it ends: as many trees as the written part holds whole.
        for follower, (_, data) in zip(watcher.trees, contents, strict=False):
            assert len(follower.index) == _complete_trees(data[: len(data) * k // pieces], tmp_path)
    sizes = sum(len(data) for _, data in contents)
    assert watcher.bytes_read == sizes
    unfinished = sum(len(data) - data.rfind(b"\n") - 1 for _, data in contents)  # BEAST 2 ends with "End;"
    assert sum(f.bytes_parsed for f in watcher.trees) + sum(f.bytes_parsed for f in watcher.parameters) \
        == sizes - unfinished
    heads = sum(len(f.head or b"") for f in watcher.trees) * (pieces - 1)
    tree_bytes = sum(len(data) - data.rfind(b"\n") - 1 for _, data in contents[:2])
    assert sum(len(d) for _, d in contents[:2]) - tree_bytes <= sum(indexed) \
        <= sum(len(d) for _, d in contents[:2]) - tree_bytes + heads
    followed = converge(watcher.sample(), whole_sample=True, suggest_burnin=False,
                        parameters_from=watcher.parameters_from(0.25, 1, 625.0, (), ()))
    fresh = converge(trees, params=params, suggest_burnin=False)
    assert followed.verdict == fresh.verdict
    assert [r.trees for r in followed.runs] == [r.trees for r in fresh.runs]


def _still(folder: Path) -> list[str]:
    """Two runs of one topology: every criterion passes."""
    runs = []
    for r in (1, 2):
        path = folder / f"still.run{r}.t"
        trees = "".join(f"  tree gen.{10 * i} = ((a,b),(c,d),e);\n" for i in range(40))
        path.write_text(f"#NEXUS\nbegin trees;\n{trees}end;\n")
        runs.append(str(path))
    return runs


@pytest.mark.parametrize(("still", "options", "status"), [
    (True, ["--until-pass", "--timeout", "20"], 0),  # passes at once: ends long before the timeout
    (False, ["--until-pass", "--timeout", "0.5"], 1),
    (False, ["--timeout", "0.5"], 0),
    (False, ["--timeout", "0.5", "--fail-on-verdict"], 1),
])
def test_exit_status(still: bool, options: list[str], status: int, tmp_path: Path,
                     capsys: pytest.CaptureFixture[str]) -> None:
    runs = _still(tmp_path) if still else [str(EXAMPLES / "primates.run1.t"), str(EXAMPLES / "primates.run2.t")]
    target = tmp_path / "report.json"
    started = time.monotonic()
    assert main(["converge", *runs, "--watch", "--every", "0.1", "--json", str(target), "-q",
                 "--no-burnin-suggestion", *options]) == status
    assert time.monotonic() - started < 15
    report = json.loads(target.read_text())
    assert report["verdict"]["passed"] == still
    lines = capsys.readouterr().err.strip().splitlines()
    assert lines and ("every criterion passes" in lines[-1]) == still


def test_options_of_watching_need_watch(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["converge", str(EXAMPLES / "primates.run1.t"), "--until-pass"]) == 2
    assert "add --watch" in capsys.readouterr().err


def test_ctrl_c_leaves_the_last_complete_outputs(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                 capsys: pytest.CaptureFixture[str]) -> None:
    def interrupted(seconds: float) -> None:
        raise KeyboardInterrupt
    monkeypatch.setattr(watch.time, "sleep", interrupted)
    target, page = tmp_path / "report.json", tmp_path / "report.html"
    assert main(["converge", str(EXAMPLES / "primates.run1.t"), str(EXAMPLES / "primates.run2.t"), "--watch",
                 "--json", str(target), "--html", str(page), "-q", "--no-burnin-suggestion"]) == 130
    assert json.loads(target.read_text())["runs"][0]["trees"] == 226
    assert page.read_text().rstrip().endswith("</html>")
    assert "after every output was written" in capsys.readouterr().err


TAXA = [f"t{i}" for i in range(10)]


def _random_tree(rng: np.random.Generator) -> str:
    nodes = list(TAXA)
    while len(nodes) > 3:
        i, j = sorted(rng.choice(len(nodes), 2, replace=False))
        second, first = nodes.pop(j), nodes.pop(i)
        nodes.append(f"({first},{second})")
    return "(" + ",".join(nodes) + ");"


def _lazy_chain(path: Path, n: int, keep: float, rng: np.random.Generator, step: int) -> None:
    """Keeps its tree with probability ``keep``, else draws a new one: ESS = n (1 - keep) / (1 + keep)."""
    tree, lines = _random_tree(rng), []
    for i in range(n):
        if i and rng.random() >= keep:
            tree = _random_tree(rng)
        lines.append(f"  tree gen.{i * step} = {tree}\n")
    path.write_text("#NEXUS\nbegin trees;\n" + "".join(lines) + "end;\n")


@pytest.mark.parametrize("keep", [0.2, 0.5, 0.8])
def test_generations_needed_at_half_the_length_a_known_chain_needs(keep: float, tmp_path: Path) -> None:
    target, step = 200.0, 100
    truth = target * (1 + keep) / (1 - keep) * step  # generations each run needs to reach the target ESS
    half = round(truth / step / 2)
    rng = np.random.default_rng(7)
    runs = [tmp_path / f"lazy.run{r}.t" for r in (1, 2)]
    for run in runs:
        _lazy_chain(run, half, keep, rng, step)
    report = converge(runs, burnin=0, min_ess=target, suggest_burnin=False, no_params=True)
    judged = {c.name: c for c in report.verdict.criteria}
    for name in ("approximate ESS", "pseudo-ESS (median)", "Frechet-correlation ESS"):
        needed = judged[name].generations_needed
        assert needed is not None, name
        assert math.isclose(half * step + needed, truth, rel_tol=0.25), (name, half * step + needed, truth)
    assert "assuming the chain is stationary after the burn-in" in report.summary()


@pytest.mark.skipif(MB is None, reason="needs MrBayes (mb)")
def test_follows_a_running_mrbayes_analysis_to_its_end(tmp_path: Path) -> None:
    shutil.copy(EXAMPLES / "primates.nex", tmp_path)
    (tmp_path / "batch.nex").write_text(
        "#NEXUS\nbegin mrbayes;\n  set autoclose=yes nowarn=yes seed=5 swapseed=5;\n  execute primates.nex;\n"
        "  exclude 201-898;\n  lset nst=6 rates=gamma;\n  mcmc ngen=60000 samplefreq=50 printfreq=10000 "
        "diagnfreq=10000 nruns=2 nchains=2 savebrlens=yes filename=primates;\nend;\n")
    assert MB is not None
    sampler = subprocess.Popen([MB, "batch.nex"], cwd=tmp_path, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        runs = [tmp_path / "primates.run1.t", tmp_path / "primates.run2.t"]
        for _ in range(100):  # MrBayes creates its files once the data are read
            if all(run.exists() for run in runs):
                break
            time.sleep(0.1)
        watched = subprocess.run(
            [sys.executable, "-m", "brantoveil_tools.command", "converge", *map(str, runs), "--watch", "--every", "1",
             "--until-pass", "--timeout", "25", "--no-burnin-suggestion", "-q", "--json", str(tmp_path / "w.json")],
            capture_output=True, text=True, timeout=60)
        assert sampler.wait(timeout=30) == 0
    finally:
        sampler.kill()
    assert watched.returncode == 1, watched.stderr  # a run this short fails the default thresholds
    counts = [line.split("primates.run1.t ")[1].split(",")[0] for line in watched.stderr.splitlines()
              if "primates.run1.t " in line]
    assert len(set(counts)) >= 2, watched.stderr  # it saw the run grow
    followed = json.loads((tmp_path / "w.json").read_text())
    fresh = converge(runs, suggest_burnin=False)
    assert [run["trees"] for run in followed["runs"]] == [run.trees for run in fresh.runs] == [901, 901]
    assert followed["verdict"] == json.loads(json.dumps(fresh.to_dict()["verdict"]))


def test_a_judgement_reads_trees_and_rows_up_to_where_both_have_come(tmp_path: Path) -> None:
    contents = _mrbayes(tmp_path)
    for path, data in contents:  # the tree files whole, the parameter logs cut halfway through a row
        path.write_bytes(data if path.suffix == ".t" else data[: len(data) // 2])
    watcher = Watcher.open([p for p, _ in contents[:2]], [p for p, _ in contents[2:]])
    watcher.poll()
    report = converge(watcher.sample(), whole_sample=True, suggest_burnin=False,
                      parameters_from=watcher.parameters_from(0.25, 1, 625.0, (), ()))
    assert report.parameters is not None
    for run, trace in zip(report.runs, report.parameters.traces, strict=True):
        assert run.generations[-1] == trace.generations[-1] < 60000


def test_a_file_written_again_from_the_start_is_an_error(tmp_path: Path) -> None:
    run = tmp_path / "again.t"
    run.write_bytes((EXAMPLES / "primates.run1.t").read_bytes())
    watcher = Watcher.open([run], [])
    watcher.poll()
    run.write_bytes(b"#NEXUS\n")
    with pytest.raises(BrantoveilError, match="written again from the start"):
        watcher.poll()
