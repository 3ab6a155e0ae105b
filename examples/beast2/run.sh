#!/bin/sh
# Runs BEAST 2's relaxed-clock example (Debian beast2-mcmc-examples, testRelaxedClock.xml.gz) twice,
# with seeds 1 and 2, and keeps its parameter logs and time trees here (the trees gzipped).
# relaxed.xml is that example with the chain shortened to 200,000 states, logged every 200 (1,001 samples),
# the substitution-tree logger dropped and the output files renamed; each run takes about 15 seconds.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp relaxed.xml "$work/"
for seed in 1 2; do
  (cd "$work" && beast2-mcmc -seed "$seed" -overwrite relaxed.xml > "beast.$seed.out" 2>&1)
  cp "$work/relaxed.seed$seed.log" .
  gzip -9 -n -c "$work/relaxed.seed$seed.trees" > "relaxed.seed$seed.trees.gz"
done
