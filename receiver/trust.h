// Can the bearing be trusted? Signal measures taken beside the estimator,
// from the same samples and over the same window, and the validity flag
// they give. The bearing itself is never touched here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter.h"
#include "sublock.h"

// Checks a window can fail; a window is valid when none fails.
enum trustReason : unsigned {
    kNoCarrier = 1u << 0,     // no carrier above the noise
    kLowCn0 = 1u << 1,        // a carrier, but too weak for a bearing
    kNoVar30 = 1u << 2,       // no 30 Hz variable tone
    kNoSubcarrier = 1u << 3,  // no 9960 Hz subcarrier
    kNoRef30 = 1u << 4,       // no 30 Hz reference on the subcarrier
    kDeviation = 1u << 5,     // subcarrier deviation outside 300-700 Hz
    kSigma = 1u << 6,         // bearing uncertainty above 1 degree
    kSlip = 1u << 7,          // the unwrap slipped a turn, and sigma is above 0.6 degrees
    kClipping = 1u << 8,      // more than 5 % of the bytes at 0 or 255
};
constexpr int kReasonCount = 9;

// The short name of reason bit k (0 ... kReasonCount-1): "no_carrier", ...
const char *trustReasonName(int k);

// One window's measures. NaN where a figure cannot be had (clip without
// bytes, sigma without sub-windows).
struct trustWindow {
    double t;                       // seconds of signal at the window's end, from the first sample
    double radial;                  // the value the plain line prints (degrees)
    bool slip;                      // the slip check replaced the plain mean
    double cn0;                     // carrier to noise density, dB-Hz (complex baseband at 2 MS/s)
    double levelDbfs;               // carrier amplitude against a full-scale byte (127.5)
    double clip;                    // share of I/Q bytes at 0 or 255
    double varDepth;                // AM depth of the 30 Hz variable tone
    double subDepth;                // AM depth of the 9960 Hz subcarrier
    double deviationHz;             // peak FM deviation of the subcarrier
    double sigma;                   // standard uncertainty of the bearing, degrees
    double varSnr, subSnr, refSnr;  // each tone over the noise in its filter's band, dB
    double noiseLsb;                // noise per I/Q component, in byte steps
    unsigned reasons;               // trustReason bits of the failed checks
    double carrierHz;               // the carrier's offset from the station's frequency (NaN: no IQ)
    double carrierAmp,
        envSlope;  // the carrier's amplitude in the envelope (its units) and the envelope's slope dE[r]/dA
    const struct monitorFigures *monitor;  // --monitor, --at: the station's figures (null: none)
    const char *identHeard;                // the ident's latest reading, not yet confirmed (null: none)
};

// The last 10 s of 0.1 s sub-windows, for the station's own figures
// (monitor.h): the reference tone's phasor, which turns by the station's
// 30 Hz clock error, and the subcarrier's mean frequency.
constexpr int kTrustSubKeep = 100;
struct trustSub {
    double t;     // seconds of signal at its end
    cpx S;        // the mean of S: the 30 Hz reference against navdial's 30 Hz
    double disc;  // the mean unlimited discriminator: the subcarrier's offset, radians a sample
};

// Per-station accumulators: one instance per decoded station. Zero-initialise
// (`trustState t{};`) before use. The detector and the estimator feed it
// through the inline steps below, which cost a few instructions a sample:
// what needs arithmetic is taken from one sample in eight, one block pair in
// four, one high-pass output in 64 samples, or per 0.1 s.
struct trustState {
    // Envelope high-pass for the noise: a ring of the last 64 samples.
    float ring[64];
    uint64_t pos;  // samples since the start
    double hp2;    // sum of squared high-pass outputs
    int64_t hpCount;
    // Block sums: the carrier from D[k] conj(D[k-1]), over one pair of
    // blocks in every four.
    float dre, dim;  // the pair's first block sum
    uint32_t blockPhase;
    double lagRe, lagIm;
    int64_t lags;
    // --monitor: the lag product over 64 blocks (1.28 ms) as well, from one
    // block in four, which pins the carrier's offset to a fraction of a
    // hertz once the lag-one product has told the turn.
    bool farLag;
    // --monitor: the subcarrier's lock, fed every sample (null: none).
    subLock *lock;
    cpx far[16];
    uint32_t farAt;
    double farRe, farIm;
    int64_t fars;
    // One summed sample in eight: the envelope, |F|^2, and the 30 Hz part of
    // y = Im(F conj(Fprev)), the discriminator weighted by |F|^2.
    int64_t count;  // summed samples of the window
    double env, env2, f2, yre, yim;
    // 0.1 s sub-windows: sums of R and S (one sample in eight), the slip
    // check's phasor sum at the last boundary, and per window the powers of
    // the sub-window means of R and S and of their differences.
    int32_t subCount;
    cpx subR, subS, lastR, lastS;
    double lastPre, lastPim;
    double pR, dR, pS, dS;
    // Circular means of the sub-windows (Welford, wrapped against the first).
    int32_t subs;
    double subRef, subMean, subM2;
    // The unlimited discriminator's sum over the sub-window (one sample in
    // eight), and the last kTrustSubKeep sub-windows, a ring.
    double subD;
    trustSub kept[kTrustSubKeep];
    int64_t keptCount;
    // The station's 30 Hz clock error and subcarrier offset (Hz) as the last
    // 10 s showed them at the window before; the weighted discriminator's
    // 30 Hz part turned back by that clock error, and what of it was taken
    // so far.
    double f30Off, subOffHz;
    double yTurnedRe, yTurnedIm, yreTaken, yimTaken;
    // Clipping, from a sparse sample of the bytes.
    uint64_t clipSeen, clipped;
    uint32_t clipNext;  // offset of the next byte to look at in the next buffer
    // The front end, set before the stream and kept from window to window:
    // flat (a filtering down-converter: no block-sum losses to allow for),
    // and the noise power the high-pass finds against white noise of the
    // same density in the pass band (0: white, as behind the block sum).
    bool flat;
    double noiseShape;
};

