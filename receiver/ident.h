// Which station is it? The Morse identifier keyed on the 1020 Hz tone.
//
// A keyed tone is narrow and steady; speech is broad and bursty. So the
// envelope is brought down from 1020 Hz to 0 Hz at 1 kHz, and every 20 ms
// the power of the last 64 ms in seven bins across 1020 +-50 Hz is set
// against eight bins 250-437.5 Hz away. A mark is the strongest tone bin well
// above both the neighbours and the recent noise; 1.2 s without a mark ends
// a repetition. The repetition's tone band, kept at 125 Hz, is then read on
// the grid of whole dots that fits it best, each dot judged coherently on
// all its samples, at a speed found anew each time (5-13 words per minute).
// An identifier is confirmed when two of the last four repetitions read the
// same letters at the same speed, every unit of both clear of the decision;
// or when two to four repetitions, read together with each unit weighed by
// the noise beside it then, leave no rival identifier nearly as likely (at
// weak signals and through speech, where no repetition reads alone). Read
// together, the tone's phase, which runs on through the keying, is found
// on each repetition, and every unit is projected on it: key-up is then
// nothing in Gaussian noise, not the magnitude of noise. Where speech
// breaks the keying apart, the last half-minute is also cut into
// repetitions by the identifier's period. Once an identifier is confirmed,
// only the single readings and the half-minute read every 5 s keep watch
// for another. Never a guess.
#pragma once

#include <cstdint>
#include <string>

constexpr int kIdentTone = 7;       // bins 15.6 Hz apart across 1020 +-50 Hz
constexpr int kIdentBins = 15;      // then 8 neighbours, 250-437.5 Hz away
constexpr int kIdentRing = 64;      // 1 kHz samples kept for the 64 ms transform
constexpr int kIdentMarks = 48;     // marks in one repetition at most
constexpr int kIdentSlow = 2500;    // 125 Hz samples kept of one repetition: 20 s
constexpr int kIdentJoint = 4;      // repetitions read together at most
constexpr int kIdentRecord = 4096;  // 125 Hz samples of the tone band kept: 32.8 s
constexpr int kIdentPast = 3;       // repetitions kept to be read with the next

// One repetition's tone band at 125 Hz, with the noise power of the tone's
// neighbours at each sample (speech comes and goes: so does the noise).
struct identRep {
    float re[kIdentSlow], im[kIdentSlow], noise[kIdentSlow];
    int len;
};

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
    identRep past[kIdentPast];  // the repetitions before, to be read together
    float nearNow;              // the last cell's neighbour power (the local noise)
    float recNoise[kIdentRecord];
    uint8_t recCover[kIdentRecord];  // the windows whose mean each noise is
    bool recording;
    uint32_t sincePeriodic;  // cells since the last half-minute was read by its period
    int best;                // the tone bin
    // What was read.
    std::string confirmed;   // read twice in a row; empty before
    int heard;               // repetitions read so far
    std::string lastHeard;   // the newest repetition, as heard ("" when unreadable)
    double lastDot;          // its dot length, seconds
    bool fresh;              // a repetition was read since identTakeHeard
    std::string history[4];  // the last repetitions' letters, newest first
    double historyDot[4];    // and their dot lengths
};

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

// Decodes one repetition from the tone band at 125 Hz (complex; the tone
// near hz, within 10 Hz): finds the tone's frequency to 0.25 Hz, then the
// grid of whole dots (5-13 words per minute) that best separates key-down
// from key-up, each unit summed coherently over all its samples, which holds
// up where the noise breaks marks apart. Every unit must stand clear of the
// threshold, or nothing is read: "" then. dot: the dot length, seconds.
// noise (may be null): the noise power beside the tone at each sample; every
// unit must then also stand 3 of its own noise's sigma from the threshold
// (speech that masks an element may leave it looking clear of it).
std::string identDecodeGrid(const float *re, const float *im, int len, double hz, double &dot,
                            const float *noise = nullptr);

// Reads two to four repetitions as one (the first sets the grid): aligned
// on their keying, each unit weighs them all by their noise, so that a unit
// that speech masks in one is read from another. Nothing ("") unless no
// other identifier a unit or two away is nearly as likely, and no
// repetition clearly says otherwise.
// doubt: the rivals' likelihood against the read (infinite when nothing was read).
std::string identDecodeJoint(const identRep *const *reps, int n, double hz, double &dot, double &doubt);

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
