// Which station is it? The Morse identifier keyed on the 1020 Hz tone:
// hearing it, per station.
//
// A keyed tone is narrow and steady; speech is broad and bursty. So the
// envelope is brought down from 1020 Hz to 0 Hz at 1 kHz, and every 20 ms
// the power of the last 64 ms in seven bins across 1020 +-50 Hz is set
// against eight bins 250-437.5 Hz away. A mark is the strongest tone bin well
// above both the neighbours and the recent noise; 1.2 s without a mark ends
// a repetition. The repetition's tone band, kept at 125 Hz with the noise
// beside it, is then read (morse.h): alone, and together with the
// repetitions before it. An identifier is confirmed when two of the last
// four repetitions read alone give the same letters at the same speed, or
// one alone leaves no rival at all, or two to four read together leave no
// rival identifier nearly as likely (at weak signals and through speech,
// where no repetition reads alone).
// Where speech breaks the keying apart so that no repetition ends, the last
// half-minute is cut into repetitions by the identifier's period and read
// the same way, every 5 s. Once an identifier is confirmed, only the single
// readings and the half-minute keep watch for another. Never a guess.
#pragma once

#include <cstdint>
#include <string>

#include "morse.h"

constexpr int kIdentTone = 7;    // bins 15.6 Hz apart across 1020 +-50 Hz
constexpr int kIdentBins = 15;   // then 8 neighbours, 250-437.5 Hz away
constexpr int kIdentRing = 64;   // 1 kHz samples kept for the 64 ms transform
constexpr int kIdentMarks = 48;  // marks in one repetition at most
constexpr int kIdentPast = 3;    // repetitions kept to be read with the next

// Per-station state. Zero-initialise (`identState s{};`) before use.
struct identState {
    // 50 kHz: the envelope mixed by exp(-j 2 pi 1020 t), summed over 50 samples.
    uint32_t tab;          // position in the mixing table
    uint32_t fill;         // samples in the current 1 ms sum
    float zre, zim, esum;  // the sum, and the envelope's sum
    double dc;             // the envelope's mean, slowly tracked
    // 1 kHz.
    float ringRe[kIdentRing], ringIm[kIdentRing];
    uint32_t ms;  // 1 kHz samples so far
    // 50 Hz cells.
    uint32_t cells;
    double binAvg[kIdentTone];     // long-term power of each tone bin
    double prevTone, noise, mark;  // last cell's tone power; noise and mark levels
    bool on;
    uint32_t run;  // cells in the current mark or gap
    // The repetition being heard: mark and gap lengths in cells, and each
    // cell's tone amplitude against the noise, from a little before its first mark.
    uint16_t marks[kIdentMarks], gaps[kIdentMarks];
    int count;
    bool broken;  // something in it was not Morse
    // At 125 Hz (sums of 8 ms at 1 kHz): the tone band, kept of the
    // repetition from 1.2 s before its first mark as keyed (the first
    // elements may have been too weak to key), for the grid.
    float slowRe, slowIm;
    float recRe[kIdentRecord], recIm[kIdentRecord];  // the last 32.8 s, a ring
    uint32_t slowCount;
    identRep rep;
    identRep past[kIdentPast];  // the repetitions before, newest first
    float nearNow;              // the last cell's neighbour power (the local noise), never below a floor
    float recNoise[kIdentRecord];
    uint8_t recCover[kIdentRecord];  // the windows whose mean each noise is
    bool recording;
    uint32_t sincePeriodic;  // cells since the last half-minute was read by its period
    int best;                // the tone bin
    // What was read.
    std::string confirmed;   // read twice in a row; empty before
    std::string pending;     // another identifier read beyond doubt once since
    int heard;               // repetitions read so far
    std::string lastHeard;   // the newest repetition, as heard ("" when unreadable)
    double lastDot;          // its dot length, seconds
    bool fresh;              // a repetition was read since identTakeHeard
    std::string history[4];  // the last repetitions' letters, newest first
    double historyDot[4];    // and their dot lengths
    // The keyed tone as the last repetition read alone showed it, and when
    // the last repetitions read alone began: a station's own figures.
    uint32_t repFirst;     // the repetition's first 125 Hz sample, counted as slowCount
    double repDc;          // the carrier (the envelope's mean) when its first mark came
    uint32_t toneMs;       // when the tone was last read (0: never)
    double toneHz;         // its frequency, Hz
    double toneLevel;      // its amplitude where keyed, in the envelope's units
    double readStarts[4];  // where the keying of the last repetitions read alone began, newest first (s)
    int readCount;
};

// The time from one repetition to the next, from the last repetitions
// read alone (seconds); NaN before two were read within 20 s of each other.
double identPeriod(const identState &s);

// One envelope sample (50 kHz). Cheap: a table lookup and three additions a
// sample; the rest runs once a millisecond, once per 20 ms, and once per
// repetition.
void identBlock(identState &s);
inline void identStep(identState &s, float envelope, const float (*table)[2]) {
    s.zre += envelope * table[s.tab][0];
    s.zim += envelope * table[s.tab][1];
    s.esum += envelope;
    if (++s.tab == 2500) s.tab = 0;
    if (++s.fill == 50) identBlock(s);
}

// The mixing table: exp(-j 2 pi 1020 k/50000), k = 0...2499 (1020/50000 =
// 51/2500, so it repeats exactly). Built once.
const float (*identTable())[2];

// True once per repetition, when a repetition has just been read (readable
// or not); then lastHeard and lastDot tell what.
bool identTakeHeard(identState &s);
