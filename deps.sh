#!/bin/sh
# Installs what navdial needs, from the distribution's packages (Debian 12,
# Raspberry Pi OS). This is the one list of packages: the README, demo.sh,
# test.sh and CI all come here.
#
#   deps.sh            what building and running navdial needs
#   deps.sh --tests    also what only the tests need
#   deps.sh --cross    on an x86-64 PC, also the 32-bit ARM cross toolchain,
#                      its libraries and the emulator (for the test stage that
#                      builds and runs the board's binaries; implies --tests)
#
# Installs nothing that is already there. A failed 'apt-get update' (a mirror
# caught mid-sync leaves one index stale) is retried and then passed over:
# the install decides whether a package can be had. NAVDIAL_APT_PAUSE sets
# the pause in seconds between tries of the update (default 10).
set -e
build="build-essential cmake pkg-config librtlsdr-dev nlohmann-json3-dev libliquid-dev libsndfile1-dev libgeographiclib-dev libmicrohttpd-dev libmosquitto-dev"
tests="libgtest-dev umockdev clang-format chromium gpsd mosquitto openssl espeak-ng"
# (No libmosquitto1:armhf: it needs the same libssl3 as the build machine's,
# which a lagging armhf index cannot give; the armhf build leaves --mqtt out.)
cross_pkgs="crossbuild-essential-armhf qemu-user librtlsdr-dev:armhf libgtest-dev:armhf libstdc++6:armhf libliquid-dev:armhf libsndfile1-dev:armhf libgeographiclib23:armhf libmicrohttpd12:armhf"

with_tests= cross=
for a in "$@"; do
    case $a in
    --tests) with_tests=1 ;;
    --cross) cross=1 with_tests=1 ;;
    *) echo "usage: deps.sh [--tests] [--cross]" >&2; exit 2 ;;
    esac
done
arch=$(dpkg --print-architecture)
[ "$arch" = amd64 ] || cross=
pkgs=$build
[ -n "$with_tests" ] && pkgs="$pkgs $tests"
[ -n "$cross" ] && pkgs="$pkgs $cross_pkgs"

missing=
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

sudo=
[ "$(id -u)" -ne 0 ] && sudo=sudo
if [ -n "$cross" ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $sudo dpkg --add-architecture armhf
fi
echo "Installing:$missing"
pause=${NAVDIAL_APT_PAUSE:-10}
tries=3
n=1
until $sudo apt-get update; do
    if [ "$n" -ge "$tries" ]; then
        echo "deps.sh: apt-get update failed $tries times; installing from the package lists as they are" >&2
        break
    fi
    echo "deps.sh: apt-get update failed (a mirror being synced?); trying again in ${pause} s" >&2
    sleep "$pause"
    n=$((n + 1))
done
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o Acquire::Retries=3 $missing
