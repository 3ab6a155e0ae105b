#!/bin/sh
# Regenerates a small BEAST 2 posterior (relaxed clock, 6 primates, rooted and ultrametric trees
# with a per-branch `rate`) from the example Debian ships in beast2-mcmc-examples, with a shorter
# chain and a fixed seed, so the summary tests have a real clock-tree sample to compare against
# TreeAnnotator. Needs Debian's beast2-mcmc and beast2-mcmc-examples.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zcat /usr/share/doc/beast2-mcmc/examples/testRelaxedClock.xml.gz \
  | sed -e 's/chainLength="1000000"/chainLength="300000"/' \
        -e 's/logEvery="1000"/logEvery="300"/g' \
        -e 's/logEvery="10000"/logEvery="100000"/' > "$work/relaxed.xml"
(cd "$work" && beast2-mcmc -seed 20261208 -overwrite relaxed.xml > beast.log 2>&1)
cp "$work/test.(time).20261208.trees" relaxed.time.trees
