"""Parameter traces: the readers and their errors, burn-in, and the summaries against MrBayes's sump and
BEAST's loganalyser run on the same files."""

from __future__ import annotations

import gzip
import math
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools.converge import params
from brantoveil_tools.converge.ess import trace_ess_viewer
from brantoveil_tools.errors import BrantoveilError

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
MB = shutil.which("mb")
LOGANALYSER = shutil.which("loganalyser")


def write(path: Path, text: str, zipped: bool = False) -> Path:
    if zipped:
        path.write_bytes(gzip.compress(text.encode()))
    else:
        path.write_text(text)
    return path


MRBAYES = "[ID: 123]\nGen\tLnL\tTL\n0\t-10.5\t1.0\n100\t-9.5\t2.0\n200\t-9.0\t3.0\n"
BEAST1 = "# BEAST v1.10.4\n# Generated Tue\nstate\tposterior\tTL\n0\t-10.5\t1.0\n100\t-9.5\t2.0\n200\t-9.0\t3.0\n"
BEAST2 = "#\n#model:\n#\nSample\tposterior\tTL\t\n0\t-10.5\t1.0\t\n100\t-9.5\t2.0\t\n200\t-9.0\t3.0\t\n"
REVBAYES = "Iteration\tPosterior\tTL\n0\t-10.5\t1.0\n100\t-9.5\t2.0\n200\t-9.0\t3.0\n"


@pytest.mark.parametrize(("text", "fmt", "first"), [
    (MRBAYES, "mrbayes", "LnL"),  # bracketed ID line before the header
    (BEAST1, "beast", "posterior"),  # comment lines, header starts with state
    (BEAST2, "beast", "posterior"),  # trailing tab on every line
    (REVBAYES, "revbayes", "Posterior"),
    (MRBAYES.replace("\n", "\r\n"), "mrbayes", "LnL"),  # Windows line ends
])
@pytest.mark.parametrize("zipped", [False, True], ids=["plain", "gzip"])
def test_reads_every_dialect(tmp_path: Path, text: str, fmt: str, first: str, zipped: bool) -> None:
    trace = params.read_trace(write(tmp_path / "run.p", text, zipped))
    assert (trace.format, trace.columns) == (fmt, (first, "TL"))
    assert trace.generations.tolist() == [0, 100, 200]
    assert trace.values.tolist() == [[-10.5, 1.0], [-9.5, 2.0], [-9.0, 3.0]]


@pytest.mark.parametrize(("text", "message"), [
    ("", "{f}: empty parameter file"),
    ("[ID: 1]\nGen\tLnL\n", "{f}: no samples after the header"),
    ("# only\n# comments\n", "{f}: no header line (comments only)"),
    ("tree\tLnL\n0\t1\n", "{f} line 1: not a parameter file header (its first column should be Gen, state, "
                          "Sample or Iteration, not 'tree')"),
    ("Gen\tLnL\tLnL\n0\t1\t2\n", "{f} line 1: column 'LnL' appears twice"),
    ("Gen\tLnL\tTL\n0\t-1\t1\n100\t-1\tabc\n200\t-1\t1\n", "{f} line 3 column TL: 'abc' is not a number"),
    ("Gen\tLnL\tTL\n0\t-1\t1\n100\t-1\n200\t-1\t1\n", "{f} line 3: 2 cells where the header has 3"),
    ("Gen\tLnL\tTL\n0\t-1\t1\t7\n", "{f} line 2: 4 cells where the header has 3"),
    ("Gen\tLnL\tTL\n0\t-1\t1\n100\t-1\n", "{f} line 3: 2 cells where the header has 3"),  # complete last line
    ("Gen\tLnL\n0.5\t1\n", "{f}: the Gen column holds numbers that are not whole"),
    # Rows out of order: reversed, shuffled (after a blank line), repeated.
    ("Gen\tLnL\n200\t1\n100\t1\n0\t1\n", "{f} line 3: Gen 100 does not follow 200: the rows must have "
                                         "strictly increasing Gen"),
    ("state\tx\n0\t1\n\n200\t1\n100\t1\n", "{f} line 5: state 100 does not follow 200: the rows must have "
                                             "strictly increasing state"),
    ("Gen\tLnL\n0\t1\n0\t1\n", "{f} line 3: Gen 0 does not follow 0: the rows must have strictly increasing Gen"),
])
def test_reading_errors(tmp_path: Path, text: str, message: str) -> None:
    path = write(tmp_path / "run.p", text)
    with pytest.raises(BrantoveilError) as caught:
        params.read_trace(path)
    assert str(caught.value) == message.format(f=path)


