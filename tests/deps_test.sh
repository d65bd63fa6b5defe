#!/bin/sh
# deps.sh against stand-ins for the package tools, first on PATH, so that it
# never reaches the real package manager: an apt-get whose update fails as
# when a mirror is being synced, and whose install records its arguments.
# usage: deps_test.sh path/to/deps.sh
deps=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin"
cat >"$dir/bin/apt-get" <<'STAND'
#!/bin/sh
for a; do [ "$a" = update ] && { echo update >>"$LOG"; exit "${UPDATE_RC:-0}"; }; done
echo "install $*" >>"$LOG"
exit "${INSTALL_RC:-0}"
STAND
cat >"$dir/bin/dpkg-query" <<'STAND'
#!/bin/sh
[ -n "$INSTALLED" ] && { printf 'install ok installed'; exit 0; }
exit 1
STAND
cat >"$dir/bin/dpkg" <<'STAND'
#!/bin/sh
case $1 in
--print-architecture) echo amd64 ;;
--print-foreign-architectures) ;;
*) echo "dpkg $*" >>"$LOG" ;;
esac
STAND
cat >"$dir/bin/sudo" <<'STAND'
#!/bin/sh
echo sudo >>"$LOG"
exec "$@"
STAND
printf '#!/bin/sh\necho 1000\n' >"$dir/bin/id"
chmod +x "$dir/bin/"*

fails=0
# case: arguments, update rc, install rc, installed?, expected rc, then
# patterns the log must hold (+) or must not hold (-).
check() {
    name=$1 args=$2 urc=$3 irc=$4 inst=$5 want=$6
    shift 6
    : >"$dir/log"
    LOG="$dir/log" UPDATE_RC=$urc INSTALL_RC=$irc INSTALLED=$inst NAVDIAL_APT_PAUSE=0 \
        PATH="$dir/bin:$PATH" sh "$deps" $args >"$dir/out" 2>&1
    rc=$?
    ok=1
    [ "$rc" -eq "$want" ] || { echo "$name: exit status $rc, expected $want"; ok=; }
    for p; do
        case $p in
        +*) grep -qe "${p#+}" "$dir/log" || { echo "$name: log lacks '${p#+}'"; ok=; } ;;
        -*) grep -qe "${p#-}" "$dir/log" && { echo "$name: log holds '${p#-}'"; ok=; } ;;
        esac
    done
    if [ -z "$ok" ]; then
        fails=$((fails + 1))
        echo "--- log"; cat "$dir/log"; echo "--- output"; cat "$dir/out"
    else
        echo "ok: $name"
    fi
}

check "stale index, tests and cross" "--tests --cross" 100 0 "" 0 \
    "+^update" "+install .*-o Acquire::Retries=3" "+install .* librtlsdr-dev " \
    "+install .* libgeographiclib-dev" "+install .* libgtest-dev" "+install .* umockdev" \
    "+install .* libliquid-dev:armhf" "+dpkg --add-architecture armhf" "+^sudo"
[ "$(grep -c '^update' "$dir/log")" -ge 2 ] || { echo "stale index: update not tried again"; fails=$((fails + 1)); }
check "a user's machine gets no test packages" "" 100 0 "" 0 \
    "+install .* librtlsdr-dev " "-libgtest-dev" "-umockdev" "-armhf"
check "a package that cannot be had" "--tests" 100 100 "" 100 "+^install"
check "everything already there" "--tests --cross" 0 0 1 0 "-update" "-install"
check "an unknown option" "--bogus" 0 0 "" 2 "-install"

[ "$fails" -eq 0 ] || { echo "$fails case(s) failed"; exit 1; }