constexpr int32_t kTrustSubLen = 5000;  // 0.1 s sub-windows: 3 cycles of 30 Hz, nearly independent

void trustNoise(trustState &t);
// The mean power of the noise high-pass's outputs over x (n samples), over
// its white-noise gain: the variance of x, were x white.
double trustHighPassPower(const float *x, size_t n);  // one high-pass output, every 64 samples
void trustSubWindow(trustState &t, double pre, double pim);

// The station's 30 Hz clock, Hz: the reference tone's phase slope over the
// kept sub-windows of the last `span` seconds before `now` (NaN under 2 s);
// disc: their mean unlimited discriminator, radians a sample.
double trustClock(const trustState &t, double now, double span, double &disc);

// Each buffer of bytes as it arrives: clipping, from one pair in 127 (prime,
// so that every phase of the 40-pair block is seen; 31000 bytes a window).
inline void trustBuffer(trustState &t, const unsigned char *buf, uint32_t len) {
    constexpr uint32_t kStride = 254;
    uint32_t k = t.clipNext;
    for (; k + 1 < len; k += kStride) {
        t.clipped += static_cast<uint64_t>((buf[k] == 0 || buf[k] == 255) + (buf[k + 1] == 0 || buf[k + 1] == 255));
        t.clipSeen += 2;
    }
    t.clipNext = k >= len ? k - len : 0;
}

// Each block sum, in byte units.
inline void trustBlock(trustState &t, float re, float im) {
    const uint32_t phase = t.blockPhase++ & 3;  // blocks 0 and 1 of every 4
    if (phase == 1) {
        t.lagRe += static_cast<double>(re) * t.dre + static_cast<double>(im) * t.dim;
        t.lagIm += static_cast<double>(im) * t.dre - static_cast<double>(re) * t.dim;
        ++t.lags;
    } else if (phase == 0) {
        t.dre = re;
        t.dim = im;
        if (t.farLag) {
            cpx &old = t.far[t.farAt++ & 15];
            if (t.farAt > 16) {
                t.farRe += static_cast<double>(re) * old.re + static_cast<double>(im) * old.im;
                t.farIm += static_cast<double>(im) * old.re - static_cast<double>(re) * old.im;
                ++t.fars;
            }
            old = cpx{re, im};
        }
    }
}

// Each envelope sample with what the estimator made of it: the 30 Hz
// oscillator (c1, s1), R, F, S, y = Im(F conj(Fprev)), the discriminator
// before its limit, whether the phase difference is summed, and the slip
// check's phasor sum before this sample.
inline void trustStep(trustState &t, double env, double c1, double s1, const cpx &R, const cpx &F, const cpx &S,
                      double y, double disc, bool summed, double pre, double pim) {
    t.ring[t.pos & 63] = static_cast<float>(env);
    // One test a sample for both: the noise every 64, the lock every 8.
    if ((++t.pos & (kLockTake - 1)) == 0) {
        if ((t.pos & 63) == 0) trustNoise(t);
        if (t.lock) subLockStep(*t.lock, F, c1, s1, t.pos);
    }
    if (!summed) return;
    if ((++t.count & 7) == 0) {
        t.env += env;
        t.env2 += env * env;
        t.f2 += F.re * F.re + F.im * F.im;
        t.yre += y * c1;
        t.yim += y * s1;
        t.subR.re += R.re;
        t.subR.im += R.im;
        t.subS.re += S.re;
        t.subS.im += S.im;
        t.subD += disc;
    }
    if (++t.subCount == kTrustSubLen) trustSubWindow(t, pre, pim);
}

// The flag's checks on a window's figures: the trustReason bits that fail.
unsigned trustFlag(const trustWindow &w);

// Closes the window: computes its measures and the flag, and empties the
// window's accumulators. bearing and slip as the estimator reports them.
trustWindow trustClose(trustState &t, double bearing, bool slip);
