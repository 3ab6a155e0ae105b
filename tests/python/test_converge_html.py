"""The HTML report: its content, its size on long runs, and the page as headless Chromium draws it."""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools.converge import converge
from brantoveil_tools.converge.report import ConvergenceReport
from brantoveil_tools.errors import BrantoveilError

pytest.importorskip("jinja2")
pytest.importorskip("plotly")
from brantoveil_tools.converge import html

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
CHROMIUM = next((found for name in ("chromium", "chromium-browser") if (found := shutil.which(name))), None)


@pytest.fixture(scope="module")
def report() -> ConvergenceReport:
    return converge([EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"], burnin=0.25)


@pytest.fixture(scope="module")
def page(report: ConvergenceReport, tmp_path_factory: pytest.TempPathFactory) -> Path:
    target = tmp_path_factory.mktemp("html") / "report.html"
    html.write_html(report, target)
    return target


def test_page_holds_everything_and_reaches_for_nothing(page: Path, report: ConvergenceReport) -> None:
    text = page.read_text(encoding="utf-8")
    ours = re.sub(r'(?s)<script id="plotting-library">.*?</script>', "", text)  # the library's own links aside
    assert not re.search(r"""(?:src|href)\s*=\s*["']?(?:https?:)?//""", ours)  # no network at all
    sections = [text.index(f'<section id="{name}">') for name in ("verdict", "trees", "parameters", "settings")]
    assert sections == sorted(sections)  # the verdict first, the settings last
    failed = len(report.verdict.failed)
    assert f"Failed {failed} of {len(report.verdict.criteria)} criteria" in text
    assert text.count('<tr class="fail">') == failed > 0
    # Hovering a tree of the tree-space map names it and its generation.
    assert "primates.run1.t:gen.15000\\u003cbr\\u003egeneration 15000" in text
    for name in ("TL", "r(A&lt;-&gt;G)", "pi(T)", "alpha"):  # every parameter, escaped
        assert f'data-value="{name}"' in text
    runs = [str(EXAMPLES / f"primates.run{r}.{kind}") for kind in "tp" for r in (1, 2)]
    assert (f"brantoveil converge {runs[0]} {runs[1]} --burnin 0.25 --min-freq 0.1 --unrooted --params {runs[2]} "
            f"{runs[3]} --html {page}") in text


def test_page_without_parameters(tmp_path: Path) -> None:
    report = converge([EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"], no_params=True)
    html.write_html(report, tmp_path / "r.html", command=["brantoveil", "converge", "a b.t"])
    text = (tmp_path / "r.html").read_text(encoding="utf-8")
    assert '<section id="parameters">' not in text
    assert {c.group for c in html.criteria(report)} == {"trees"}
    assert "brantoveil converge &#39;a b.t&#39;" in text  # the command as given, quoted for a shell


def test_criteria_of_a_report_with_its_own_verdict(report: ConvergenceReport) -> None:
    from brantoveil_tools.converge.verdict import Criterion, Verdict

    class WithVerdict:
        """A report whose verdict already judges the trees (and may judge the parameters)."""

        def __init__(self, criteria: list[Criterion]) -> None:
            self.verdict = Verdict(tuple(criteria))
            self.parameters = report.parameters

    own = Criterion.judge("max SDSF", 0.02, 0.05, "at most")
    assert report.parameters is not None
    names = [c.name for c in html.criteria(WithVerdict([own]))]  # type: ignore[arg-type]
    assert names == ["max SDSF", *(c.name for c in report.parameters.criteria())]
    both = [own, *report.parameters.criteria()]
    assert len(html.criteria(WithVerdict(both))) == len(both)  # type: ignore[arg-type]


@pytest.mark.parametrize(("value", "decimals", "text"), [
    (None, 4, "n/a"),
    (float("nan"), 4, "n/a"),
    (True, 4, "yes"),
    (625, 4, "625"),
    (625.0, 4, "625"),
    (0.000157, 4, "1.570e-04"),
    (0.000157, 6, "0.000157"),
    (0.0094, 4, "0.0094"),
    (2.303404e-05, 6, "0.000023"),  # as sump prints it
    (1.21325702, 3, "1.213"),
    (-1189.308135, 6, "-1189.308135"),
    (2.5e8, 1, "2.500e+08"),
])
def test_numbers_in_cells(value: object, decimals: int, text: str) -> None:
    assert html._format_number(value, decimals) == text


def test_missing_libraries_are_one_line(monkeypatch: pytest.MonkeyPatch) -> None:
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name: None if name == "plotly" else real(name))
    with pytest.raises(BrantoveilError, match=r"^--html needs plotly: pip install 'brantoveil\[plot\]'$"):
        html.require_html()


def long_runs(folder: Path, trees: int) -> list[Path]:
    """Two runs of ``trees`` trees and parameter rows, drawn at random from the example's."""
    rng = np.random.default_rng(11)
    runs = []
    for run in (1, 2):
        text = (EXAMPLES / f"primates.run{run}.t").read_text()
        head = text.split("   tree ", 1)[0]
        topologies = re.findall(r"tree gen\.\d+ = (.*?);\n", text)
        picks = rng.integers(len(topologies), size=trees)
        body = "".join(f"   tree gen.{i * 100} = {topologies[k]};\n" for i, k in enumerate(picks))
        (folder / f"long.run{run}.t").write_text(head + body + "end;\n")
        lines = (EXAMPLES / f"primates.run{run}.p").read_text().splitlines()
        rows = [line.split("\t", 1)[1] for line in lines[2:]]
        picks = rng.integers(len(rows), size=trees)
        table = "".join(f"{i * 100}\t{rows[k]}\n" for i, k in enumerate(picks))
        (folder / f"long.run{run}.p").write_text("\n".join(lines[:2]) + "\n" + table)
        runs.append(folder / f"long.run{run}.t")
    return runs


def test_page_of_two_long_runs_stays_small(tmp_path: Path) -> None:
    report = converge(long_runs(tmp_path, 10_001))
    assert report.parameters is not None and report.parameters.traces[0].kept == 7501  # all of them computed
    html.write_html(report, tmp_path / "long.html")
    text = (tmp_path / "long.html").read_text(encoding="utf-8")
    ours = re.sub(r'(?s)<script id="plotting-library">.*?</script>', "", text)
    assert len(ours) < 3_000_000, len(ours)  # the figures' data, thinned; the library adds some 4.8 MB


BROWSER = [str(CHROMIUM), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
           "--virtual-time-budget=20000"]


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
@pytest.mark.parametrize("window", ["1366,900", "1920,1080"])
def test_chromium_shows_the_verdict_first(page: Path, tmp_path: Path, window: str) -> None:
    shot = tmp_path / "shot.png"
    subprocess.run([*BROWSER, f"--window-size={window}", f"--screenshot={shot}", page.as_uri()],
                   capture_output=True, timeout=180, check=True)
    from PIL import Image

    with Image.open(shot) as image:
        assert image.size == tuple(int(v) for v in window.split(","))
        # The failed criteria's red rows are on the first screen.
        colours = image.convert("RGB").getcolors(maxcolors=1 << 20) or []
        assert any(count > 1000 and rgb == (0xFD, 0xEC, 0xEA) for count, rgb in colours)


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_chromium_draws_every_figure(page: Path, report: ConvergenceReport) -> None:
    dom = subprocess.run([*BROWSER, "--window-size=1366,900", "--dump-dom", page.as_uri()], capture_output=True,
                         text=True, timeout=180, check=True).stdout
    assert 'data-figures="drawn"' in dom
    assert "Figure not drawn" not in dom.replace('"Figure not drawn: "', "")
    assert f"Failed {len(report.verdict.failed)} of {len(report.verdict.criteria)} criteria" in dom
    drawn = dom.count('class="plot-container plotly"')
    assert drawn == page.read_text(encoding="utf-8").count('<script type="application/json"') == 8 + 14