def test_missing_file_is_one_line(tmp_path: Path) -> None:
    with pytest.raises(BrantoveilError, match=r"^no such file: .*nothing\.p$"):
        params.read_trace(tmp_path / "nothing.p")


@pytest.mark.parametrize("tail", ["100\t-1", "100\t-1\t1.2e", "100\t-"], ids=["cells", "number", "sign"])
def test_cut_off_last_row_is_a_warning(tmp_path: Path, tail: str) -> None:
    path = write(tmp_path / "run.p", "Gen\tLnL\tTL\n0\t-1\t1\n" + tail)
    with pytest.warns(params.TruncatedTraceWarning, match=r"the last row \(line 3\) is cut off"):
        trace = params.read_trace(path)
    assert trace.rows_in_file == 1


def test_cut_off_gzip_stream_drops_the_last_row(tmp_path: Path) -> None:
    rows = "".join(f"{g}\t{-g / 7:.9f}\t{g / 3:.9f}\n" for g in range(2000))
    packed = gzip.compress(("Gen\tLnL\tTL\n" + rows).encode())
    path = tmp_path / "run.p.gz"
    path.write_bytes(packed[: len(packed) // 2])
    with pytest.warns(params.TruncatedTraceWarning):
        trace = params.read_trace(path)
    assert 0 < trace.rows_in_file < 2000
    assert trace.generations.tolist() == list(range(trace.rows_in_file))


def test_columns_differ_between_runs(tmp_path: Path) -> None:
    a = write(tmp_path / "a.p", "Gen\tLnL\tTL\tkappa\n0\t1\t2\t3\n")
    b = write(tmp_path / "b.p", "Gen\tLnL\talpha\tTL\n0\t1\t2\t3\n")
    with pytest.raises(BrantoveilError) as caught:
        params.read_parameters([a, b], burnin=0)
    assert str(caught.value) == "parameter columns differ between runs: b.p lacks kappa; b.p has alpha that a.p lacks"
    # Runs whose file names are alike are told apart by their paths.
    (tmp_path / "r2").mkdir()
    c = write(tmp_path / "r2" / "a.p", "Gen\tLnL\talpha\tTL\n0\t1\t2\t3\n")
    with pytest.raises(BrantoveilError, match=f"{c} has alpha that {a} lacks"):
        params.read_parameters([a, c], burnin=0)


def test_columns_in_another_order_are_matched_by_name(tmp_path: Path) -> None:
    a = write(tmp_path / "a.p", "Gen\tLnL\tTL\n0\t1\t2\n1\t2\t4\n")
    b = write(tmp_path / "b.p", "Gen\tTL\tLnL\n0\t2\t1\n1\t4\t2\n")
    report = params.read_parameters([a, b], burnin=0)
    assert [p.name for p in report.parameters] == ["LnL", "TL"]
    assert [p.psrf for p in report.parameters] == [report.parameters[0].psrf] * 2


@pytest.mark.parametrize(("burnin", "thin", "kept"), [
    (0.25, 1, [300, 400, 500, 600, 700, 800, 900, 1000, 1100]),  # floor(0.25 * 12) = 3 rows
    (5, 2, [500, 700, 900, 1100]),
    ("gen:650", 1, [700, 800, 900, 1000, 1100]),
    ("gen:650", 3, [700, 1000]),
])
def test_burnin_and_thinning_follow_the_tree_rule(tmp_path: Path, burnin: float | int | str, thin: int,
                                                  kept: list[int]) -> None:
    rows = "".join(f"{g}\t{g / 100}\n" for g in range(0, 1200, 100))
    trace = params.select(params.read_trace(write(tmp_path / "r.p", "Gen\tx\n" + rows)), burnin, thin)
    assert trace.generations.tolist() == kept
    assert trace.values[:, 0].tolist() == [g / 100 for g in kept]


@pytest.mark.parametrize(("burnin", "message"), [(12, "burn-in 12 drops all 12 rows of this run"),
                                                ("gen:5000", "burn-in gen:5000 drops all 12 rows of this run")])
def test_burnin_that_keeps_no_row(tmp_path: Path, burnin: int | str, message: str) -> None:
    path = write(tmp_path / "r.p", "Gen\tx\n" + "".join(f"{g}\t1\n" for g in range(0, 1200, 100)))
    with pytest.raises(BrantoveilError) as caught:
        params.select(params.read_trace(path), burnin)
    assert str(caught.value) == f"{path}: {message}"


@pytest.mark.parametrize(("tree", "beside"), [
    ("x.run1.t", "x.run1.p"),  # MrBayes
    ("x.run1.t.gz", "x.run1.p.gz"),
    ("relaxed.trees", "relaxed.log"),  # BEAST, RevBayes
    ("relaxed.trees.gz", "relaxed.log"),
    ("posterior.tre", "posterior.var"),
    ("test.(time).11.trees", "test.11.log"),  # BEAST 2's default names
    ("test.(subst).11.trees.gz", "test.11.log"),
    ("primates-tree.trees", "primates.log"),  # BEAUti's
])
def test_parameter_file_beside_the_trees(tmp_path: Path, tree: str, beside: str) -> None:
    write(tmp_path / beside, "Gen\tx\n0\t1\n")
    write(tmp_path / "unrelated.log", "Gen\tx\n0\t1\n")
    assert params.beside(tmp_path / tree) == tmp_path / beside


def test_missing_parameter_file_beside_the_trees(tmp_path: Path) -> None:
    with pytest.raises(BrantoveilError) as caught:
        params.find_parameter_files([tmp_path / "x.run1.t"])
    assert str(caught.value) == (f"no parameter file beside {tmp_path / 'x.run1.t'} (looked for "
                                 f"{tmp_path / 'x.run1.p'}): give --params FILE... or --no-params")
    looked = r"looked for .*/t\.\(time\)\.1\.log, .*/t\.\(time\)\.1\.var, .*/t\.1\.log\)"
    with pytest.raises(BrantoveilError, match=looked):
        params.find_parameter_files([tmp_path / "t.(time).1.trees"])


def test_ess_of_independent_and_correlated_draws() -> None:
    rng = np.random.default_rng(3)
    independent = rng.normal(size=20000)
    assert 17000 < params.trace_ess(independent) < 23000
    correlated = np.zeros(20000)
    for i in range(1, len(correlated)):  # AR(1) at 0.9: ESS = n (1 - 0.9) / (1 + 0.9)
        correlated[i] = 0.9 * correlated[i - 1] + rng.normal()
    assert 700 < params.trace_ess(correlated) < 1400
    assert math.isnan(params.trace_ess(np.ones(50)))


def test_ks_threshold_is_the_two_sample_critical_value() -> None:
    from scipy.special import kolmogi

    assert params.ks_threshold(625, 0.01) == pytest.approx(kolmogi(0.01) * math.sqrt(2 / 625), rel=1e-7)
    assert params.ks_threshold(625, 0.01) == pytest.approx(0.0921, abs=5e-5)


@pytest.mark.parametrize(("n", "m", "ties"), [(300, 300, False), (250, 400, False), (300, 200, True)])
def test_ks_distance_equals_scipy(n: int, m: int, ties: bool) -> None:
    from scipy.stats import ks_2samp

    rng = np.random.default_rng(n + m)
    first, second = rng.normal(size=n), rng.normal(0.2, 1.1, size=m)
    if ties:  # rate categories and other whole-number columns
        first, second = np.round(first * 2), np.round(second * 2)
    assert params.ks_distance(first, second) == pytest.approx(ks_2samp(first, second).statistic, abs=1e-12)


def test_constant_columns_are_reported_and_left_out_of_the_tests(tmp_path: Path) -> None:
    rng = np.random.default_rng(5)
    files = []
    for run in (1, 2):
        rows = "".join(f"{g}\t{x:.6f}\t1\n" for g, x in enumerate(rng.normal(size=400)))
        files.append(write(tmp_path / f"r{run}.p", "Gen\tx\tfixed\n" + rows))
    report = params.read_parameters(files, burnin=0, min_ess=200)
    fixed = report.parameters[1]
    assert fixed.constant and math.isnan(fixed.psrf) and fixed.ks == ()
    criteria = report.criteria()
    assert [c.name for c in criteria] == ["parameter ESS (lowest)", "parameter PSRF (largest)",
                                          "parameter KS D (largest)"]
    assert all(c.passed and c.group == "parameters" and "fixed" not in c.note for c in criteria)
    assert report.to_dict()[1]["min_ess"] is None


def test_runs_that_disagree_fail_psrf_and_ks_by_name(tmp_path: Path) -> None:
    rng = np.random.default_rng(6)
    files = []
    for run, shift in ((1, 0.0), (2, 3.0)):
        rows = "".join(f"{g}\t{x + shift:.6f}\t{y:.6f}\n" for g, (x, y) in enumerate(rng.normal(size=(1000, 2))))
        files.append(write(tmp_path / f"r{run}.p", "Gen\tshifted\tsame\n" + rows))
    report = params.read_parameters(files, burnin=0, labels=["one", "two"])
    by_name = {c.name: c for c in report.criteria()}
    assert by_name["parameter ESS (lowest)"].passed
    assert not by_name["parameter PSRF (largest)"].passed
    ks = by_name["parameter KS D (largest)"]
    assert (ks.passed, ks.runs, ks.note) == (False, ("one / two",), "shifted; fails for shifted")
    assert [t.passed for t in report.parameters[1].ks] == [True]


def test_a_run_stuck_on_one_value_fails_the_ess_criterion(tmp_path: Path) -> None:
    rng = np.random.default_rng(8)
    moving = "".join(f"{g}\t{x:.6f}\n" for g, x in enumerate(rng.normal(size=300)))
    files = [write(tmp_path / "a.p", "Gen\tx\n" + moving),
             write(tmp_path / "b.p", "Gen\tx\n" + "".join(f"{g}\t0.5\n" for g in range(300)))]
    report = params.read_parameters(files, burnin=0, labels=["a", "b"], min_ess=100)
    x = report.parameters[0]
    assert not x.constant and math.isnan(x.runs[1].ess) and math.isnan(x.min_ess)
    ess = report.criteria()[0]
    assert (ess.passed, ess.runs, ess.note) == (False, ("b",), "x never changes in b; 1 of 1 parameters below")


# ---- against MrBayes's sump ---------------------------------------------------------------------------

SUMP_ROW = re.compile(r"^\s{6}(\S+)\s+((?:-?\d+\.\d+|NA)(?:\s+(?:-?\d+\.\d+|NA)){7})\s*$")


def sump(folder: Path, name: str, runs: int, burnin: float) -> dict[str, list[str]]:
    batch = folder / "sump.nex"
    batch.write_text("#NEXUS\nbegin mrbayes;\n  set autoclose=yes nowarn=yes;\n"
                     f"  sump filename={name} nruns={runs} "
                     f"{f'burninfrac={burnin}' if burnin else 'relburnin=no burnin=0'};\nend;\n")
    done = subprocess.run([str(MB), batch.name], cwd=folder, capture_output=True, text=True, timeout=120)
    table = done.stdout.split("95% HPD Interval", 1)[-1]
    rows = {m.group(1): m.group(2).split() for line in table.splitlines() if (m := SUMP_ROW.match(line))}
    assert rows, done.stdout[-3000:]
    return rows


def synthetic_runs(folder: Path) -> None:
    """Three runs: a slowly mixing column (its autocorrelation outlasts lag 2000) and a constant one."""
    rng = np.random.default_rng(20221)
    for run in (1, 2, 3):
        slow = np.zeros(6001)
        for i in range(1, len(slow)):
            slow[i] = 0.999 * slow[i - 1] + rng.normal()
        fast = rng.gamma(2.0, 0.5, size=len(slow))
        lines = "".join(f"{10 * i}\t{-1000 - f:.6e}\t{f:.6e}\t{s:.6e}\t1.000000e+00\n"
                        for i, (f, s) in enumerate(zip(fast, slow, strict=True)))
        write(folder / f"syn.run{run}.p", "[ID: 9]\nGen\tLnL\tTL\tslow\tfixed\n" + lines)


def short_runs(folder: Path) -> None:
    """Two runs of 20 values whose 95% HPD (38 of 40) sump finds at the first start: [0, 10], not [1, 12]."""
    rng = np.random.default_rng(5)
    pooled = rng.permutation([0.0, 1.0, *np.linspace(1.2, 9.8, 35), 10.0, 12.0, 12.5])
    for run in (1, 2):
        values = pooled[20 * (run - 1) : 20 * run]
        rows = "".join(f"{10 * i}\t{-i - 0.5:.6f}\t{v:.6f}\n" for i, v in enumerate(values))
        write(folder / f"short.run{run}.p", "[ID: 1]\nGen\tLnL\tx\n" + rows)


@pytest.mark.skipif(MB is None, reason="MrBayes (mb) is not installed")
@pytest.mark.parametrize(("name", "runs", "burnin"), [
    ("primates", 2, 0.25),
    ("primates", 2, 0.5),
    ("syn", 3, 0.25),
    ("short", 2, 0),
])
def test_summaries_equal_mrbayes_sump(tmp_path: Path, name: str, runs: int, burnin: float) -> None:
    if name == "primates":
        for run in (1, 2):
            shutil.copy(EXAMPLES / f"primates.run{run}.p", tmp_path)
    elif name == "short":
        short_runs(tmp_path)
    else:
        synthetic_runs(tmp_path)
    report = params.read_parameters([tmp_path / f"{name}.run{r}.p" for r in range(1, runs + 1)], burnin=burnin)
    printed = sump(tmp_path, name, runs, burnin)
    ours = {p.name: p for p in report.parameters}
    assert set(printed) <= set(ours)
    for parameter, cells in printed.items():
        p = ours[parameter]
        values = [p.mean, p.variance, *p.hpd95, p.median, p.min_ess, p.avg_ess, p.psrf]
        for cell, value in zip(cells, values, strict=True):
            if cell == "NA":
                assert math.isnan(value) and p.constant, parameter
                continue
            digits = len(cell.split(".")[1])
            # Equal to what sump printed: within half a unit of its last digit.
            assert abs(value - float(cell)) <= 0.5 * 10.0**-digits + 1e-12, (parameter, cell, value)


# ---- against BEAST's loganalyser ----------------------------------------------------------------------

@pytest.mark.skipif(LOGANALYSER is None, reason="BEAST's loganalyser is not installed")
@pytest.mark.parametrize("seed", [1, 2])
def test_trace_ess_equals_loganalyser(seed: int) -> None:
    log = EXAMPLES / "beast2" / f"relaxed.seed{seed}.log"
    done = subprocess.run([str(LOGANALYSER), "-burnin", "20000", str(log)], capture_output=True, text=True,
                          timeout=120)
    table = done.stdout.split("statistic\t", 1)[1].splitlines()
    header = ["statistic", *table[0].split("\t")]
    printed = {cells[0]: cells[header.index("ESS")] for cells in (line.split("\t") for line in table[1:])
               if len(cells) > header.index("ESS")}
    trace = params.select(params.read_trace(log), "gen:20000")
    assert len(printed) >= 10
    for name, cell in printed.items():
        ours = float(trace_ess_viewer(trace.values[:, trace.columns.index(name)]))
        digits = len(cell.split(".")[1]) if "." in cell else 0
        assert abs(ours - float(cell)) <= 0.5 * 10.0**-digits + 1e-9, (name, cell, ours)


# ---- with the trees -----------------------------------------------------------------------------------

@pytest.mark.parametrize(("given", "no_params", "outcome"), [
    (None, False, ["primates.run1.p", "primates.run2.p"]),  # found beside the trees
    (["b.p", "a.p"], False, ["b.p", "a.p"]),  # given: one per run, in the runs' order
    (None, True, None),
    (["a.p"], False, "1 parameter files for 2 runs: give one per run, in the runs' order"),
    (["a.p", "b.p"], True, "--params and --no-params contradict each other"),
])
def test_parameter_files_for_the_runs(tmp_path: Path, given: list[str] | None, no_params: bool,
                                      outcome: list[str] | str | None) -> None:
    for name in ("primates.run1.t", "primates.run2.t", "primates.run1.p", "primates.run2.p"):
        shutil.copy(EXAMPLES / name, tmp_path)
    shutil.copy(EXAMPLES / "primates.run1.p", tmp_path / "a.p")
    shutil.copy(EXAMPLES / "primates.run2.p", tmp_path / "b.p")
    trees = [tmp_path / "primates.run1.t", tmp_path / "primates.run2.t"]
    files = None if given is None else [tmp_path / g for g in given]
    if isinstance(outcome, str):
        with pytest.raises(BrantoveilError, match=f"^{re.escape(outcome)}$"):
            params.parameters_for_runs(trees, files, no_params)
        return
    report = params.parameters_for_runs(trees, files, no_params)
    if outcome is None:
        assert report is None
    else:
        assert report is not None and [Path(t.path).name for t in report.traces] == outcome


def test_trees_without_parameter_files_beside_them(tmp_path: Path) -> None:
    for run in (1, 2):
        shutil.copy(EXAMPLES / f"primates.run{run}.t", tmp_path)
    trees = [tmp_path / "primates.run1.t", tmp_path / "primates.run2.t"]
    assert params.parameters_for_runs(trees) is None  # none beside any run: trees alone, as before
    shutil.copy(EXAMPLES / "primates.run1.p", tmp_path)
    with pytest.raises(BrantoveilError, match=r"^no parameter file beside .*primates\.run2\.t "):
        params.parameters_for_runs(trees)


def test_converge_report_carries_the_parameters() -> None:
    from brantoveil_tools.converge import converge

    report = converge([EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"], burnin=0.25)
    assert report.parameters is not None
    tl = next(p for p in report.to_dict()["parameters"] if p["name"] == "TL")
    assert set(tl) >= {"name", "runs", "mean", "variance", "hpd95", "median", "min_ess", "avg_ess", "psrf", "ks"}
    assert set(tl["runs"][0]) == {"mean", "variance", "hpd95", "median", "ess", "ess_trace"}
    assert tl["ks"][0]["runs"] == ["primates.run1.p", "primates.run2.p"]
    assert round(tl["psrf"], 3) == 1.005 and round(tl["min_ess"], 2) == 78.58  # sump's figures


# ---- tied to the trees by generation --------------------------------------------------------------------

def trees_every(step: int, last: int, first_kept: int, label: str = "run.trees") -> params.TreeGenerations:
    return params.TreeGenerations(label, np.arange(0, last + 1, step, dtype=np.int64), first_kept)


@pytest.mark.parametrize(("rows", "trees", "error"), [
    # A BEAST log for MrBayes trees: it spans far more generations.
    (range(0, 1_000_001, 1000), trees_every(100, 60_000, 15_000), "state 0 to 1000000 every 1000) does not match "
                                                                  "run.trees (generations 0 to 60000 every 100)"),
    (range(0, 60_001, 150), trees_every(100, 60_000, 15_000), "every 150) does not match"),  # neither divides
    (range(0, 60_001, 10), trees_every(100, 60_000, 15_000), ""),  # sampled ten times as often: fine
    (range(0, 60_001, 500), trees_every(100, 60_000, 15_000), ""),  # or five times as rarely
])
def test_a_log_must_match_its_trees(tmp_path: Path, rows: range, trees: params.TreeGenerations, error: str) -> None:
    write(tmp_path / "run.log", "state\tx\n" + "".join(f"{g}\t{g % 7}.5\n" for g in rows))
    if error:
        with pytest.raises(BrantoveilError, match=re.escape(error)):
            params.parameters_for_runs([tmp_path / "run.trees"], trees=[trees])
        return
    report = params.parameters_for_runs([tmp_path / "run.trees"], trees=[trees], burnin=0.9)
    assert report is not None
    # One burn-in for both: the trees' first kept generation, whatever the log's interval (not 90% of rows).
    assert report.traces[0].generations[0] == 15_000


def test_column_patterns_and_whole_number_columns(tmp_path: Path) -> None:
    rng = np.random.default_rng(3)
    rows = "".join(f"{g}\t{a:.5f}\t{b:.5f}\t{c}\t{d}\n"
                   for g, a, b, c, d in zip(range(0, 3000, 10), rng.normal(size=300), rng.normal(size=300),
                                            rng.integers(0, 9, 300), rng.integers(0, 9, 300), strict=True))
    path = write(tmp_path / "run.log", "state\trate\tkappa\trateCategories.1\trateCategories.2\n" + rows)
    cases = [((), (), ["rate", "kappa", "rateCategories.1", "rateCategories.2"], ["rate", "kappa"]),
             (("rate*",), (), ["rate", "rateCategories.1", "rateCategories.2"], ["rate", "rateCategories.1",
                                                                                 "rateCategories.2"]),
             ((), ("rate*",), ["kappa"], ["kappa"])]
    for include, exclude, shown, judged in cases:
        report = params.read_parameters([path], burnin=0, include=include, exclude=exclude)
        assert [p.name for p in report.parameters] == shown
        assert [p.name for p in report.parameters if p.judged] == judged
    with pytest.raises(BrantoveilError, match="no parameter column is left by --params-include nothing"):
        params.read_parameters([path], include=["nothing"])


BEAST2 = shutil.which("beast2-mcmc")
BEAST2_EXAMPLE = Path("/usr/share/doc/beast2-mcmc/examples/testRelaxedClock.xml.gz")


@pytest.mark.skipif(BEAST2 is None or not BEAST2_EXAMPLE.exists(), reason="BEAST 2 and its examples are not installed")
def test_beast2_runs_under_their_default_names(tmp_path: Path) -> None:
    from brantoveil_tools.converge import converge

    # Debian's relaxed-clock example, shortened to 40,000 states logged every 200; its own file names.
    xml = gzip.decompress(BEAST2_EXAMPLE.read_bytes()).decode()
    xml = xml.replace('chainLength="1000000"', 'chainLength="40000"').replace('logEvery="1000"', 'logEvery="200"')
    (tmp_path / "test.xml").write_text(xml)
    for seed in (1, 2):
        done = subprocess.run([str(BEAST2), "-seed", str(seed), "-overwrite", "test.xml"], cwd=tmp_path,
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr[-2000:]
    runs = [tmp_path / f"test.(time).{seed}.trees" for seed in (1, 2)]
    report = converge(runs, suggest_burnin=False)
    assert report.parameters is not None and report.parameters.labels == ("test.1.log", "test.2.log")
    assert report.rooted and "trees compared rooted: no [&R] or [&U], and every tree's root has two children" \
        in report.summary()
    assert not any(p.judged for p in report.parameters.parameters if p.name.startswith("rateCategories"))
    # A MrBayes parameter file given for these trees is refused, naming both.
    with pytest.raises(BrantoveilError, match=r"primates\.run1\.p \(Gen 0 to 60000 every 200\) does not match "
                                              r"test\.\(time\)\.1\.trees \(generations 0 to 40000 every 200\)"):
        converge(runs, params=[EXAMPLES / "primates.run1.p", tmp_path / "test.2.log"], suggest_burnin=False)
