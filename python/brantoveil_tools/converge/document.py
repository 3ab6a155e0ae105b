"""What a convergence report needs to stand as a document: a methods paragraph for a manuscript, citing the
work behind every criterion it judged, and its provenance (command, checksums of the inputs, date)."""

from __future__ import annotations

import hashlib
import os
import textwrap
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

from brantoveil_tools.commit import atomic_path
from brantoveil_tools.converge.assess import ASDSF_BAR, MAX_SDSF_BAR
from brantoveil_tools.converge.report import ConvergenceReport
from brantoveil_tools.converge.verdict import Criterion

# The published works, keyed by the short form the paragraph cites them by.
REFERENCES = {
    "Lakner et al. 2008": "Lakner C, van der Mark P, Huelsenbeck JP, Larget B, Ronquist F (2008) Efficiency of "
                          "Markov chain Monte Carlo tree proposals in Bayesian phylogenetics. Systematic Biology "
                          "57(1):86-103.",
    "Ronquist et al. 2012": "Ronquist F, Teslenko M, van der Mark P, Ayres DL, Darling A, Hohna S, Larget B, Liu L, "
                            "Suchard MA, Huelsenbeck JP (2012) MrBayes 3.2: efficient Bayesian phylogenetic "
                            "inference and model choice across a large model space. Systematic Biology "
                            "61(3):539-542.",
    "Lanfear et al. 2016": "Lanfear R, Hua X, Warren DL (2016) Estimating the effective sample size of tree "
                           "topologies from Bayesian phylogenetic analyses. Genome Biology and Evolution "
                           "8(8):2319-2332.",
    "Magee et al. 2024": "Magee AF, Karcher MD, Matsen FA IV, Minin VN (2024) How trustworthy is your tree? "
                         "Bayesian phylogenetic effective sample size through the lens of Monte Carlo error. "
                         "Bayesian Analysis 19(2):565-593.",
    "Fabreti and Hohna 2022": "Fabreti LG, Hohna S (2022) Convergence assessment for Bayesian phylogenetic "
                              "analysis using MCMC simulation. Methods in Ecology and Evolution 13(1):77-90.",
    "Geyer 1992": "Geyer CJ (1992) Practical Markov chain Monte Carlo. Statistical Science 7(4):473-483.",
    "Gelman and Rubin 1992": "Gelman A, Rubin DB (1992) Inference from iterative simulation using multiple "
                             "sequences. Statistical Science 7(4):457-472.",
}


@dataclass(frozen=True)
class InputFile:
    """One file the report was computed from: its path, size in bytes and SHA-256 (None: not a regular file)."""

    role: str
    path: str
    bytes: int | None
    sha256: str | None


@dataclass(frozen=True)
class Provenance:
    """How a report came about: the command (None when called from Python), every input file with its checksum,
    and the date (UTC, ISO 8601)."""

    command: tuple[str, ...] | None
    inputs: tuple[InputFile, ...]
    date: str

    def to_dict(self) -> dict[str, Any]:
        return {"command": None if self.command is None else list(self.command), "date": self.date,
                "inputs": [{"role": f.role, "path": f.path, "bytes": f.bytes, "sha256": f.sha256}
                           for f in self.inputs]}


def provenance(report: ConvergenceReport, command: Sequence[str] | None) -> Provenance:
    """The report's provenance; every tree and parameter file is read once more to checksum it."""
    inputs = [("trees", run.path) for run in report.selection.runs]
    if report.parameters is not None:
        inputs += [("parameters", trace.path) for trace in report.parameters.traces]
    return Provenance(None if command is None else tuple(command),
                      tuple(_input(role, path) for role, path in inputs),
                      datetime.now(UTC).isoformat(timespec="seconds"))


def _input(role: str, path: str) -> InputFile:
    if not os.path.isfile(path):  # a pipe or device is not read again
        return InputFile(role, path, None, None)
    try:
        with open(path, "rb") as source:
            digest = hashlib.file_digest(source, "sha256").hexdigest()
            return InputFile(role, path, os.fstat(source.fileno()).st_size, digest)
    except OSError:  # gone since it was read: recorded without a checksum rather than failing the report
        return InputFile(role, path, None, None)


# ---- the methods paragraph ---------------------------------------------------------------------------

def methods(report: ConvergenceReport) -> str:
    """The methods paragraph as text: wrapped to 100 columns, then the references it cites."""
    paragraph, references = methods_paragraph(report)
    listed = "\n".join(textwrap.fill(reference, 100, subsequent_indent="  ", break_on_hyphens=False)
                        for reference in references)
    return textwrap.fill(paragraph, 100, break_on_hyphens=False) + "\n\nReferences\n" + listed + "\n"


