#!/bin/sh
# Builds and runs every test: a check that the code is formatted as
# .clang-format says; the native build (warnings as errors); the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer; and, on an
# x86-64 PC, the 32-bit ARM (armhf) build with its tests under qemu-arm, including a
# comparison of its bearings with the native build's.
set -e
cd "$(dirname "$0")"
arch=$(dpkg --print-architecture)
cross=
[ "$arch" = amd64 ] && cross=--cross
./deps.sh --tests $cross
jobs=$(nproc)

echo "== code format (.clang-format)"
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null) ||
    files=$(find receiver replug tools tests bench -name '*.cpp' -o -name '*.h' -o -name '*.c')
clang-format --dry-run --Werror $files

echo "== native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DNAVDIAL_WERROR=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure --no-tests=error

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVDIAL_SANITIZE=ON -DNAVDIAL_WERROR=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build-san -j"$jobs"
ctest --test-dir build-san -j"$jobs" --output-on-failure --no-tests=error

if [ -n "$cross" ]; then
    echo "== armhf build, tests under qemu-arm, bearings compared with the native build"
    cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake -DCMAKE_BUILD_TYPE=Release \
        -DNAVDIAL_WERROR=ON -DBUILD_TESTING=ON -DNAVDIAL_NATIVE_DIR="$PWD/build" >/dev/null
    cmake --build build-armhf -j"$jobs"
    # The statistical sweeps (calibration of the trust measures, the ident's
    # hit rate, noise performance, round trips through every recording
    # format), labelled slow, run minutes each under the emulator. Their
    # arithmetic is the native build's, which ArmMatchesNative shows bit for
    # bit on the same kinds of signal, so the native and sanitizer builds run
    # them and this one does not.
    ctest --test-dir build-armhf -j"$jobs" --output-on-failure --no-tests=error -LE slow
fi
