// Weak-signal bearing estimator (-w). The reference phase comes from a
// coherent fit of the subcarrier's whole line spectrum: frequency-modulated
// by the 30 Hz reference with index beta, the subcarrier is a comb of lines
// at 9960 + 30 n Hz with amplitudes J_n(beta), so a fit gathers all of its
// energy where a discriminator needs a strong signal in its band. The
// variable tone is correlated over the window, its phase track taken from
// the reference (both tones come from one clock).
//
// It is fed the same 50 kHz samples as the default estimator, beside it,
// and closed on the same windows; the default estimator keeps running (the
// trust measures read its filters). From IQ it takes the coherent AM of the
// carrier loop, not the envelope, which keeps its gain where an envelope
// detector's falls away (carrier to noise near 0 dB in 50 kHz).
#pragma once

#include <cstdint>

#include "filter.h"

constexpr int kWeakSegLen = 5000;                    // samples per segment: 0.1 s, 3 cycles of 30 Hz
constexpr int kWeakDecim = 10;                       // the subcarrier's baseband at 5 kHz
constexpr int kWeakSegU = kWeakSegLen / kWeakDecim;  // 500 baseband samples a segment
constexpr int kWeakChunk = 20;                       // segments per estimate of the clock and offset
constexpr int kWeakTaps = 81;                        // decimation filter, delay 40 samples
constexpr int kWeakRing = 128;                       // history of the filter (a power of 2 >= taps)

// One window's figures. NaN where a figure cannot be had (no segment).
struct weakResult {
    double bearing;   // degrees, [0, 360)
    double sigma;     // standard uncertainty of the bearing, degrees
    double fitSnr;    // the comb fit's power over its noise in one segment, dB
    double toneHz;    // the 30 Hz tones' frequency found (last chunk)
    double offsetHz;  // the subcarrier's offset from 9960 Hz found (last chunk)
    double index;     // the FM index found (last chunk)
    int segments;     // 0.1 s segments in the window
};

// The fit per segment must clear the phase search's side peaks (0.4 of the
// main one's amplitude) by this much, dB, for the reference to count.
constexpr double kWeakFitMin = 10.0;

// Per-station state: zero-initialise (`weakState w{};`) and call weakReset()
// before use. About 200 KB (a chunk of baseband samples and the line sums).
struct weakState {
    // The mixed envelope (the subcarrier at 0 Hz) and the plain envelope,
    // each written twice so that the filter reads one contiguous span.
    double xr[2 * kWeakRing], xi[2 * kWeakRing];
    double env[kWeakRing];
    uint32_t at;          // ring position
    uint32_t mixAt;       // mixing table position (period 1250 samples)
    uint32_t frameAt;     // 30 Hz table position of the delayed envelope (period 5000)
    uint32_t frameStart;  // ... at the current segment's start
    int32_t warm;         // samples left before the first window
    int32_t segOff;       // samples into the current segment
    // The chunk: baseband samples, each segment's variable-tone sum and
    // frame phase.
    int32_t segs, uCount;
    cpx u[kWeakChunk * kWeakSegU];
    cpx var[kWeakChunk];
    double frame[kWeakChunk];
    cpx varSum;
    // The window: the sum of the segments' bearing phasors, the sums for a
    // straight line through their angles (wrapped against the first one's:
    // the spread about the line, so that a receiver crossing the radials
    // does not widen sigma) and the fit powers.
    cpx bearingSum;
    int32_t segments;
    double ref, sumI, sumII, sumX, sumXX, sumIX;
    double fitPower, fitNoise;
    // Kept from chunk to chunk: what the last fit found.
    double toneHz, offsetHz, index;
};

// Puts w in its start state (0.1 s of warm-up, as the default estimator).
void weakReset(weakState &w);

// One AM sample (about 1 for a full-scale carrier): from IQ, the carrier
// loop's coherent AM (carrier.h); from AM audio, the audio.
void weakStep(weakState &w, float am);

// Closes the window at the sample the default estimator closed its own:
// fits what is left, returns the window's figures and starts the next.
weakResult weakClose(weakState &w);