def methods_paragraph(report: ConvergenceReport) -> tuple[str, tuple[str, ...]]:
    """A paragraph for a manuscript's methods (the runs, burn-in, thinning, program version, every criterion
    the verdict judged with its threshold and citation, and the outcome) and the full references it cites."""
    runs = report.selection.runs
    kept = sorted({run.kept for run in runs})
    kept_text = f"{kept[0]}" if len(kept) == 1 else f"{kept[0]} to {kept[-1]}"
    burnin = _burnin(report.selection.burnin)
    dropped = "; ".join(f"{run.dropped} of the {run.trees_in_file} trees of {run.label}" for run in runs)
    thinning = (f"and every {_ordinal(report.selection.thin)} of the remaining samples was kept"
                if report.selection.thin > 1 else "without further thinning")
    sentences = [
        f"Convergence of {_count(len(runs), 'MCMC run')} was assessed with brantoveil {report.version} "
        f"(brantoveil converge). {burnin} discarded as burn-in ({dropped}), "
        f"{thinning}, leaving {kept_text} trees per run "
        f"{'(the parameter samples were treated alike)' if report.parameters is not None else ''}".rstrip() + "."]
    judged = _criteria(report)
    cited: list[str] = []
    for sentence, sources in _criterion_sentences(report, judged):
        sentences.append(f"{sentence} ({'; '.join(sources)}).")
        cited += [source for source in sources if source not in cited]
    failed = [c for c in judged if not c.passed]
    if failed:
        sentences.append(f"{len(failed)} of {len(judged)} criteria failed: "
                         + "; ".join(c.name for c in failed) + ".")
    else:
        sentences.append(f"All {len(judged)} criteria were met.")
    return " ".join(sentences), tuple(REFERENCES[key] for key in sorted(cited))


def write_methods(report: ConvergenceReport, target: str | Path) -> None:
    """The methods paragraph as a text file, written atomically."""
    with atomic_path(Path(target)) as temporary:
        temporary.write_text(methods(report), encoding="utf-8")


def _criteria(report: ConvergenceReport) -> list[Criterion]:
    found = list(report.verdict.criteria)
    if report.parameters is not None and not any(c.group == "parameters" for c in found):
        found.extend(report.parameters.criteria())
    return found


def _criterion_sentences(report: ConvergenceReport, judged: Sequence[Criterion]) -> list[tuple[str, list[str]]]:
    """One sentence and its citations per kind of criterion the verdict holds, in the verdict's order."""
    names = {c.name for c in judged}
    settings = report.settings
    min_ess = f"{settings.min_ess:g}"
    result = []
    if "ASDSF" in names:
        result.append((f"The average standard deviation of split frequencies (ASDSF) across runs, over the splits "
                       f"reaching a frequency of {report.min_freq:g} in at least one run, was required to be at "
                       f"most {ASDSF_BAR:g}, and its largest term (maximum SDSF) at most {MAX_SDSF_BAR:g}",
                       ["Lakner et al. 2008", "Ronquist et al. 2012"]))
    tree_ess = [name for name in ("approximate ESS", "pseudo-ESS (minimum)", "pseudo-ESS (median)") if name in names]
    if tree_ess:
        result.append((f"The effective sample size (ESS) of the tree topologies of every run, as the approximate "
                       f"ESS (mean squared Robinson-Foulds distances at lags 1 to {settings.max_lag}) and the "
                       f"minimum and median pseudo-ESS, was required to reach {min_ess}", ["Lanfear et al. 2016"]))
    if "Frechet-correlation ESS" in names:
        result.append(("So was the Frechet-correlation ESS of every run's trees", ["Magee et al. 2024"]))
    if "split ESS" in names:
        result.append((f"The ESS of every split's presence (splits with a frequency within [0.025, 0.975] in some "
                       f"run) was required to reach {settings.split_ess:g}, that is (1 / (4 p))^2 for a precision "
                       f"p of {settings.precision:g} in the split frequencies",
                       ["Fabreti and Hohna 2022", "Geyer 1992"]))
    if "split-frequency differences" in names:
        result.append((f"The frequencies of every such split in every pair of runs were required to differ by no "
                       f"more than the 95% quantile of the difference expected between two binomial samples of "
                       f"size {settings.split_ess:g}", ["Fabreti and Hohna 2022"]))
    parameters = report.parameters
    if parameters is not None and "parameter ESS (lowest)" in names:
        result.append((f"For every continuous parameter, the ESS in every run was required to reach "
                       f"{parameters.min_ess:g}", ["Geyer 1992"]))
    if parameters is not None and "parameter PSRF (largest)" in names:
        result.append((f"The potential scale reduction factor (PSRF) of every parameter was required to be at most "
                       f"{parameters.psrf_bar:g}", ["Gelman and Rubin 1992"]))
    if parameters is not None and "parameter KS D (largest)" in names:
        result.append((f"The two-sample Kolmogorov-Smirnov distance between every pair of runs was required to be "
                       f"at most its critical value at alpha = {parameters.ks_alpha:g} for samples of ESS "
                       f"{parameters.min_ess:g}", ["Fabreti and Hohna 2022"]))
    return result


def _burnin(text: str) -> str:
    if text.startswith("gen:"):
        return f"In every run, the samples before generation {text[4:]} were"
    if text.endswith("%"):
        return f"The first {text} of the samples of every run were"
    if "." in text:
        return f"The first {float(text) * 100:g}% of the samples of every run were"
    return f"The first {_count(int(text), 'sample')} of every run {'was' if int(text) == 1 else 'were'}"


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}{'' if n == 1 else 's'}"


def _ordinal(n: int) -> str:
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


__all__ = ["REFERENCES", "InputFile", "Provenance", "methods", "methods_paragraph", "provenance", "write_methods"]
