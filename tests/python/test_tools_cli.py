"""The `brantoveil` command: outputs equal the engine's matrix, errors are one line and exit 2."""

import io
import json
import os
import re
import signal
import subprocess
import sys
import time
from contextlib import nullcontext
from pathlib import Path

import brantoveil
import numpy as np
import pytest
from brantoveil_tools import SettingError, output
from brantoveil_tools.cli import main
from brantoveil_tools.converge import converge
from brantoveil_tools.summarize.api import summarize
from treefiles import TAXA, engine_matrix, nexus, random_trees, write

TREES = random_trees(10, seed=3)
NUMBERS = {taxon: k + 1 for k, taxon in enumerate(TAXA)}
EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def run_file(tmp_path):
    return write(tmp_path / "run1.t", nexus(TREES, numbers=NUMBERS))


def read_text_matrix(path, sep):
    lines = Path(path).read_text().splitlines()
    header = lines[0].split(sep)
    rows = [line.split(sep) for line in lines[1:]]
    return header[1:], [row[0] for row in rows], np.array([[float(v) for v in row[1:]] for row in rows])


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
@pytest.mark.parametrize("suffix", [".npy", ".npz", ".csv", ".tsv", ".phy", ".dist"])
def test_output_formats_hold_the_engine_matrix(tmp_path, run_file, metric, suffix):
    out = tmp_path / f"out{suffix}"
    assert main([metric, str(run_file), "--burnin", "0", "-o", str(out), "--quiet"]) == 0
    expected = engine_matrix(TREES, metric)
    names = [f"run1.t:gen.{100 * k}" for k in range(10)]
    if suffix == ".npy":
        got = np.load(out)
        assert got.dtype == expected.dtype
    elif suffix == ".npz":
        with np.load(out) as data:
            got = data["matrix"]
            assert data["names"].tolist() == names and data["runs"].tolist() == [0] * 10
            assert str(data["metric"]) == metric and json.loads(str(data["selection"]))["burnin"] == "0"
    elif suffix in (".csv", ".tsv"):
        header, rows, got = read_text_matrix(out, "," if suffix == ".csv" else "\t")
        assert header == names and rows == names
    else:
        lines = out.read_text().splitlines()
        assert lines[0] == "10"
        assert [line.split()[0] for line in lines[1:]] == names
        got = np.array([[float(v) for v in line.split()[1:]] for line in lines[1:]])
    np.testing.assert_array_equal(got, expected)  # text keeps every digit of a float


