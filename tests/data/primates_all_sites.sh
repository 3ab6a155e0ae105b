#!/bin/sh
# Two MrBayes runs on all 898 sites of the primates alignment: a posterior that is almost one tree, 10,001
# trees per run, topology only, gzip-compressed. The tree ESS tests read them: an estimator that collapses
# when distances are rare events shows it here.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp ../../examples/primates.nex "$work/"
cat > "$work/batch.nex" <<'NEX'
#NEXUS
begin mrbayes;
  set autoclose=yes nowarn=yes seed=20261208 swapseed=20261208;
  execute primates.nex;
  lset nst=6 rates=gamma;
  mcmc ngen=1000000 samplefreq=100 printfreq=100000 diagnfreq=100000 nruns=2 nchains=2 filename=primates;
end;
NEX
(cd "$work" && mb batch.nex > mb.log)
for r in 1 2; do
  # Branch lengths go (the tests compare topologies), which shrinks the files tenfold.
  grep -v '^\s*\[ID:' "$work/primates.run$r.t" | sed -E 's/:[-+.0-9eE]+//g' | gzip -9n > "primates_all_sites.run$r.t.gz"
done
