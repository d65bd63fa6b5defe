#!/bin/sh
# Eighteen speech files for identsweep's SPEECH=: espeak-ng in 18 voices and
# variants, pitches 25-80, speeds 140-180 words a minute, five ATIS-style
# texts, each said twice (about 25 s).
#
# usage: bench/speech.sh DIR; then
#   SPEECH=$(ls DIR/v*.wav | paste -sd:) build/bench/identsweep 70 72 0.3
set -e
dir=${1:?usage: bench/speech.sh DIR}
mkdir -p "$dir"
set -- en-us en-gb en-gb-scotland en-gb-x-rp en-029 en-us-nyc en-gb-x-gbclan en-gb-x-gbcwmd en-us+f2 \
    en-gb+f3 en-us+f4 en-gb+m3 en-us+m7 en-029+f1 en-gb-x-rp+klatt en-us+croak en-gb-scotland+f5 en-us-nyc+m2
i=0
for voice in "$@"; do
    case $((i % 5)) in
    0) t="Kilo Lima Oscar information Bravo. Time one two five zero Zulu. Wind two seven zero at one five knots. Visibility one zero kilometres. Runway two seven in use." ;;
    1) t="Information Charlie. Cloud few at two thousand five hundred feet, broken at eight thousand. Temperature one four, dew point nine. QNH one zero one three hectopascals." ;;
    2) t="Advise on initial contact you have information Delta. Caution, bird activity in the vicinity of the aerodrome. Transition level seven zero." ;;
    3) t="This is the automatic terminal information service. Expect ILS approach runway three four. Departure frequency one two four decimal five." ;;
    4) t="Wind variable at three knots, CAVOK. Temperature two one, dewpoint one two. Runway surface dry. Report information Echo on first contact." ;;
    esac
    # Files sort as the sweep's cases take them: case c speaks file c mod 18.
    espeak-ng -v "$voice" -p $((25 + i * 37 % 56)) -s $((140 + i * 7 % 41)) -w "$dir/v$(printf %02d $i).wav" "$t $t"
    i=$((i + 1))
done
