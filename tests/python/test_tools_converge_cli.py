"""`brantoveil converge` as a user meets it: the summary, the files it writes, and its one-line errors."""

from __future__ import annotations

import argparse
import importlib.util
import json
from pathlib import Path

import pytest
from brantoveil_tools import cli
from brantoveil_tools.converge import cli as converge_cli

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RUNS = [str(EXAMPLES / "primates.run1.t"), str(EXAMPLES / "primates.run2.t")]
HAS_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None


def run_command(argv: list[str]) -> int:
    return cli.main(["converge", *argv])


def test_summary_json_and_split_table(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    status = run_command([*RUNS, "--json", str(tmp_path / "r.json"), "--splits", str(tmp_path / "s.tsv")])
    out = capsys.readouterr().out
    assert status == 0
    assert "ASDSF 0.021902 (max 0.059447)" in out
    assert "approximate ESS (primates.run1.t, primates.run2.t)" in out and "WARNING" not in out
    report = json.loads((tmp_path / "r.json").read_text())
    assert report["asdsf"] == pytest.approx(0.021902, abs=5e-7)
    assert report["max_sdsf"] == pytest.approx(0.059447, abs=5e-7)
    assert [run["trees"] for run in report["runs"]] == [226, 226]
    assert all(run["approx_ess"] > 0 and run["pseudo_ess"] > 0 for run in report["runs"])
    assert report["selection"]["burnin"] == "0.25" and report["version"]
    assert len(report["runs"][0]["trace"]["distance_to_medoid"]) == 226
    assert report["distances"]["within_runs"]["quantiles"][0] == 0.0
    rows = (tmp_path / "s.tsv").read_text().splitlines()
    assert rows[0].split("\t") == ["taxa", "size", "freq_primates.run1.t", "freq_primates.run2.t", "freq_all",
                                   "sd", "in_asdsf", "ess_primates.run1.t", "ess_primates.run2.t",
                                   "threshold_primates.run1.t_primates.run2.t", "passes"]
    counted = [row for row in rows[1:] if row.split("\t")[6] == "yes"]
    assert len(counted) == report["asdsf_splits"] == 12
    overall = [float(row.split("\t")[4]) for row in rows[1:]]
    assert overall == sorted(overall, reverse=True)


def test_one_run_has_everything_but_the_between_run_figures(capsys: pytest.CaptureFixture[str]) -> None:
    assert run_command([RUNS[0]]) == 0
    out = capsys.readouterr().out
    assert "ASDSF needs at least two runs" in out and "primates.run1.t      226" in out


def test_quiet_prints_nothing(capsys: pytest.CaptureFixture[str]) -> None:
    assert run_command([*RUNS, "--quiet"]) == 0
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["missing.t"], "missing.t"),
        ([*RUNS, "--min-freq", "1.5"], "argument --min-freq: expected a number from 0 to 1, not '1.5'"),
        ([*RUNS, "--burnin", "301"], "drops all 301 trees"),
        ([*RUNS, "--json", "/nonexistent-folder/r.json"], "the folder /nonexistent-folder does not exist"),
    ],
)
def test_errors_are_one_line_with_status_2(argv: list[str], message: str, tmp_path: Path,
                                           capsys: pytest.CaptureFixture[str]) -> None:
    argv = [a if a != "missing.t" else str(tmp_path / "missing.t") for a in argv]
    assert run_command(argv) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and "Traceback" not in err


def test_a_failed_run_leaves_no_file(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "other.t").write_text("(A,B,(C,D));\n")
    assert run_command([RUNS[0], str(tmp_path / "other.t"), "--burnin", "0",
                        "--json", str(tmp_path / "r.json"), "--splits", str(tmp_path / "s.tsv")]) == 2
    assert "different taxa" in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["other.t"]


@pytest.mark.skipif(not HAS_MATPLOTLIB, reason="matplotlib is not installed")
@pytest.mark.parametrize("runs", [RUNS, RUNS[:1]], ids=["two runs", "one run"])
def test_picture_is_a_readable_png(tmp_path: Path, runs: list[str]) -> None:
    import matplotlib.image

    target = tmp_path / "report.png"
    assert run_command([*runs, "--quiet", "--plot", str(target)]) == 0
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    height, width = matplotlib.image.imread(target).shape[:2]
    assert width >= 1200 and height >= 800
    assert sorted(p.name for p in tmp_path.iterdir()) == ["report.png"]


def test_missing_matplotlib_is_one_line(monkeypatch: pytest.MonkeyPatch, tmp_path: Path,
                                        capsys: pytest.CaptureFixture[str]) -> None:
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "matplotlib" else real(name))
    assert run_command([*RUNS, "--plot", str(tmp_path / "p.png")]) == 2
    assert "--plot needs matplotlib: pip install 'brantoveil[plot]'" in capsys.readouterr().err
    assert not (tmp_path / "p.png").exists()


