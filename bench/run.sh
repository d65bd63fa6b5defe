#!/bin/sh
# The receiver's cost, as figures (never a pass or fail):
#  1. ARM: guest instructions per second of signal of the armhf build under
#     qemu-arm -cpu cortex-a7, counted exactly by a plugin: the difference of
#     two runs (4 s and 12 s of signal) over the difference of their lengths,
#     for the plain and the fast kernels, split into the front end (per IQ
#     pair) and the estimator (per envelope sample), and navdial -i itself,
#     with the default estimator, with the weak-signal one (-w), with the
#     station check (--monitor) and with three stations in one span (-a).
#  2. x86-64: seconds of signal per CPU second of navdial -i on a 60 s file
#     (median of 5 runs) against the plain kernels, and peak memory; the
#     same for a recording from another program: cf32 at 1.8 MS/s with the
#     station 300 kHz off centre, through the down-converter.
set -e
cd "$(dirname "$0")/.."
./deps.sh --cross >/dev/null
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" >/dev/null
cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-armhf -j"$jobs" --target navdial chainbench frontbench >/dev/null
work=build/bench-data
mkdir -p "$work"
gcc -O2 -shared -fPIC -o "$work/libicount.so" bench/icount.c

# A station with some noise and the ident tone: every branch of the chain runs.
for t in 4 12 60; do
    [ -s "$work/vor$t.cu8" ] || build/tools/vorgen -r 123.4 -n 55 -S 1 -I -t $t -o "$work/vor$t.cu8"
done
[ -s "$work/rec60.cf32" ] ||
    build/tools/vorgen -r 123.4 -n 55 -S 1 -I -t 60 -F cf32 -R 1800000 -O 300000 -o "$work/rec60.cf32"
# Three stations in one span: the second and third 400 and 550 kHz away.
for t in 4 12; do
    [ -s "$work/three$t.cu8" ] ||
        build/tools/vorgen -r 123.4 -n 55 -S 1 -I -t $t -f 113.1 -A 112.7:200:0 -A 113.65:77:-3 -o "$work/three$t.cu8"
done
# The same with a Morse identifier every 6 s, so that repetitions are read.
for t in 4 12; do
    [ -s "$work/morse$t.cu8" ] || build/tools/vorgen -r 123.4 -n 55 -S 1 -M KLO -W 10 -P 6 -T 0.2 -t $t -o "$work/morse$t.cu8"
done

# And under speech at 30 % rms, 50 dB-Hz: no repetition reads alone, so the
# last half-minute is read together, cut by its period, once it holds two
# repetitions (the decoder's dearest case): 30 s against 4. The same speech
# without the Morse gives the ident's own cost.
for t in 4 30; do
    [ -s "$work/speech$t.cu8" ] ||
        build/tools/vorgen -r 123.4 -n 50 -S 1 -M KLO -W 10 -P 6 -T 0.2 -V 0.3 -t $t -o "$work/speech$t.cu8"
    [ -s "$work/voice$t.cu8" ] ||
        build/tools/vorgen -r 123.4 -n 50 -S 1 -V 0.3 -t $t -o "$work/voice$t.cu8"
done

count() {  # count FILE PROGRAM ARGS...: guest instructions
    f=$1; shift
    qemu-arm -cpu cortex-a7 -plugin "$work/libicount.so" -d plugin "$@" "$f" 2>&1 >/dev/null |
        awk '/guest_insns/ {print $2}'
}
persec() {  # instructions per second of signal
    a=$(count "$work/vor4.cu8" "$@")
    b=$(count "$work/vor12.cu8" "$@")
    echo $(( (b - a) / 8 ))
}

echo "ARM (armhf build, qemu-arm -cpu cortex-a7), guest instructions per second of signal:"
for k in plain fast; do
    all=$(persec build-armhf/bench/chainbench $k)
    front=$(persec build-armhf/bench/frontbench $k)
    est=$((all - front))
    eval "all_$k=$all"
    awk -v k=$k -v a=$all -v f=$front -v e=$est 'BEGIN {
        printf "  %-5s  %6.1f M in all: front end %5.1f M (%4.1f per IQ pair), estimator %5.1f M (%4.0f per envelope sample)\n",
               k, a / 1e6, f / 1e6, f / 2e6, e / 1e6, e / 50000 }'
