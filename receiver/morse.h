// Reading Morse identifiers off the tone band: the station's 1020 Hz tone,
// brought near 0 Hz and kept at 125 Hz (8 ms a sample), with the noise
// power beside it at each sample. The readers are plain functions of what
// they are given; the per-station hearing that finds repetitions is in
// ident.h.
#pragma once

#include <cstddef>
#include <string>

constexpr int kIdentSlow = 2500;    // 125 Hz samples kept of one repetition: 20 s
constexpr int kIdentJoint = 4;      // repetitions read together at most
constexpr int kIdentRecord = 4096;  // 125 Hz samples of the tone band kept: 32.8 s
// The readers' working memory at most: one for every station (the sample
// thread reads one repetition at a time), 0.62 MB today.
constexpr size_t kIdentScratchBytes = 640 * 1024;

// One repetition's tone band at 125 Hz, with the noise power of the tone's
// neighbours at each sample (speech comes and goes: so does the noise).
struct identRep {
    float re[kIdentSlow], im[kIdentSlow], noise[kIdentSlow];
    int len;
};

// Reads one repetition, or two to four read together (the first sets the
// grid), from the tone band at 125 Hz with the noise beside it (the tone
// near hz, within 10 Hz). The tone's frequency is found to 0.25 Hz on
// each; the repetitions are aligned on their keying; then the grid of whole
// dots (5-13 words per minute) that best separates key-down from key-up,
// each unit summed coherently over all its samples and weighed on every
// repetition by the noise there, so that a unit that speech masks in one is
// read from another. Where the tone's phase runs on through the keying,
// each unit is projected on it. Nothing ("") unless the keying reads as an
// identifier with silence around it, no other identifier is nearly as
// likely (every other keying the grid's units allow, a letter masked
// beside it, a grid a little off: 3e-4 of it in all), and no repetition
// clearly says otherwise.
// dot: the dot length, seconds; doubt: the rivals' likelihood against the
// read (infinite when nothing was read).
// tone, when given and a repetition was read: the first repetition's tone
// (its offset from 1020 Hz, to 0.25 Hz), the key-down level (the amplitude
// of a 125 Hz sample), where its keying starts (125 Hz samples), and
// whether the silence around it is clear.
// quiet: kQuietUnits units either side of the keying (as far as the
// repetition holds them, 3 before and `after` after at least) are each
// clearly key-up, so that no masked letter can hide beside what was read.
struct identTone {
    double hz = 0;
    double level = 0;
    double start = 0;
    bool quiet = false;
};
std::string identDecode(const identRep *const *reps, int n, double hz, double &dot, double &doubt,
                        identTone *tone = nullptr);

// Reads the last half-minute of the tone band (oldest first, with the noise
// beside the tone) by the identifier's period: speech that breaks the
// keying apart leaves its period alone. The period (4-16 s) is where the
// keying's amplitude over the noise best matches itself; the repetitions
// are cut at the quietest point of it, and up to four that hold keying are
// read together as above (the newest whole one sets the grid). Two must
// hold all of the keying and 3 units of silence on either side; the one
// still being keyed adds what it holds. "" when nothing repeats, or nothing reads.
std::string identDecodePeriodic(const float *re, const float *im, const float *noise, int len, double hz, double &dot,
                                double &doubt);
