#!/bin/sh
# Installs what is needed, builds navdial, and decodes a generated VOR signal
# (no dongle needed): the station on radial 237.5 with some noise.
#   demo.sh --web   the same station keyed KLO, ten minutes of it at signal
#                   speed, with the live page at http://127.0.0.1:8080/
set -e
cd "$(dirname "$0")"
./deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
if [ "$1" = --web ]; then
    echo "navdial: the live page is at http://127.0.0.1:8080/ (Ctrl-C ends it)"
    build/tools/vorgen -r 237.5 -n 60 -S 1 -M KLO -W 8 -P 9 -t 600 |
        build/receiver/navdial --http 8080 --throttle -i - 113.1
    exit 0
fi
echo "vorgen: a VOR station, radial 237.5 degrees, C/N0 60 dB-Hz, 6.5 s of signal"
echo "navdial prints the radial it decodes every 2 s:"
build/tools/vorgen -r 237.5 -n 60 -S 1 -I -t 6.5 | build/receiver/navdial -i - 113.1
