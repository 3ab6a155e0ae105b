"""The split-frequency figures of `converge` against MrBayes's own `sumt` on the example runs."""

from __future__ import annotations

import random
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from brantoveil_tools.converge import converge

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
MB = shutil.which("mb")



def renumber(source: Path, target: Path, seed: int) -> None:
    """Copies a MrBayes tree file with its taxa numbered in another order (translate table and trees)."""
    text = source.read_text()
    table = dict(re.findall(r"^\s*(\d+)\s+([^,;\s]+)[,;]", text, flags=re.MULTILINE))
    numbers = list(table)
    shuffled = numbers[:]
    random.Random(seed).shuffle(shuffled)
    new_number = dict(zip(numbers, shuffled, strict=True))
    head, trees = text.split("   tree ", 1)
    lines = [f"      {new_number[n]} {name}" for n, name in table.items()]
    lines.sort(key=lambda line: int(line.split()[0]))
    block = "   translate\n" + ",\n".join(lines) + ";\n"
    head = re.sub(r"   translate\n.*?;\n", lambda _: block, head, flags=re.DOTALL)
    trees = re.sub(r"([(,])(\d+)(?=[:,)])", lambda m: m.group(1) + new_number[m.group(2)], "   tree " + trees)
    target.write_text(head + trees)


def sumt(folder: Path, burnin: float, min_freq: float) -> tuple[float, float]:
    batch = folder / "sumt.nex"
    batch.write_text(
        "#NEXUS\nbegin mrbayes;\n  set autoclose=yes nowarn=yes;\n  execute primates.nex;\n"
        f"  sumt filename=primates nruns=2 relburnin=yes burninfrac={burnin} minpartfreq={min_freq};\nend;\n")
    done = subprocess.run([str(MB), batch.name], cwd=folder, capture_output=True, text=True, timeout=120)
    average = re.search(r"Average standard deviation of split frequencies = ([0-9.]+)", done.stdout)
    maximum = re.search(r"Maximum standard deviation of split frequencies = ([0-9.]+)", done.stdout)
    assert average and maximum, done.stdout[-2000:]
    return float(average.group(1)), float(maximum.group(1))


@pytest.mark.skipif(MB is None, reason="MrBayes (mb) is not installed")
@pytest.mark.parametrize("renumbered", [False, True], ids=["as-written", "renumbered"])
@pytest.mark.parametrize(("burnin", "min_freq"), [(0.25, 0.10), (0.5, 0.05), (0.1, 0.30)])
def test_asdsf_equals_mrbayes_sumt(tmp_path: Path, renumbered: bool, burnin: float, min_freq: float) -> None:
    shutil.copy(EXAMPLES / "primates.nex", tmp_path)
    for run in (1, 2):
        name = f"primates.run{run}.t"
        if renumbered:  # each run its own numbering, both unlike the alignment's order
            renumber(EXAMPLES / name, tmp_path / name, seed=run)
        else:
            shutil.copy(EXAMPLES / name, tmp_path)
    report = converge([tmp_path / "primates.run1.t", tmp_path / "primates.run2.t"], burnin=burnin,
                      min_freq=min_freq)
    average, maximum = sumt(tmp_path, burnin, min_freq)
    assert report.asdsf is not None and report.max_sdsf is not None
    # MrBayes prints six decimals: ours must round to what it printed.
    assert abs(report.asdsf - average) <= 5e-7 + 1e-12
    assert abs(report.max_sdsf - maximum) <= 5e-7 + 1e-12


def test_renumbering_changes_the_file_but_not_the_report(tmp_path: Path) -> None:
    renumber(EXAMPLES / "primates.run1.t", tmp_path / "a.t", seed=7)
    assert (tmp_path / "a.t").read_text() != (EXAMPLES / "primates.run1.t").read_text()
    ours = converge([tmp_path / "a.t", EXAMPLES / "primates.run2.t"], no_params=True)
    theirs = converge([EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"])
    assert ours.splits.taxa == theirs.splits.taxa
    assert (ours.splits.frequencies == theirs.splits.frequencies).all()
    assert ours.runs[0].medoid_newick == theirs.runs[0].medoid_newick