def test_help_states_the_ess_definitions() -> None:
    parser = argparse.ArgumentParser(prog="brantoveil converge")
    converge_cli.add_arguments(parser)
    text = parser.format_help()
    flat = " ".join(text.split())
    for definition in ("Lanfear, Hua and Warren 2016", "D_k ~ a (1 - exp(-k / b))", "ESS = 1 / (1 - 4 S / D)",
                       "Magee et al. 2024", "Fabreti and Hohna 2022", "as MrBayes's sump", "PSRF", "--fail-on-verdict"):
        assert definition in flat, definition


@pytest.mark.parametrize(("argv", "status"), [
    ([], 0),
    (["--fail-on-verdict"], 1),  # the primates runs are short: several criteria fail
    (["--fail-on-verdict", "--min-ess", "1", "--precision", "0.49", "--no-params"], None),
])
def test_fail_on_verdict_sets_the_exit_status(argv: list[str], status: int | None, tmp_path: Path,
                                              capsys: pytest.CaptureFixture[str]) -> None:
    target = tmp_path / "r.json"
    got = run_command([*RUNS, "-q", "--json", str(target), *argv])
    verdict = json.loads(target.read_text())["verdict"]
    assert got == (status if status is not None else (0 if verdict["passed"] else 1))
    if status == 1:
        assert not verdict["passed"]


@pytest.mark.parametrize(("argv", "message"), [
    (["--min-ess", "0"], "argument --min-ess: expected a positive number, not '0'"),
    (["--precision", "0.5"], "argument --precision: expected a number above 0 and below 0.5, not '0.5'"),
    (["--max-lag", "0"], "argument --max-lag: expected a whole number of at least 1, not '0'"),
    (["--params", "x.p", "--no-params"], "argument --no-params: not allowed with argument --params"),
])
def test_verdict_options_are_checked(argv: list[str], message: str, capsys: pytest.CaptureFixture[str]) -> None:
    assert run_command([*RUNS, *argv]) == 2
    assert message in capsys.readouterr().err


def test_parameters_and_html_from_the_command(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    pytest.importorskip("plotly")
    target = tmp_path / "r.json"
    page = tmp_path / "report.html"
    assert run_command([*RUNS, "--json", str(target), "--html", str(page)]) == 0
    out = capsys.readouterr().out
    assert "TL" in out and "verdict:" in out  # the parameters' table follows the trees'
    report = json.loads(target.read_text())
    names = [p["name"] for p in report["parameters"]]
    assert "LnL" in names and "TL" in names
    assert any(c["group"] == "parameters" for c in report["verdict"]["criteria"])
    text = page.read_text(encoding="utf-8")
    assert "brantoveil converge" in text and "primates.run1.p" in text


def test_quiet_failing_verdict_says_why_on_stderr(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    runs = []
    for r, tree in enumerate(["((A,B),(C,D));", "((A,C),(B,D));"]):
        runs.append(tmp_path / f"r{r}.nwk")
        runs[-1].write_text((tree + "\n") * 40)
    status = run_command([*map(str, runs), "--burnin", "0", "-q", "--fail-on-verdict", "--no-burnin-suggestion"])
    out, err = capsys.readouterr()
    assert (status, out) == (1, "")
    assert err.startswith("verdict: FAILED") and err.count("\n") == 1


def test_runs_read_from_pipes_keep_their_paths(capsys: pytest.CaptureFixture[str]) -> None:
    # <(cat run1.t) is /dev/fd/N: labelled by that path, not by the bare number.
    with open(RUNS[0], "rb") as first, open(RUNS[1], "rb") as second:
        pipes = [f"/dev/fd/{first.fileno()}", f"/dev/fd/{second.fileno()}"]
        assert run_command([*pipes, "--no-burnin-suggestion", "--no-params"]) == 0
    rows = capsys.readouterr().out.splitlines()
    assert [row.split()[0] for row in rows[1:3]] == pipes


def test_no_parameter_file_is_said_in_one_line(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    runs = []
    for name in ("primates.run1.t", "primates.run2.t"):
        runs.append(tmp_path / name)
        runs[-1].write_bytes((EXAMPLES / name).read_bytes())
    assert run_command([*map(str, runs), "--no-burnin-suggestion"]) == 0
    lines = [line for line in capsys.readouterr().out.splitlines() if "parameter file" in line]
    assert lines == ["no parameter file found beside the tree files (for " + str(runs[0]) + ": primates.run1.p): "
                     "the trees are judged alone; give one per run with --params FILE..."]
