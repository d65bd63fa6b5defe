#!/bin/sh
# Both estimators' sensitivity on generated stations (a figure, never a pass
# or fail): for each C/N0, stations with random radials and start phases, the
# share of 2 s windows within 2 degrees of the truth and the RMS error, as the
# Markdown table in the README. With "all", the same for each of the
# stations' tolerances too (clock and subcarrier 1 % off, FM index 14 and 18,
# the carrier 5 kHz off, speech and the ident, a receiver moving at 5 deg/s).
#
# usage: bench/sensitivity.sh [all [stations [seconds]]]   (6 stations x 20.1 s)
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target sensitivity >/dev/null
kinds=vor
[ "${1:-}" = all ] && kinds="vor tone sub index offset voice moving"
for k in $kinds; do
    build/bench/sensitivity "$k" "${2:-6}" "${3:-20.1}"
    echo
done
