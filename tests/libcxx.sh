#!/usr/bin/env bash
# Builds the core and the C++ tests with clang and libc++ (the standard library of Apple's compilers and
# of many BSDs) and runs them, and checks that the extension's own sources compile there too, so code
# that only builds with GCC's library fails here. Usage: tests/libcxx.sh [parallel jobs, default 2]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-2}
build=$PWD/build/libcxx
flags="-stdlib=libc++"

# GoogleTest's C++ ABI follows its standard library: build Debian's sources once against libc++.
if [ ! -f "$build/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/gtest-build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$build/gtest" >/dev/null
  cmake --build "$build/gtest-build" -j "$jobs" >/dev/null
  cmake --install "$build/gtest-build" >/dev/null
fi

cmake -S . -B "$build/tests" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="$flags -O2 -DNDEBUG" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DBRANTOVEIL_EXTENSION=OFF -DBRANTOVEIL_TESTS=ON -DGTest_DIR="$build/gtest/lib/cmake/GTest" >/dev/null
cmake --build "$build/tests" -j "$jobs"
ctest --test-dir "$build/tests" --output-on-failure -j "$jobs"

include=$(python3 -c "import sysconfig; print(sysconfig.get_paths()['include'])")
for source in src/api/*.cpp src/api/*/*.cpp; do
  clang++ -std=c++20 $flags -fsyntax-only -Wall -Isrc -I"$include" "$source"
done
echo "libc++ build: tests passed, extension sources compile"
