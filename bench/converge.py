"""Is the whole convergence report, picture included, faster than MrBayes's `sumt` for the ASDSF alone, and
does its memory stay far from growing with the square of the number of trees?

Two MrBayes-format runs (NEXUS, translate table, `tree gen.N = [&U] ...`) of 10,001 trees of 123 taxa
are synthesised from one MCMC-like stream (shared base topology, uncertain edges resolved at random,
fresh branch lengths), the second run numbering its taxa in another order. Both programs then run as
whole processes on the same files, with a burn-in of 0.25 and a minimum split frequency of 0.10:

    mb  (execute a one-site alignment of the 123 taxa; sumt nruns=2 relburnin=yes burninfrac=0.25)
    brantoveil converge run1.t run2.t --json --splits --plot

The ASDSF and maximum SDSF of both must agree to MrBayes's printed digits before any time is printed.
Each program's wall time and peak resident memory (its own, from wait4) are printed; at 100,000 trees a
matrix of every pair of one run would take 4 * 75,000^2 bytes = 22.5 GB.

    python3 bench/converge.py [--trees 10001] [--taxa 123] [--keep DIR]
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sample import mcmc_like

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Runs `converge` through the package's command line when it dispatches it, else its own parser.
CONVERGE = """
import argparse, sys
from brantoveil_tools import cli
from brantoveil_tools.converge import cli as converge_cli
from brantoveil_tools.errors import BrantoveilError
argv = sys.argv[1:]
try:
    cli.build_parser().parse_args(["converge", "--help"])
except SystemExit:
    sys.exit(cli.main(["converge", *argv]))
except Exception:
    pass
parser = argparse.ArgumentParser(prog="brantoveil converge")
converge_cli.add_arguments(parser)
try:
    sys.exit(converge_cli.run(parser.parse_args(argv)))
except BrantoveilError as error:
    print(f"brantoveil: error: {error}", file=sys.stderr)
    sys.exit(2)
