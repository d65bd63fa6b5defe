#!/bin/sh
# The ARM build must print exactly what the x86-64 build prints for the same
# samples: generated stations around the circle, with and without noise, and
# the VRN recordings; and recordings in other formats, rates and centres,
# through the down-converter (their JSON lines, the trust figures included);
# the weak-signal estimator's; and several stations with a fix.
#
# Beyond the printed lines, the window means are compared to the last bit.
# glibc on x86-64 picks FMA-compiled cos/sin/atan2 on processors that have
# FMA; they round a few last bits differently from the plain versions ARM
# uses (never enough to change a printed tenth). With those variants turned
# off the two builds must agree bit for bit, which shows that our own
# arithmetic (no contraction, the same order of operations) is identical.
#
# usage: compare_arm.sh NATIVE_BUILD ARM_BUILD EMULATOR VRN_DIR
set -u
native=$1 arm=$2 emu=$3 vrn=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pass=0 fail=0

compare() {  # name, file, interval
    "$native/receiver/navdial" -l "$3" -i "$2" 113.1 > "$work/x86" 2>&1
    "$emu" "$arm/receiver/navdial" -l "$3" -i "$2" 113.1 > "$work/arm" 2>&1
    GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA "$native/tests/chain_digest" "$3" < "$2" > "$work/x86bits"
    "$emu" "$arm/tests/chain_digest" "$3" < "$2" > "$work/armbits"
    if [ ! -s "$work/x86" ]; then
        echo "FAIL $1: nothing printed"; fail=$((fail + 1))
    elif ! cmp -s "$work/x86" "$work/arm"; then
        echo "FAIL $1: printed lines differ"; diff "$work/x86" "$work/arm" | head -5; fail=$((fail + 1))
    elif ! cmp -s "$work/x86bits" "$work/armbits"; then
        echo "FAIL $1: window means differ in their bits"; diff "$work/x86bits" "$work/armbits" | head -5
        fail=$((fail + 1))
    else
        pass=$((pass + 1))
    fi
}

recording() {  # name, navdial arguments before the frequency
    name=$1; shift
    "$native/receiver/navdial" -F json "$@" 113.1 > "$work/x86" 2>&1
    "$emu" "$arm/receiver/navdial" -F json "$@" 113.1 > "$work/arm" 2>&1
    if [ ! -s "$work/x86" ]; then
        echo "FAIL $name: nothing printed"; fail=$((fail + 1))
    elif ! cmp -s "$work/x86" "$work/arm"; then
        echo "FAIL $name: printed lines differ"; diff "$work/x86" "$work/arm" | head -5; fail=$((fail + 1))
    else
        pass=$((pass + 1))
    fi
}

gen="$native/tools/vorgen"
r=0
while [ $r -lt 360 ]; do
    "$gen" -r $r.3 -t 2.2 -S $((r + 1)) -o "$work/iq"
    compare "radial $r.3" "$work/iq" 1
    r=$((r + 15))
done
for s in 1 2 3 4; do
    "$gen" -r $((s * 77)) -t 4.2 -n 50 -S $s -I -o "$work/iq"
    compare "radial $((s * 77)), 50 dB-Hz, seed $s" "$work/iq" 2
done
"$gen" -r 185.6 -t 4.2 -n 47 -S 9 -o "$work/iq"
compare "radial 185.6, 47 dB-Hz" "$work/iq" 1
for f in "$vrn"/*.wav; do
    "$gen" -w "$f" -o "$work/iq"
    compare "$(basename "$f")" "$work/iq" 1
done
"$gen" -r 77.7 -t 4.2 -n 50 -S 9 -M VRN -F cf32 -R 1800000 -O 300000 -o "$work/rec.cf32"
recording "cf32, 1.8 MS/s, +300 kHz, 50 dB-Hz" -i "$work/rec.cf32" -s 1.8M -c 112.8
"$gen" -r 301 -t 4.2 -n 47 -S 4 -F cs16 -R 250000 -O -90000 -o "$work/rec.cs16"
recording "cs16, 250 kS/s, -90 kHz, 47 dB-Hz" -i "$work/rec.cs16" -s 250k -c 113.19
for f in "$vrn"/*.wav; do
    recording "$(basename "$f") as AM audio" -i "$f"
done
# The trust figures and the ident of the dongle's own layout.
"$gen" -r 123.4 -t 20.2 -n 52 -S 6 -M KLO -W 10 -P 6 -T 0.5 -o "$work/iq"
recording "cu8 with a Morse ident, 52 dB-Hz" -v -i "$work/iq"
# The weak-signal estimator: a weak station with its clock and subcarrier off
# and the carrier 3 kHz off, a moving receiver, and a recording.
"$gen" -r 222.2 -t 6.2 -n 45 -S 8 -q 30.2 -u 9900 -c 3000 -o "$work/iq"
recording "-w, 45 dB-Hz, tolerances" -w -v -i "$work/iq"
"$gen" -r 10 -t 4.2 -n 55 -S 3 -d 5 -I -o "$work/iq"
recording "-w, moving at 5 deg/s" -w -i "$work/iq"
recording "-w, $(basename "$vrn"/*322Deg.wav)" -w -l 1 -i "$vrn"/*322Deg.wav
# Three stations in one span, with a fix (the station file's lookups and
# GeographicLib's geodesics on both).
"$gen" -r 132.45 -t 4.2 -n 52 -S 5 -f 113.1 -A 112.7:15.75:-1 -A 113.65:232.73:-2 -o "$work/iq"
recording "three stations, a fix" -v -a 112.7 -a 113.65 -P 47.4,8.7 -D "$(dirname "$0")/data/stations.csv" -i "$work/iq"
echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
