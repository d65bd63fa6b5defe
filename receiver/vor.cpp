// Bearing estimator. The 30 Hz variable tone is the envelope's amplitude
// modulation; the 30 Hz reference tone is the frequency modulation of the
// 9960 Hz subcarrier. Both are brought to 0 Hz by one locked oscillator pair,
// filtered, and the phase of reference against variable is the radial.
#include "vor.h"

#include <cmath>
#include <cstdio>

#include "settings.h"
#include "trust.h"

namespace {

constexpr double kStep = 0.0037699111843077513;     // 2 pi 30/50000: one sample of 30 Hz
constexpr double kWrapAt = 3.1378227424054854;      // pi - step
constexpr double kWrapBy = 6.2794153959952785;      // 2 pi - step
constexpr double kDiscLimit = 0.06408849013323178;  // 2 pi 510/50000: 510 Hz deviation
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kDeg = 57.29577951308232;  // degrees per radian
constexpr int64_t kRate = 50000;            // envelope samples per second
constexpr int64_t kWarmup = -5000;          // 0.1 s for the filters to settle
constexpr double kSlipDeg = 2.0;            // plain and circular mean disagree: a slip

vorState startState() {
    vorState v{};
    vorInit(v);
    return v;
}

vorState g = startState();  // the described single instance, behind vor()

}  // namespace

double windowBearing(double v, double circular) {
    double c = circular * kDeg;
    if (c < 0) c += 360.0;
    if (c >= 360.0) c -= 360.0;
    double d = std::fabs(v - c);
    if (d > 180.0) d = 360.0 - d;
    return d > kSlipDeg ? c : v;
}

namespace {

// The steps both kernels share, in the order of a call.

// Adds one step of 30 Hz and wraps by 2 pi, so that phase stays in (-pi, pi].
inline void advance(vorState &v) {
    if (v.phase > kWrapAt)
        v.phase -= kWrapBy;
    else
        v.phase += kStep;
}

// The discriminator output limited to +-510 Hz of deviation.
inline double limit(double d) {
    if (d < -kDiscLimit) d = -kDiscLimit;
    if (d > kDiscLimit) d = kDiscLimit;
    return d;
}

// Unwraps a and adds it to the window (only after the warm-up and the
// window's first sample, n > 0).
inline void accumulate(vorState &v, double a) {
    const double diff = a - v.pA;
    if (diff > kPi) v.uw -= kTwoPi;
    if (diff < -kPi) v.uw += kTwoPi;
    v.sum = (a + v.sum) + v.uw;
    ++v.summed;
}

// Counts the sample and, at the end of a window, sets its bearing and
// returns true. `turn` is added to the angle of the phasor sum (radians).
inline bool count(vorState &s, double a, double turn) {
    ++s.n;
    s.pA = a;
    // 64 bits: 50000 x interval overflows 32 bits above 42949 s.
    if (s.n > kRate * interval) {
        double v = std::fmod(s.sum * kDeg / static_cast<double>(s.n), 360.0);
        if (v < 0) v += 360.0;
        s.plainMean = v;
        if (s.summed > 0) v = windowBearing(v, std::atan2(s.pim, s.pre) + turn);
        s.bearing = v;
        s.slip = v != s.plainMean;
        s.n = 0;
        s.sum = 0.0;
        // The window's first sample is not summed but counted, so turns left
        // in the offset would not cancel in the mean: each one is 360/(N+1)
        // degrees, and after a fade into noise, hundreds of them (2 degrees
        // on every later window). pA carries over, so the unwrap stays
        // continuous across the boundary.
        s.uw = 0.0;
        s.pre = s.pim = 0.0;
        s.summed = 0;
        return true;
    }
    return false;
}

// filterStep with nothing moved: the last four inputs sit in a ring kept
// twice over (slots p to p + 3, oldest first; v.tap is p, the same for the
// three filters), and of the outputs only the two the sum reads are kept.
// The same terms in the same order as filterStep.
inline cpx step(filterState &f, unsigned p, cpx in, const filterCoef &c) {
    cpx *x = f.x + p, *y = f.y;
    const cpx out = {(x[0].re + in.re) + c.b1 * (x[1].re + x[3].re) + c.b2 * x[2].re + c.a2 * y[3].re + c.a3 * y[4].re,
                     (x[0].im + in.im) + c.b1 * (x[1].im + x[3].im) + c.b2 * x[2].im + c.a2 * y[3].im + c.a3 * y[4].im};
    x[0] = x[4] = in;
    y[3] = y[4];
    y[4] = out;
    return out;
}

}  // namespace

namespace {

// The same numbers, cheaper: sincos gives the bits of cos and sin, and the
// C library's sine is odd to the bit, so sin(-x) is -sin(x) (both are
// checked by a test on every target); the unit phasor of a comes from the
// atan2 arguments by one square root, the delay correction added to the
// circular mean once per window.
[[gnu::always_inline]] inline bool kernel(vorState &v, float envelope) {
    advance(v);

    const double r = envelope;
    double c1, s1, c2, s2;
    sincos(v.phase, &s1, &c1);
    s1 = -s1;
    const unsigned p = v.tap;
    v.tap = (p + 1) & 3;
    const cpx R = step(v.flt_r, p, {r * c1, r * s1}, coef30);

    sincos(kVorSubMul * v.phase, &s2, &c2);
    s2 = -s2;
    const cpx F = step(v.flt_f, p, {r * c2, r * s2}, coefSub);

    const double dy = F.im * v.fpr.re - F.re * v.fpr.im;
    const double disc = std::atan2(dy, F.re * v.fpr.re + F.im * v.fpr.im);
    const double d = limit(disc);
    v.fpr = F;

    const cpx S = step(v.flt_s, p, {c1 * d, s1 * d}, coef30);
    // The phasor sum so far, without this sample's: one sample late at a
    // sub-window's edge, which the spread does not notice.
    if (v.measures) trustStep(*v.measures, r, c1, s1, R, F, S, dy, disc, v.n > 0, v.pre, v.pim);

    const double y = S.im * R.re - S.re * R.im, x = S.re * R.re + S.im * R.im;
    const double a = std::atan2(y, x) + kVorDelay;

    if (v.n > 0) {
        accumulate(v, a);
        const double m = std::sqrt(x * x + y * y);
        if (m > 0) {
            v.pre += x / m;
            v.pim += y / m;
        } else {
            v.pre += 1.0;  // atan2(0, 0) is 0
        }
    }
    return count(v, a, kVorDelay);
}

}  // namespace

void vor(float envelope) {
    if (kernel(g, envelope)) std::printf("%5.1f\n", g.bearing);
}

bool vorStep(vorState &v, float envelope) { return kernel(v, envelope); }

void vorAdvance(vorState &v) { advance(v); }
double vorLimit(double d) { return limit(d); }
void vorAccumulate(vorState &v, double a) { accumulate(v, a); }
bool vorCount(vorState &v, double a, double turn) { return count(v, a, turn); }

double lastPlainMean() { return g.plainMean; }

void vorInit(vorState &v) {
    v.phase = 0;
    v.flt_r = v.flt_f = v.flt_s = filterState{};
    v.tap = 0;
    v.fpr = cpx{};
    v.pA = v.uw = v.sum = 0;
    v.n = kWarmup;
    v.pre = v.pim = 0;
    v.summed = 0;
    v.plainMean = 0;
    v.bearing = 0;
    v.slip = false;
}

void vorReset() { vorInit(g); }
