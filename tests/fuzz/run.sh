#!/usr/bin/env bash
# Builds the reader's libFuzzer target with clang, ASan and UBSan, then fuzzes it for N seconds (default 30).
set -euo pipefail
seconds="${1:-30}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DBRANTOVEIL_FUZZ=ON -DBRANTOVEIL_EXTENSION=OFF -DBRANTOVEIL_TESTS=OFF \
  -DBRANTOVEIL_SANITIZE=address,undefined -DBRANTOVEIL_ONLY= \
  -DCMAKE_BUILD_TYPE=Fuzz -DCMAKE_CXX_FLAGS="-O1 -g -fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$build" -j2 --target snapshot_fuzz

corpus="$root/tests/fuzz/corpus/snapshot"
mkdir -p "$corpus"
cp -n "$root"/tests/fuzz/seeds/* "$corpus"/
cd "$root/tests/fuzz/corpus"
"$build/snapshot_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
  -print_final_stats=1 "$corpus"
