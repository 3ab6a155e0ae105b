#!/bin/sh
# Regenerates the example posterior sample (primates.run1.t, primates.run2.t and
# the .p parameter files) with MrBayes from Debian's `mrbayes` package.
# The alignment is a copy of /usr/share/doc/mrbayes/examples/primates.nex; only its first 200
# sites are used, so the topology stays uncertain enough for convergence diagnostics to show something.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp primates.nex "$work/"
cat > "$work/batch.nex" <<'NEX'
#NEXUS
begin mrbayes;
  set autoclose=yes nowarn=yes seed=20261207 swapseed=20261207;
  execute primates.nex;
  exclude 201-898;
  lset nst=6 rates=gamma;
  mcmc ngen=60000 samplefreq=200 printfreq=10000 diagnfreq=5000 nruns=2 nchains=2 savebrlens=yes filename=primates;
end;
NEX
(cd "$work" && mb batch.nex > mb.log)
for f in primates.run1.t primates.run2.t primates.run1.p primates.run2.p; do
  cp "$work/$f" .
done
