// Can the bearing be trusted? Signal measures taken beside the estimator,
// from the same samples and over the same window, and the validity flag
// they give. The bearing itself is never touched here.
#pragma once

#include <cstdint>

#include "vor.h"

// Checks a window can fail; a window is valid when none fails.
enum trustReason : unsigned {
    kNoCarrier = 1u << 0,     // no carrier above the noise
    kLowCn0 = 1u << 1,        // a carrier, but too weak for a bearing
    kNoVar30 = 1u << 2,       // no 30 Hz variable tone
    kNoSubcarrier = 1u << 3,  // no 9960 Hz subcarrier
    kNoRef30 = 1u << 4,       // no 30 Hz reference on the subcarrier
    kDeviation = 1u << 5,     // subcarrier deviation outside 300-700 Hz
    kSigma = 1u << 6,         // bearing uncertainty above 1 degree
    kSlip = 1u << 7,          // the unwrap slipped a turn in the window
    kClipping = 1u << 8,      // more than 5 % of the bytes at 0 or 255
};
constexpr int kReasonCount = 9;

// The short name of reason bit k (0 ... kReasonCount-1): "no_carrier", ...
const char *trustReasonName(int k);

// One window's measures. NaN where a figure cannot be had (clip without
// bytes, sigma without sub-windows).
struct trustWindow {
    double t;            // seconds of signal at the window's end, from the first sample
    double radial;       // the value the plain line prints (degrees)
    bool slip;           // the slip check replaced the plain mean
    double cn0;          // carrier to noise density, dB-Hz (complex baseband at 2 MS/s)
    double levelDbfs;    // carrier amplitude against a full-scale byte (127.5)
    double clip;         // share of I/Q bytes at 0 or 255
    double varDepth;     // AM depth of the 30 Hz variable tone
    double subDepth;     // AM depth of the 9960 Hz subcarrier
    double deviationHz;  // peak FM deviation of the subcarrier
    double sigma;        // standard uncertainty of the bearing, degrees
    double varSnr, subSnr, refSnr;  // each tone over the noise in its filter's band, dB
    double noiseLsb;     // noise per I/Q component, in byte steps
    unsigned reasons;    // trustReason bits of the failed checks
};

// Per-station accumulators: one instance per decoded station. Zero-initialise
// (`trustState t{};`) before use.
struct trustState {
    // Envelope high-pass for the noise: a ring of the last 64 samples.
    float ring[64];
    uint32_t pos;
    double hp2;          // sum of squared high-pass outputs
    int64_t hpCount;
    // Block sums: the carrier from the lag-one product D[k] conj(D[k-1]).
    float dre, dim;      // previous block sum
    bool havePrev;
    double lagRe, lagIm;
    int64_t blocks;
    // The estimator's signals over the summed samples of the window.
    double env, env2, f2;
    cpx fprev;           // previous F
    double yre, yim;     // 30 Hz part of Im(F conj(Fprev)): the discriminator weighted by |F|^2
    int64_t count;
    int64_t samples;     // every sample since the start, for t
    // Sub-window circular means of the phase difference (Welford, wrapped
    // against the window's first sub-mean).
    double subRe, subIm;
    cpx subR, subS;      // sums of R and S over the sub-window
    cpx lastR, lastS;    // the previous sub-window's means
    double pR, dR, pS, dS;  // sums of |mean|^2 and of |mean - previous mean|^2
    int32_t subCount;
    double subRef, subMean, subM2;
    int32_t subs;
    // Clipping, from a sparse sample of the bytes.
    uint64_t clipSeen, clipped;
    uint32_t clipNext;   // offset of the next byte to look at in the next buffer
};

// Feeds: every buffer of bytes, every block sum (byte units), every sample.
void trustBuffer(trustState &t, const unsigned char *buf, uint32_t len);
void trustBlock(trustState &t, float re, float im);
void trustSample(trustState &t, const vorSample &s);

// Closes the window: computes its measures and the flag, and empties the
// window's accumulators. bearing and slip as the estimator reports them.
trustWindow trustClose(trustState &t, double bearing, bool slip);
