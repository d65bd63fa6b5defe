#!/bin/sh
# The Debian package: built with cpack, then what a user gets from it. With
# CI=true (a throw-away machine, as root) it is also installed with apt-get,
# which pulls in its dependencies; the installed navdial runs with the
# source tree hidden, so that it can only find the installed station file
# and page; and it is removed again.
# usage: package_test.sh source-dir work-dir
set -e
src=$(cd "$1" && pwd) work=$2
fail() { echo "package_test: $*" >&2; exit 1; }

rm -rf "$work"
cmake -S "$src" -B "$work" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DNAVDIAL_PACKAGE=ON >/dev/null 2>&1 || fail "configure"
cmake --build "$work" -j"$(nproc)" >/dev/null 2>&1 || fail "build"
(cd "$work" && cpack -G DEB >/dev/null) || fail "cpack"
deb=$(ls "$work"/navdial_*_"$(dpkg --print-architecture)".deb) || fail "no package for this architecture"

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/navdial ./usr/bin/replug ./usr/share/man/man1/navdial.1 ./usr/share/man/man1/replug.1 \
    ./usr/share/navdial/vor.csv ./usr/share/navdial/html/index.html ./usr/share/navdial/html/app.js \
    ./etc/default/navdial ./etc/modprobe.d/navdial-blacklist-dvb.conf ./usr/lib/systemd/system/navdial.service; do
    echo "$files" | grep -qx "$f" || fail "$f is not in the package"
done
info=$(dpkg-deb -I "$deb")
for d in librtlsdr0 libliquid1 libsndfile1 libgeographiclib23 libmicrohttpd12 adduser; do
    echo "$info" | grep "Depends:" | grep -q "$d" || fail "Depends lacks $d"
done
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/default/navdial "$work/control/conffiles" || fail "/etc/default/navdial is not a conffile"
dpkg-deb -x "$deb" "$work/root"
grep -q '^NAVDIAL_OPTIONS=""' "$work/root/etc/default/navdial" || fail "the default settings"
# The unit as systemd reads it (only its own file: the binary is not installed here).
if command -v systemd-analyze >/dev/null; then
    out=$(systemd-analyze verify --man=no "$work/root/usr/lib/systemd/system/navdial.service" 2>&1 |
        grep -v "Command /bin/sh is not executable\|/usr/bin/navdial" || true)
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
fi
echo "package_test: $(basename "$deb") built and inspected"

[ "$CI" = true ] && [ "$(id -u)" = 0 ] || exit 0
rec=$work/zh.cu8
"$work/tools/vorgen" -r 242.22 -t 4.3 -n 55 -S 5 -f 114.85 -O 850000 -A 113.2:119.28:0 -o "$rec" ||
    fail "vorgen"
cp "$rec" /tmp/navdial-package-test.cu8
DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >/dev/null || fail "apt-get install $deb"
trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y navdial >/dev/null 2>&1 || true; rm -f /tmp/navdial-package-test.cu8' EXIT
getent passwd navdial >/dev/null || fail "no navdial user"
id -nG navdial | grep -qw plugdev || fail "navdial is not in plugdev"
# The source tree out of reach: a tmpfs over it in a mount namespace of its own.
dir=$(mktemp -d)
unshare -m sh -c "mount -t tmpfs none '$src' && \
    /usr/bin/navdial --json-dir '$dir' -i /tmp/navdial-package-test.cu8 -c 114.0 -a 113.2 -P 47.3,8.1 114.85" \
    >"$dir/out" 2>"$dir/err" || fail "the installed navdial: $(cat "$dir/err")"
grep -q "^fix 47.3" "$dir/out" || fail "no fix: $(cat "$dir/out" "$dir/err")"
grep -q "station KLO (Kloten, CH)" "$dir/err" || fail "the installed station file was not read: $(cat "$dir/err")"
grep -q '"name": "Kloten"' "$dir/stations.json" || fail "stations.json: $(cat "$dir/stations.json")"
# The installed page, served.
port=$(( 20000 + $$ % 20000 ))
unshare -m sh -c "mount -t tmpfs none '$src' && exec /usr/bin/navdial --http $port --throttle \
    -i /tmp/navdial-package-test.cu8 -c 114.0 -a 113.2 114.85" >/dev/null 2>&1 &
sleep 2
page=$(bash -c "exec 3<>/dev/tcp/127.0.0.1/$port; printf 'GET / HTTP/1.0\r\n\r\n' >&3; cat <&3") || true
wait
echo "$page" | grep -q "200 OK" && echo "$page" | grep -q '<title>navdial</title>' || fail "the installed page: $page"
DEBIAN_FRONTEND=noninteractive apt-get remove -y navdial >/dev/null || fail "apt-get remove"
[ ! -e /usr/bin/navdial ] || fail "/usr/bin/navdial is still there after removal"
rm -rf "$dir"
echo "package_test: installed, run without the source tree, and removed"
