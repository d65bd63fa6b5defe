#!/bin/sh
# Builds and runs every test: the native build (warnings as errors), and the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")"
./deps.sh
jobs=$(nproc)

echo "== native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DNAVDIAL_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVDIAL_SANITIZE=ON -DNAVDIAL_WERROR=ON >/dev/null
cmake --build build-san -j"$jobs"
ctest --test-dir build-san -j"$jobs" --output-on-failure
