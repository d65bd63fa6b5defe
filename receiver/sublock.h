// The subcarrier, locked (--monitor): its frequency and FM index from the
// subcarrier itself rather than from a discriminator. The 30 Hz FM is known
// but for small errors (its phase from the reference tone, its index from
// the weighted discriminator), so taking it off the subcarrier leaves a
// steady tone at the subcarrier's offset. That tone sums coherently over
// 0.1 s, 27 dB above the noise at 50 dB-Hz, where a discriminator is below
// its threshold and its clicks eat the deviation. What the known FM got
// wrong shows as the tone's phase moving with the 30 Hz: in step with
// sin(theta) the index is off, with cos(theta) the phase. Both are fed back.
#pragma once

#include <cstdint>

#include "filter.h"

constexpr int kLockTable = 2048;  // e^(-j beta u) over u in [-1, 1]: 0.008 rad at most off, at beta 16
constexpr int kLockTake = 8;      // one sample in 8: 6250 a second, above the subcarrier filter's band
constexpr int kLockChunk = 25;    // 4 ms: an offset up to 125 Hz is told from chunk to chunk
constexpr int kLockChunks = 25;   // a sub-window of 0.1 s
constexpr int kLockKeep = 100;    // 10 s of sub-windows
constexpr int kLockHeard = 1250;  // 0.2 s searched for the seed

struct subLockKept {
    double t;      // seconds of signal at its end
    double index;  // the FM index it showed
    double turn;   // the tone's phase gained since the sub-window before, radians (NaN: no neighbour)
    double amp;    // the coherent amplitude, in F's units
    double coh;    // its power over F's: the subcarrier's share of F's power, when held
};

struct subLock {
    // Per taken sample: the FM taken off (the table, for the index in use),
    // the reference's phase against navdial's 30 Hz as a turning phasor, and
    // the residual offset's rotator.
    float table[kLockTable + 1][2];
    cpx ref, refStep;
    cpx rot, rotStep;
    int n;
    cpx chunk[kLockChunks], qs, qc;
    double power;  // sum of |z|^2
    // The loop: the index (and the one the table holds), the reference's
    // phase at the sub-window's start and its turn a sub-window (the
    // station's clock error), both radians, and the offset (Hz).
    double index, tableIndex, phase, phaseStep, offHz;
    double rotPhase;          // the rotator's phase at the sub-window's start, radians, unwrapped
    double lastArg, lastMid;  // the tone's angle and the rotator's phase at the middle, sub-window before
    int held;                 // sub-windows in lock
    bool seeded;              // false: waits for subLockSeed
    // Until seeded, the last kLockHeard taken samples: F and navdial's
    // oscillator (c1, s1), for the seed's search.
    float heard[kLockHeard][4];
    int64_t heardCount;
    subLockKept kept[kLockKeep];
    int64_t keptCount;
};

// The table and both phasors for the loop's figures.
void subLockSet(subLock &l);
// A sub-window's end: the loop's update, and the sub-window kept.
void subLockClose(subLock &l, double now);

// One envelope sample in kLockTake: F, the subcarrier at 0 Hz, and navdial's 30 Hz
// oscillator (c1 = cos, s1 = -sin of its phase).
inline void subLockStep(subLock &l, const cpx &F, double c1, double s1, uint64_t pos) {
    if (!l.seeded) {
        float *b = l.heard[l.heardCount++ % kLockHeard];
        b[0] = static_cast<float>(F.re);
        b[1] = static_cast<float>(F.im);
        b[2] = static_cast<float>(c1);
        b[3] = static_cast<float>(s1);
        return;
    }
    const double u = c1 * l.ref.im - s1 * l.ref.re;  // sin(navdial's phase + the reference's)
    const double v = c1 * l.ref.re + s1 * l.ref.im;  // its cos
    int k = static_cast<int>((u + 1.0) * (kLockTable / 2) + 0.5);
    k = k < 0 ? 0 : (k > kLockTable ? kLockTable : k);
    const double er = l.table[k][0], ei = l.table[k][1];
    const double fr = F.re * er - F.im * ei, fi = F.re * ei + F.im * er;
    const cpx z = {fr * l.rot.re - fi * l.rot.im, fr * l.rot.im + fi * l.rot.re};
    cpx &c = l.chunk[l.n / kLockChunk];
    c.re += z.re;
    c.im += z.im;
    l.qs.re += z.re * u;
    l.qs.im += z.im * u;
    l.qc.re += z.re * v;
    l.qc.im += z.im * v;
    l.power += z.re * z.re + z.im * z.im;
    l.rot = {l.rot.re * l.rotStep.re - l.rot.im * l.rotStep.im, l.rot.re * l.rotStep.im + l.rot.im * l.rotStep.re};
    l.ref = {l.ref.re * l.refStep.re - l.ref.im * l.refStep.im, l.ref.re * l.refStep.im + l.ref.im * l.refStep.re};
    if (++l.n == kLockChunk * kLockChunks) subLockClose(l, static_cast<double>(pos) / 50000.0);
}

// From the monitor, once a window, while the loop is not held: the search
// for where to start, over the last 0.2 s heard. phase: the reference
// tone's now, radians (to a few hundredths); clockHz: the station's 30 Hz
// clock error. The FM index (12 to 21) and the subcarrier's offset (to
// +-130 Hz) are searched for: the offset modulo one 30 Hz line from the
// lag product over one period of the 30 Hz, where the FM repeats and drops
// out, then which line, with the index and a touch of the phase, by the
// largest coherent sum. False while too little is heard.
bool subLockSeed(subLock &l, double phase, double clockHz);

// The last `span` seconds before now: the subcarrier's offset (Hz), the FM
// index and the coherent amplitude, over the sub-windows the loop held.
struct subLockFigures {
    double offHz, index, amp, coh;
    int subs;
};
subLockFigures subLockRead(const subLock &l, double now, double span);