def test_standard_output_and_standard_input(monkeypatch, capsys, run_file):
    stdin = io.TextIOWrapper(io.BytesIO(run_file.read_bytes()))
    monkeypatch.setattr(sys, "stdin", stdin)
    assert main(["kf", "-", "--burnin", "2", "--quiet"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split("\t")[1] == "<stdin>:gen.200"
    got = np.array([[float(v) for v in line.split("\t")[1:]] for line in lines[1:]])
    np.testing.assert_array_equal(got, engine_matrix(TREES[2:], "kf"))


def test_exports_directory(tmp_path, run_file):
    folder = tmp_path / "splits"
    assert main(["wrf", str(run_file), "--burnin", "0", "-o", str(tmp_path / "m.npy"), "--exports", str(folder),
                 "--quiet"]) == 0
    lengths = np.load(folder / "branch_lengths.npy")
    clades = np.load(folder / "clades.npy")
    rows = (folder / "splits.tsv").read_text().splitlines()
    assert lengths.shape == (10, len(rows) - 1) and clades.shape == (len(rows) - 1, len(TAXA))
    taxa = (folder / "taxa.txt").read_text().split()
    # Every split's branch lengths are read back from the trees' own text: total per tree agrees.
    totals = [sum(float(x.split(",")[0].split(")")[0]) for x in tree.split(":")[1:]) for tree in TREES]
    np.testing.assert_allclose(lengths.sum(axis=1), totals)
    assert taxa == sorted(TAXA)


def one_line_error(capsys, argv, status=2):
    assert main(argv) == status
    captured = capsys.readouterr()
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1, captured.err
    assert "Traceback" not in captured.err
    return lines[0]


@pytest.mark.parametrize(("argv", "expected"), [
    (["rf", "{missing}"], "brantoveil: error: no such file: {missing}"),
    (["rf", "{tmp}"], "brantoveil: error: {tmp} is a directory, not a tree file"),
    (["rf", "{bad}", "--burnin", "0"], 'brantoveil: error: bad.t, tree gen.300: not a Newick tree: '
                                       'invalid branch length "x": invalid float literal'),
    (["rf", "{latin1}", "--burnin", "0"], "brantoveil: error: latin1.nwk, tree 2: not valid UTF-8 "
                                          "(invalid continuation byte near b'(H\\xe9mo,Pan);')"),
    (["rf", "{leaves}", "--burnin", "0"], "brantoveil: error: leaves.nwk, tree 3: its taxa differ from the "
                                          "first tree's (missing: Homo; extra: Lemur)"),
    (["rf", "{good}", "--frobnicate"], "brantoveil: error: unrecognized arguments: --frobnicate "
                                       "(see 'brantoveil --help')"),
    (["rf", "{good}", "--burnin", "1.5"], "brantoveil: error: invalid burn-in '1.5': a fraction must be at least 0 "
                                          "and below 1"),
    (["rf", "{good}", "--thin", "x"], "brantoveil: error: argument --thin: expected a whole number of at least 1, "
                                      "not 'x' (see 'brantoveil rf --help')"),
    # Options that make no sense are refused before any file is read, never ignored.
    (["rf", "{missing}", "--thin", "0"], "brantoveil: error: argument --thin: expected a whole number of at least 1, "
                                         "not '0' (see 'brantoveil rf --help')"),
    (["rf", "{missing}", "-o", "{tmp}/m.zarr", "--chunk", "0"],
     "brantoveil: error: argument --chunk: expected a whole number of at least 1, not '0' "
     "(see 'brantoveil rf --help')"),
    (["kf", "{missing}", "--threads", "-2"],
     "brantoveil: error: argument --threads: expected a whole number of at least 1, not '-2' "
     "(see 'brantoveil kf --help')"),
    (["rf", "{missing}", "--chunk", "512"], "brantoveil: error: --chunk goes with a .zarr output (-o OUT.zarr)"),
    (["rf", "{missing}", "-o", "{tmp}/m.npy", "--scheduler", "tcp://127.0.0.1:1"],
     "brantoveil: error: --scheduler goes with a .zarr output (-o OUT.zarr)"),
    (["wrf", "{missing}", "-o", "{tmp}/m.zarr", "--exports", "{tmp}"],
     "brantoveil: error: --exports goes with a matrix file, not with a .zarr output"),
    (["rf", "{good}", "-o", "{tmp}/m.xlsx"], "brantoveil: error: cannot tell the format of {tmp}/m.xlsx: use one of "
                                             ".npy, .npz, .csv, .tsv, .phy, .dist, .zarr"),
    (["rf", "{good}", "-o", "{tmp}/nowhere/m.npy"], "brantoveil: error: cannot write {tmp}/nowhere/m.npy: the folder "
                                                    "{tmp}/nowhere does not exist"),
    (["nj", "{good}"], "brantoveil: error: argument COMMAND: invalid choice: 'nj' "
                       "(choose from 'rf', 'wrf', 'kf', 'converge', 'summarize') (see 'brantoveil --help')"),
    (["rf", "{one}"], "brantoveil: error: need at least 2 trees to compare; the selection keeps 1"),
])
def test_errors_are_one_line_with_status_2(tmp_path, capsys, argv, expected):
    trees = random_trees(4, seed=5)
    files = {
        "missing": str(tmp_path / "missing.t"),
        "tmp": str(tmp_path),
        "good": str(write(tmp_path / "good.t", nexus(trees))),
        "bad": str(write(tmp_path / "bad.t",
                         nexus([*trees[:3], "(Homo:x,Pan,Gorilla,Pongo,Hylobates,Macaca,Papio,Saimiri);"]))),
        "latin1": str(write(tmp_path / "latin1.nwk", (trees[0] + "\n(H\xe9mo,Pan);\n").encode("latin-1"))),
        "leaves": str(write(tmp_path / "leaves.nwk", "\n".join([*trees[:2], trees[2].replace("Homo", "Lemur")]))),
        "one": str(write(tmp_path / "one.nwk", trees[0])),
    }
    fill = {key: value for key, value in files.items()}
    line = one_line_error(capsys, [arg.format(**fill) for arg in argv])
    assert line == expected.format(**fill)


def test_failure_leaves_no_output_and_keeps_an_old_one(tmp_path, capsys):
    trees = random_trees(4, seed=5)
    bad = write(tmp_path / "bad.nwk", "\n".join([*trees[:3], "(Homo,Pan,(Gorilla;"]) + "\n" + trees[3])
    out = tmp_path / "m.csv"
    out.write_text("old result\n")
    one_line_error(capsys, ["rf", str(bad), "--burnin", "0", "-o", str(out)])
    assert out.read_text() == "old result\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.nwk", "m.csv"]  # no temporary file left


@pytest.mark.parametrize(("metric", "says", "example"), [
    ("rf", "the number of splits found in exactly one of the two trees",
     "brantoveil rf run1.t run2.t --burnin 0.25 -o rf.npz"),
    ("wrf", "the sum over all splits of the absolute difference",
     "brantoveil wrf run1.t run2.t --burnin 0.25 -o wrf.npz"),
    ("kf", "the square root of the sum over all splits of the squared",
     "brantoveil kf run1.t run2.t --burnin 0.25 -o kf.npz"),
])
def test_help_says_what_the_metric_is_with_examples(capsys, metric, says, example):
    assert main([metric, "--help"]) == 0
    text = capsys.readouterr().out
    flat = " ".join(text.split())
    assert says in flat and example in text
    assert "gen:250000" in text and ".phy, .dist" in text and ".zarr" in text and "--threads" in text
    assert "%%" not in text and "25%" in text
    others = [m for m in ("rf", "wrf", "kf") if m != metric]
    assert all(f"brantoveil {other} run1.t" not in text for other in others)


@pytest.mark.parametrize("flag", ["-V", "--version"])
def test_version(capsys, flag):
    assert main([flag]) == 0
    assert re.fullmatch(r"brantoveil \S+\n", capsys.readouterr().out)


def test_a_large_matrix_is_not_printed_on_a_terminal(tmp_path, capsys, monkeypatch):
    trees = random_trees(40, seed=11)
    path = write(tmp_path / "many.nwk", "\n".join(trees))
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
    assert main(["rf", str(path), "--burnin", "0", "--quiet"]) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err == ("brantoveil: error: a 40 x 40 matrix is too large to read on a terminal: write it to a "
                            "file with -o (for example -o matrix.npz or -o matrix.tsv)\n")
    # A small one is still shown, and a pipe always gets the matrix.
    small = write(tmp_path / "few.nwk", "\n".join(trees[:5]))
    assert main(["rf", str(small), "--burnin", "0", "--quiet"]) == 0
    monkeypatch.setattr(sys.stdout, "isatty", lambda: False)
    assert main(["rf", str(path), "--burnin", "0", "--quiet"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 6 + 41


def test_summary_and_warning_on_stderr(tmp_path, capsys):
    path = write(tmp_path / "run.t", nexus(TREES, numbers=NUMBERS).rsplit("end;", 1)[0] + "   tree gen.1000 = (1,")
    assert main(["rf", str(path), "-o", str(tmp_path / "m.npy")]) == 0
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith("brantoveil: warning: run.t: the last tree is cut off and skipped")
    assert err[1] == "run.t: kept 8 of 10 trees (burn-in 0.25: 2 dropped)"
    assert err[-1] == f"Robinson-Foulds matrix of 8 x 8 trees written to {tmp_path / 'm.npy'}"


def mrbayes_run(path):
    """A plain reading of a MrBayes .t file (one command per line): translate table and trees."""
    text = Path(path).read_text()
    table = dict(re.findall(r"^\s+(\d+) (\S+?)[,;]$", text, re.M))
    trees = re.findall(r"^\s+tree (\S+) = \[&U\] (.*;)$", text, re.M)
    return table, trees


@pytest.mark.parametrize("metric", ["rf", "kf"])
def test_installed_command_on_the_example(tmp_path, metric):
    out = tmp_path / "m.npz"
    runs = [str(EXAMPLES / "primates.run1.t"), str(EXAMPLES / "primates.run2.t")]
    done = subprocess.run(["brantoveil", metric, *runs, "-o", str(out)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "primates.run1.t: kept 226 of 301 trees (burn-in 0.25: 75 dropped)" in done.stderr
    # The same trees straight into the extension: burn-in floor(0.25 * 301) = 75 of each run.
    (table1, trees1), (table2, trees2) = (mrbayes_run(path) for path in runs)
    kept = trees1[75:] + trees2[75:]
    function = (brantoveil.pairwise_rf_from_newick_iter if metric == "rf"
                else brantoveil.pairwise_kf_with_snapshots_from_newick_iter)
    result = function([name for name, _ in kept], iter(tree for _, tree in kept), [table1, table2],
                      [0] * 226 + [1] * 226)
    expected = np.frombuffer(result[1], dtype="<u4" if metric == "rf" else "<f8").reshape(452, 452)
    with np.load(out) as data:
        np.testing.assert_array_equal(data["matrix"], expected)
        assert data["runs"].tolist() == [0] * 226 + [1] * 226
        assert data["names"][0] == "primates.run1.t:gen.15000"


def test_interrupt_exits_130_without_output(tmp_path):
    # Standard input that never ends keeps the command reading until the interrupt arrives.
    out = tmp_path / "m.npy"
    process = subprocess.Popen([sys.executable, "-m", "brantoveil_tools.cli", "rf", "-", "-o", str(out)],
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdin.write("\n".join(random_trees(50)) + "\n")
    process.stdin.flush()
    time.sleep(1.0)
    process.send_signal(signal.SIGINT)
    try:
        _, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 130, err
    assert err.strip().splitlines()[-1] == "brantoveil: interrupted"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("array", [
    np.arange(12, dtype="<u4").reshape(3, 4), np.asarray("x"), np.asarray(["a", "bb"]), np.zeros((0, 0)),
    np.asarray(True), np.arange(5.0), np.arange(100.0).reshape(10, 10).T, np.arange(7, dtype=">i4"),
], ids=["matrix", "0-d str", "strings", "empty", "0-d bool", "vector", "fortran", "big-endian"])
def test_sliced_npy_writer_reads_back_like_numpy(monkeypatch, array):
    monkeypatch.setattr(output, "_WRITE_BYTES", 16)  # many slices even for small arrays
    ours, numpys = io.BytesIO(), io.BytesIO()
    output.save_npy(ours, array)
    np.save(numpys, np.asarray(array, order="C"))
    assert ours.getvalue() == numpys.getvalue()


class _WriterFailed(Exception):
    pass


@pytest.mark.parametrize("failure", [None, _WriterFailed, OSError])
def test_atomic_write_replaces_whole_or_leaves_the_old_file(tmp_path, failure):
    target = tmp_path / "m.npy"
    target.write_bytes(b"old")
    expected = output.BrantoveilError if failure is OSError else failure
    with pytest.raises(expected) if expected else nullcontext(), output.atomic_path(target) as temporary, \
            open(temporary, "wb") as handle:
        handle.write(b"new, half")
        if failure:
            raise failure("disk full")
        handle.write(b" and the rest")
    assert target.read_bytes() == (b"old" if failure else b"new, half and the rest")
    assert [p.name for p in tmp_path.iterdir()] == ["m.npy"]  # no temporary file or folder left
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask


@pytest.mark.parametrize("threads", [1, 3])
def test_threads_sets_the_engine_pool(tmp_path, threads):
    # A fresh process: the pool's size is fixed by the first computation of a process.
    path = write(tmp_path / "run.nwk", "\n".join(TREES))
    code = ("import sys; from brantoveil_tools import cli, engine; "
            f"status = cli.main(['rf', {str(path)!r}, '--burnin', '0', '-q', '-o', {str(tmp_path / 'm.npy')!r}, "
            f"'--threads', '{threads}']); print(status, engine.pool_threads())")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["0", str(threads)], done.stderr


@pytest.mark.parametrize(("metric", "lacking", "status", "message"), [
    ("wrf", "all", 2, "brantoveil: error: the weighted Robinson-Foulds distance needs branch lengths, and no tree has "
                      "any (use rf for topologies alone)"),
    ("kf", "all", 2, "brantoveil: error: the Kuhner-Felsenstein branch score distance needs branch lengths, and no "
                     "tree has any (use rf for topologies alone)"),
    ("kf", "one", 0, "brantoveil: warning: bare.nwk:3: no branch lengths (1 of 6 trees lack them); the "
                     "Kuhner-Felsenstein branch score distance counts their branches as 0"),
    ("rf", "all", 0, None),  # topology alone needs no lengths
])
def test_weighted_metrics_need_branch_lengths(tmp_path, capsys, metric, lacking, status, message):
    trees = ["((A:1,B:2):0.5,C:1,(D:1,E:1):0.25);", "((A:1,C:2):0.5,B:1,(D:1,E:1):0.25);"] * 3
    if lacking == "all":
        trees = [re.sub(r":[0-9.]+", "", tree) for tree in trees]
    else:
        trees[2] = re.sub(r":[0-9.]+", "", trees[2])
    path = write(tmp_path / "bare.nwk", "\n".join(trees))
    assert main([metric, str(path), "--burnin", "0", "-o", str(tmp_path / "m.npy")]) == status
    err = capsys.readouterr().err.splitlines()
    assert (message in err) if message else not any("branch lengths" in line for line in err)
    assert (tmp_path / "m.npy").exists() == (status == 0)


def test_results_have_short_reprs(tmp_path):
    from brantoveil_tools import distances

    trees = random_trees(3000, seed=2)
    result = distances(trees, "rf", exports=True)
    text = repr(result)
    assert len(text) < 400 and "3000 x 3000 uint32" in text and "and 2997 more" in text
    assert len(repr(result.exports)) < 400 and "splits of 8 taxa" in repr(result.exports)


@pytest.mark.parametrize(("command", "library"), [("converge", converge), ("summarize", summarize)])
def test_min_freq_is_one_setting_with_one_check(tmp_path, capsys, command, library):
    run = str(write(tmp_path / "r.nwk", "\n".join(random_trees(4)) + "\n"))
    with pytest.raises(SettingError) as raised:
        library([run], min_freq=2.0)
    assert (raised.value.setting, str(raised.value)) == ("min_freq", "min_freq must lie in [0, 1], not 2.0")
    assert main([command, run, "--min-freq", "2"]) == 2
    assert "argument --min-freq: expected a number from 0 to 1, not '2'" in capsys.readouterr().err
