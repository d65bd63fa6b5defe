#!/bin/sh
# Installs what navdial needs to build and test, from the distribution's
# packages (Debian 12, Raspberry Pi OS). With --cross, on an x86-64 PC, also
# the 32-bit ARM cross toolchain, its libraries and the emulator, for building
# and testing the board's binaries. Installs nothing that is already there.
set -e
pkgs="build-essential cmake pkg-config librtlsdr-dev libgtest-dev umockdev nlohmann-json3-dev libliquid-dev libsndfile1-dev libgeographiclib-dev"
cross=
[ "$1" = "--cross" ] && cross=1
arch=$(dpkg --print-architecture)
if [ -n "$cross" ] && [ "$arch" = amd64 ]; then
    pkgs="$pkgs crossbuild-essential-armhf qemu-user librtlsdr-dev:armhf libgtest-dev:armhf libstdc++6:armhf libliquid-dev:armhf libsndfile1-dev:armhf libgeographiclib23:armhf"
fi
missing=
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=
[ "$(id -u)" -ne 0 ] && sudo=sudo
if [ -n "$cross" ] && [ "$arch" = amd64 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $sudo dpkg --add-architecture armhf
fi
echo "Installing:$missing"
$sudo apt-get update
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
