#!/usr/bin/env bash
# Installs what the tests need, builds the module and the C++ tests, and runs every suite.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

missing=()
dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || missing+=(libclang-rt-14-dev)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
command -v mb >/dev/null 2>&1 || missing+=(mrbayes)  # the Python tests check against MrBayes itself
# MCC trees against TreeAnnotator, parameter ESS against loganalyser, real BEAST 2 runs, the HTML report in Chromium
command -v treeannotator >/dev/null 2>&1 || missing+=(beast-mcmc)
command -v loganalyser >/dev/null 2>&1 || missing+=(beast-mcmc)
dpkg -s beast2-mcmc >/dev/null 2>&1 || missing+=(beast2-mcmc)
dpkg -s beast2-mcmc-examples >/dev/null 2>&1 || missing+=(beast2-mcmc-examples)
dpkg -s r-cran-coda >/dev/null 2>&1 || missing+=(r-cran-coda)  # the pseudo-ESS against R's coda::effectiveSize
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
command -v pdftotext >/dev/null 2>&1 || missing+=(poppler-utils)  # the printed report is checked page by page
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)  # the ARM build
command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
dpkg -s libc++-dev >/dev/null 2>&1 || missing+=(libc++-dev)  # the build with Apple's standard library
dpkg -s libc++abi-dev >/dev/null 2>&1 || missing+=(libc++abi-dev)
command -v strace >/dev/null 2>&1 || missing+=(strace)  # kills a command between the renames of its commit
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== building and installing the extension"
python3 -m pip install -q --disable-pip-version-check ".[test]"

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DBRANTOVEIL_EXTENSION=OFF -DBRANTOVEIL_TESTS=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

echo "== C++ tests built for aarch64, run under qemu-user"
bash tests/aarch64.sh "$jobs"

echo "== C++ tests built with clang and libc++"
bash tests/libcxx.sh "$jobs"

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DBRANTOVEIL_EXTENSION=OFF -DBRANTOVEIL_TESTS=ON \
  -DBRANTOVEIL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== C++ tests under ThreadSanitizer (the pool and every parallel phase)"
# TSan refuses to start threads in a forked child unless told otherwise; the fork test needs that.
cmake -S . -B build/tsan -G Ninja -DBRANTOVEIL_EXTENSION=OFF -DBRANTOVEIL_TESTS=ON \
  -DBRANTOVEIL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=die_after_fork=0 ctest --test-dir build/tsan --output-on-failure -j "$jobs"

if [ -f tests/fuzz/run.sh ]; then
  echo "== short fuzzing run"
  bash tests/fuzz/run.sh 30 2>&1 | tail -n 25  # libFuzzer is chatty; a failure shows in the tail
fi

echo "== Python package: types (mypy --strict, also through the extension's stubs) and lint"
python3 -m mypy --strict python/brantoveil_tools tests/typing
python3 -m ruff check python tests bench

echo "== Python tests"
python3 -m pytest -q tests/python