"""


def deroot(text):
    """The tree with its two-child root opened into three children, as MrBayes writes unrooted trees.

    MrBayes's sumt takes a two-child root of a [&U] tree as a rooting and counts the splits beside it
    differently, so the synthetic trees take the form MrBayes itself writes.
    """
    body = text.strip().rstrip(";")[1:-1]
    depth = 0
    for i, ch in enumerate(body):
        depth += ch == "("
        depth -= ch == ")"
        if ch == "," and depth == 0:
            left, right = body[:i], body[i + 1 :]
            break
    for side, other in ((right, left), (left, right)):
        if side.startswith("("):
            inner = side[1 : side.rindex(")")]
            return f"({other},{inner});" if side is right else f"({inner},{other});"
    return text


def write_run(path, texts, names, numbering):
    """A MrBayes .t file: translate table in the given numbering, trees relabelled to it."""
    number_of = {name: str(k + 1) for k, name in enumerate(numbering)}
    relabel = {str(i + 1): number_of[name] for i, name in enumerate(names)}
    pattern = re.compile(r"(?<=[(,])(\d+)(?=[:,)])")
    with open(path, "w") as out:
        out.write("#NEXUS\n[ID: 1]\n[Param: tree]\nbegin trees;\n   translate\n")
        out.write(",\n".join(f"{k + 1:>8} {name}" for k, name in enumerate(numbering)) + ";\n")
        for g, text in enumerate(texts):
            tree = pattern.sub(lambda m: relabel[m.group(1)], deroot(text))
            out.write(f"   tree gen.{g * 100} = [&U] {tree}\n")
        out.write("end;\n")


def synthesise(folder, n_trees, n_taxa):
    names = [f"Taxon_{i + 1:04d}" for i in range(n_taxa)]
    stream = mcmc_like(2 * n_trees, n_taxa, seed=3)
    first = [next(stream) for _ in range(n_trees)]
    second = list(stream)
    shuffled = names[:]
    random.Random(4).shuffle(shuffled)
    write_run(os.path.join(folder, "bench.run1.t"), first, names, names)
    write_run(os.path.join(folder, "bench.run2.t"), second, names, shuffled)
    with open(os.path.join(folder, "data.nex"), "w") as out:
        out.write(f"#NEXUS\nbegin data;\n  dimensions ntax={n_taxa} nchar=1;\n  format datatype=dna;\n  matrix\n")
        out.write("".join(f"    {name} A\n" for name in names) + "  ;\nend;\n")


def timed(command, cwd):
    """Wall seconds, peak resident memory in MB and standard output of one process."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        start = time.perf_counter()
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=err, text=True)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if process.returncode != 0:
        sys.exit(f"{command[0]} failed ({process.returncode}):\n{stdout[-2000:]}\n{stderr[-2000:]}")
    return seconds, usage.ru_maxrss / 1024, stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=10001)
    parser.add_argument("--taxa", type=int, default=123)
    parser.add_argument("--keep", help="write the runs and outputs here instead of a temporary folder")
    args = parser.parse_args()
    mb = shutil.which("mb")
    if mb is None:
        sys.exit("MrBayes (mb) is not installed")
    folder = args.keep or tempfile.mkdtemp(prefix="converge-bench-")
    os.makedirs(folder, exist_ok=True)
    if not os.path.exists(os.path.join(folder, "bench.run2.t")):
        synthesise(folder, args.trees, args.taxa)
    with open(os.path.join(folder, "sumt.nex"), "w") as out:
        out.write("#NEXUS\nbegin mrbayes;\n  set autoclose=yes nowarn=yes;\n  execute data.nex;\n"
                  "  sumt filename=bench nruns=2 relburnin=yes burninfrac=0.25 minpartfreq=0.10;\nend;\n")

    mb_seconds, mb_memory, mb_out = timed([mb, "sumt.nex"], folder)
    env_path = os.path.join(REPO, "python")
    ours_command = [sys.executable, "-c", CONVERGE, "bench.run1.t", "bench.run2.t", "--burnin", "0.25",
                    "--min-freq", "0.10", "--json", "report.json", "--splits", "splits.tsv",
                    "--plot", "report.png", "--quiet"]
    os.environ["PYTHONPATH"] = env_path + os.pathsep + os.environ.get("PYTHONPATH", "")
    ours_seconds, ours_memory, _ = timed(ours_command, folder)

    average = float(re.search(r"Average standard deviation of split frequencies = ([0-9.]+)", mb_out).group(1))
    maximum = float(re.search(r"Maximum standard deviation of split frequencies = ([0-9.]+)", mb_out).group(1))
    with open(os.path.join(folder, "report.json")) as handle:
        report = json.load(handle)
    if abs(report["asdsf"] - average) > 5e-7 + 1e-12 or abs(report["max_sdsf"] - maximum) > 5e-7 + 1e-12:
        sys.exit(f"ASDSF disagrees: MrBayes {average}/{maximum}, converge {report['asdsf']}/{report['max_sdsf']}")

    trees = [run["trees"] for run in report["runs"]]
    print(f"two runs of {args.trees} trees of {args.taxa} taxa, burn-in 0.25 (kept {trees}), in {folder}")
    print(f"ASDSF {average:.6f}, max SDSF {maximum:.6f}: MrBayes and converge agree")
    print(f"MrBayes sumt (ASDSF only)            {mb_seconds:8.2f} s  {mb_memory:8.0f} MB peak")
    print(f"brantoveil converge (report+picture) {ours_seconds:8.2f} s  {ours_memory:8.0f} MB peak"
          f"   ({mb_seconds / ours_seconds:.1f}x faster)")
    for run in report["runs"]:
        bound = "<" if run["ess_upper_bound"] else ""
        print(f"  {run['label']}: approx ESS {bound}{run['approx_ess']:.0f}, pseudo-ESS {run['pseudo_ess_min']:.0f} "
              f"(min) / {run['pseudo_ess_median']:.0f} (median), Frechet ESS {run['frechet_ess']:.0f}")
    print(f"  {report['headline']}")
    suggestion = report["burnin_suggestion"]
    if suggestion is not None:
        print(f"  burn-in suggestion: {suggestion['fraction']}")
    if not args.keep:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