done
nav=$(persec build-armhf/receiver/navdial 113.1 -i)
json=$(persec build-armhf/receiver/navdial -F json 113.1 -i)
weak=$(persec build-armhf/receiver/navdial -w 113.1 -i)
monitor=$(persec build-armhf/receiver/navdial -F json --monitor 113.1 -i)
morse=$(( ($(count "$work/morse12.cu8" build-armhf/receiver/navdial 113.1 -i) - \
            $(count "$work/morse4.cu8" build-armhf/receiver/navdial 113.1 -i)) / 8 ))
awk -v n=$nav -v j=$json -v p=$all_plain -v f=$all_fast 'BEGIN {
    printf "  fast kernels cost %.3f of the plain ones (%.2f times cheaper)\n", f / p, p / f
    printf "  navdial -i (trust measures, ident):  %.1f M per second of signal, %.3f of the kernels alone\n", n / 1e6, n / f
    printf "  navdial -i -F json:                  %.1f M per second of signal, %.3f of the kernels alone\n", j / 1e6, j / f }'
awk -v w=$weak -v n=$nav 'BEGIN {
    printf "  navdial -i -w (weak-signal estimator):   %.1f M per second of signal, %.3f of the default'"'"'s\n", w / 1e6, w / n }'
awk -v m=$monitor -v j=$json 'BEGIN {
    printf "  navdial -i -F json --monitor:         %.1f M per second of signal (%.1f M more than -F json)\n", m / 1e6, (m - j) / 1e6 }'
awk -v m=$morse -v n=$nav 'BEGIN {
    printf "  navdial -i, a Morse ident read every 6 s: %.1f M per second of signal (%.1f M more)\n", m / 1e6, (m - n) / 1e6 }'
speech=$(( ($(count "$work/speech30.cu8" build-armhf/receiver/navdial 113.1 -i) - \
            $(count "$work/speech4.cu8" build-armhf/receiver/navdial 113.1 -i)) / 26 ))
voice=$(( ($(count "$work/voice30.cu8" build-armhf/receiver/navdial 113.1 -i) - \
           $(count "$work/voice4.cu8" build-armhf/receiver/navdial 113.1 -i)) / 26 ))
awk -v m=$speech -v v=$voice 'BEGIN {
    printf "  navdial -i, the ident read every 6 s through speech: %.1f M per second of signal (%.1f M more than the speech alone)\n", m / 1e6, (m - v) / 1e6 }'
three=$(( ($(count "$work/three12.cu8" build-armhf/receiver/navdial -a 112.7 -a 113.65 113.1 -i) - \
            $(count "$work/three4.cu8" build-armhf/receiver/navdial -a 112.7 -a 113.65 113.1 -i)) / 8 ))
awk -v t=$three -v n=$nav 'BEGIN {
    printf "  navdial -i, three stations in one span (-a twice): %.1f M per second of signal, %.2f times one station'"'"'s\n",
           t / 1e6, t / n }'

echo "x86-64 (native build), 60 s of signal, median of 5 runs:"
set -- $(build/bench/cputime 5 build/receiver/navdial -i "$work/vor60.cu8" 113.1)
nav_cpu=$1 nav_kb=$2
set -- $(build/bench/cputime 5 build/bench/chainbench plain "$work/vor60.cu8")
plain_cpu=$1
awk -v c=$nav_cpu -v p=$plain_cpu -v kb=$nav_kb 'BEGIN {
    printf "  navdial -i: %.0f s of signal per CPU second (%.3f CPU s); plain kernels %.0f (%.3f CPU s); speed-up %.2f\n",
           60 / c, c, 60 / p, p, p / c
    printf "  navdial -i peak resident memory: %d KiB\n", kb }'
set -- $(build/bench/cputime 5 build/receiver/navdial -i "$work/rec60.cf32" -s 1.8M -c 112.8 113.1)
rec_cpu=$1 rec_kb=$2
awk -v c=$rec_cpu -v n=$nav_cpu -v kb=$rec_kb 'BEGIN {
    printf "  navdial -i cf32 at 1.8 MS/s, 300 kHz off centre: %.0f s of signal per CPU second (%.3f CPU s), %.2f of the cu8 path'"'"'s speed; peak %d KiB\n",
           60 / c, c, n / c, kb }'
