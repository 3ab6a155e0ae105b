#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, then fuzzes the reader for N seconds (default 30)
# and the encoded-sample reader and the kernels (one call, tiles, every instruction set) for a third each.
set -euo pipefail
seconds="${1:-30}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DBRANTOVEIL_FUZZ=ON -DBRANTOVEIL_EXTENSION=OFF -DBRANTOVEIL_TESTS=OFF \
  -DBRANTOVEIL_SANITIZE=address,undefined -DBRANTOVEIL_ONLY= \
  -DCMAKE_BUILD_TYPE=Fuzz -DCMAKE_CXX_FLAGS="-O1 -g -fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$build" -j2 --target snapshot_fuzz encoded_fuzz kernels_fuzz

corpus="$root/tests/fuzz/corpus/snapshot"
mkdir -p "$corpus"
cp -n "$root"/tests/fuzz/seeds/* "$corpus"/
cd "$root/tests/fuzz/corpus"
"$build/snapshot_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
  -print_final_stats=1 "$corpus"

corpus="$root/tests/fuzz/corpus/encoded"
mkdir -p "$corpus"
cp -n "$root"/tests/fuzz/seeds_encoded/* "$corpus"/
"$build/encoded_fuzz" -max_total_time="$(( seconds / 3 > 5 ? seconds / 3 : 5 ))" -max_len=4096 -timeout=10 \
  -rss_limit_mb=4096 -print_final_stats=1 "$corpus"

corpus="$root/tests/fuzz/corpus/kernels"
mkdir -p "$corpus"
"$build/kernels_fuzz" -max_total_time="$(( seconds / 3 > 5 ? seconds / 3 : 5 ))" -max_len=2048 -timeout=20 \
  -rss_limit_mb=4096 -print_final_stats=1 "$corpus"
