#!/bin/sh
# Regenerates genes.nwk, real gene trees with taxa missing per locus: the sceloporus alignment of
# MrBayes's examples (Leache and Mulcahy 2007, 123 taxa, 1606 sites; Debian's `mrbayes`) is cut into
# 40 overlapping loci of 300 sites at seeded random starts; a locus drops every sequence that is all
# gaps or missing there, and a seeded random 0-40% of the others; Debian's `fasttree` (GTR, gamma)
# infers each tree. One tree per line, its locus name before it, as concatenated ML outputs are.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work" /usr/share/doc/mrbayes/examples/sceloporus.nex <<'PY'
import random
import sys

work, source = sys.argv[1], sys.argv[2]
rows, inside = {}, False
for line in open(source):
    word = line.split()
    if line.strip().upper() == "MATRIX":
        inside = True
    elif inside and line.strip().startswith(";"):
        break
    elif inside and len(word) >= 2:
        rows[word[0]] = rows.get(word[0], "") + "".join(word[1:])
rng = random.Random(20261208)
sites = len(next(iter(rows.values())))
for locus in range(40):
    start = rng.randrange(0, sites - 300)
    cut = {name: seq[start:start + 300] for name, seq in rows.items()}
    present = [name for name, seq in cut.items() if set(seq) - set("?-N")]
    kept = rng.sample(present, len(present) - int(rng.uniform(0, 0.4) * len(present)))
    with open(f"{work}/locus{locus + 1:02d}.fa", "w") as out:
        for name in sorted(kept):
            out.write(f">{name}\n{cut[name]}\n")
PY
: > genes.nwk
for fasta in "$work"/locus*.fa; do
  locus=$(basename "$fasta" .fa)
  printf '%s\t%s\n' "$locus" "$(fasttree -quiet -nopr -nt -gtr -gamma "$fasta" 2>>"$work/fasttree.log")" >> genes.nwk
done
