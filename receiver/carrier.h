// Carrier loop: a phase-locked loop on the block sums of a station's IQ,
// which makes a coherent AM detector. Below a carrier to noise of about
// 0 dB in the 50 kHz band (47 dB-Hz) an envelope detector loses more and
// more of the modulation to the noise (3 dB at 47 dB-Hz, 5 dB at 45); the
// in-phase part of the block sum, turned back by the carrier's phase, keeps
// all of it. A VOR's carrier holds no phase modulation, so the loop only
// has to follow the offset and the drift.
#pragma once

#include <cstdint>

#include "filter.h"

constexpr int kCarrierLagRing = 256;  // the acquisition's longest lag

// Per station: carrierReset() before use.
struct carrierLoop {
    bool tracking;        // acquired; otherwise acquiring
    double theta, omega;  // the next sample's phase, the frequency (radians, per sample)
    double amp, invAmp;   // the carrier's amplitude (the phase detector's scale) and 1/amp
    int32_t acquired;     // samples of the acquisition so far
    cpx lagSum[4];        // lag products over lags 1, 4, 32, 256
    cpx past[kCarrierLagRing];
    uint32_t pastAt;
    double lockIn, lockAll;  // the lock check's sums over 0.1 s
    int32_t lockCount;
};

void carrierReset(carrierLoop &c);

// One block sum in envelope units (its magnitude is the envelope): the
// coherent AM value, about 1 for a full-scale carrier. While the loop
// acquires (the first 0.05 s, and again after losing the carrier), the
// envelope itself.
double carrierStep(carrierLoop &c, double re, double im);
