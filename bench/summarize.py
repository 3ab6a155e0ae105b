"""Are `brantoveil summarize`'s trees faster than MrBayes's `sumt` and TreeAnnotator's, whole processes?

Two runs of 10,001 trees of 123 taxa are synthesised as bench/converge.py does (one MCMC-like stream,
the second run numbering its taxa in another order), then:

    majority  mb (sumt nruns=2 relburnin=yes burninfrac=0.25)  against
              brantoveil summarize run1.t run2.t -o con.tre
    mcc       treeannotator -burninTrees B -heights mean both.trees  against
              brantoveil summarize both.trees --rooted --method mcc --burnin B -o mcc.tre
              (both runs' trees in one file, written rooted as BEAST writes them)

Before a time is printed, the consensus clades and posteriors must equal sumt's (printed digits),
and the MCC tree, its log clade credibility and its mean heights must equal TreeAnnotator's.

    python3 bench/summarize.py [--trees 10001] [--taxa 123] [--keep DIR]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from converge import synthesise
from sample import mcmc_like

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "python"))

from brantoveil_tools.summarize.newick import parse  # noqa: E402


def write_rooted(path, n_trees, n_taxa):
    """One BEAST-style NEXUS file of 2 x n_trees rooted trees (translate table, STATE_N names)."""
    stream = mcmc_like(2 * n_trees, n_taxa, seed=3)
    with open(path, "w") as out:
        out.write("#NEXUS\nbegin trees;\n\ttranslate\n")
        out.write(",\n".join(f"\t\t{k + 1} Taxon_{k + 1:04d}" for k in range(n_taxa)) + "\n;\n")
        for g, text in enumerate(stream):
            out.write(f"tree STATE_{g * 100} = [&R] {text.strip()}\n")
        out.write("End;\n")


def timed(command, cwd):
    start = time.perf_counter()
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed ({done.returncode}):\n{done.stdout[-2000:]}\n{done.stderr[-2000:]}")
    return seconds, done.stdout + done.stderr


def clades(path, rooted):
    """{clade as a frozenset of names: annotations} of a NEXUS tree file (unrooted: side without taxon 1)."""
    with open(path) as handle:
        text = handle.read()
    table = dict(re.findall(r"(\d+)\s+([^,\s;]+)", re.search(r"(?is)translate\s+(.*?);", text).group(1)))
    tree = parse(re.search(r"(?im)^\s*tree\s+\S+\s*=\s*(.*)$", text).group(1))
    below = [set() for _ in tree.parent]
    for node in range(len(tree.parent) - 1, -1, -1):
        if not tree.children[node]:
            below[node].add(table.get(tree.labels[node], tree.labels[node]))
        if tree.parent[node] >= 0:
            below[tree.parent[node]] |= below[node]
    every = frozenset(below[0])
    found = {}
    for node, names in enumerate(below):
        clade = frozenset(names)
        if not rooted:
            if node == 0:
                continue
            if "Taxon_0001" in clade:
                clade = every - clade
        found[clade] = tree.notes[node] or {}
    return found


def brantoveil(arguments, folder):
    env = dict(os.environ, PYTHONPATH=os.path.join(REPO, "python") + os.pathsep + os.environ.get("PYTHONPATH", ""))
    command = [sys.executable, "-m", "brantoveil_tools.cli", "summarize", *arguments, "--quiet"]
    start = time.perf_counter()
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True, env=env)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"brantoveil summarize failed ({done.returncode}): {done.stderr[-2000:]}")
    return seconds


def check_majority(folder):
    theirs = clades(os.path.join(folder, "bench.con.tre"), rooted=False)
    ours = clades(os.path.join(folder, "con.tre"), rooted=False)
    if set(theirs) != set(ours):
        sys.exit(f"consensus clades differ: {len(set(theirs) ^ set(ours))} of {len(theirs)}")
    for clade, notes in theirs.items():
        mine = ours[clade].get("posterior")
        if "prob" in notes and len(clade) > 1 and mine is not None and f"{float(mine):.8e}" != notes["prob"]:
            sys.exit(f"posterior of {sorted(clade)[:4]}...: sumt {notes['prob']}, ours {ours[clade]['posterior']}")
        if f"{float(ours[clade]['length']):.8e}" != notes["length_mean"]:
            sys.exit(f"mean length differs: sumt {notes['length_mean']}, ours {ours[clade]['length']}")
    return len(theirs)


def check_mcc(folder, log):
    theirs = clades(os.path.join(folder, "ta.tre"), rooted=True)
    ours = clades(os.path.join(folder, "mcc.tre"), rooted=True)
    if set(theirs) != set(ours):
        sys.exit("MCC trees differ")
    for clade, notes in theirs.items():
        if notes.get("posterior") is not None and float(notes["posterior"]) != float(ours[clade]["posterior"]):
            sys.exit(f"clade posterior differs: {notes['posterior']} against {ours[clade]['posterior']}")
        a, b = float(notes["height"]), float(ours[clade]["height"])
        if abs(a - b) > 1e-6 * abs(a) + 1e-12:
            sys.exit(f"height differs: TreeAnnotator {a}, ours {b}")
    return re.search(r"Best tree: (\S+)", log).group(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=10001)
    parser.add_argument("--taxa", type=int, default=123)
    parser.add_argument("--keep", help="write the runs and outputs here instead of a temporary folder")
    args = parser.parse_args()
    mb, treeannotator = shutil.which("mb"), shutil.which("treeannotator")
    if mb is None or treeannotator is None:
        sys.exit("needs MrBayes (mb) and TreeAnnotator (beast-mcmc)")
    folder = args.keep or tempfile.mkdtemp(prefix="summarize-bench-")
    os.makedirs(folder, exist_ok=True)
    if not os.path.exists(os.path.join(folder, "bench.run2.t")):
        synthesise(folder, args.trees, args.taxa)
    if not os.path.exists(os.path.join(folder, "both.trees")):
        write_rooted(os.path.join(folder, "both.trees"), args.trees, args.taxa)
    with open(os.path.join(folder, "sumt.nex"), "w") as out:
        out.write("#NEXUS\nbegin mrbayes;\n  set autoclose=yes nowarn=yes;\n  execute data.nex;\n"
                  "  sumt filename=bench nruns=2 relburnin=yes burninfrac=0.25;\nend;\n")
    burnin = (2 * args.trees) // 4

    mb_seconds, _ = timed([mb, "sumt.nex"], folder)
    con_seconds = brantoveil(["bench.run1.t", "bench.run2.t", "--burnin", "0.25", "-o", "con.tre"], folder)
    n_clades = check_majority(folder)
    ta_seconds, log = timed([treeannotator, "-burninTrees", str(burnin), "-heights", "mean", "both.trees",
                             "ta.tre"], folder)
    mcc_seconds = brantoveil(["both.trees", "--rooted", "--method", "mcc", "--burnin", str(burnin),
                              "-o", "mcc.tre"], folder)
    best = check_mcc(folder, log)

    print(f"two runs of {args.trees} trees of {args.taxa} taxa, in {folder}")
    print(f"majority rule: {n_clades} clades, posteriors and mean lengths equal sumt's printed digits")
    print(f"  MrBayes sumt                      {mb_seconds:8.2f} s")
    print(f"  brantoveil summarize              {con_seconds:8.2f} s   ({mb_seconds / con_seconds:.1f}x)")
    print(f"MCC ({2 * args.trees} trees in one file, burn-in {burnin}): {best}, posteriors and mean heights "
          f"equal TreeAnnotator's")
    print(f"  treeannotator -heights mean       {ta_seconds:8.2f} s")
    print(f"  brantoveil summarize --method mcc {mcc_seconds:8.2f} s   ({ta_seconds / mcc_seconds:.1f}x)")
    if not args.keep:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
