// Signal measures beside the estimator.
//
// Noise: the block sums of the front end carry the baseband's noise, white
// over the 50 kHz of envelope samples (each block sums 40 new samples). The
// station's envelope has nothing above 11 kHz (the subcarrier with its FM
// reaches 10.7 kHz), so a high-pass above 15.7 kHz sees noise alone: its
// output power over its white-noise gain is the envelope's noise variance.
//
// Carrier: the mean of D[k] conj(D[k-1]) over the window is the carrier's
// power times exp(j 2 pi offset/50 kHz); the noise of neighbouring blocks is
// independent and averages out. Unlike the mean envelope, it has no Rice
// bias: noise alone gives nearly nothing, so a missing carrier reads low.
//
// From the two, per-component noise s^2 and carrier A^2 (envelope units):
// C/N0 = A^2 / (2 s^2 / 50000 Hz).
#include "trust.h"

#include <cmath>
#include <algorithm>
#include <complex>
#include <iterator>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRate = 50000.0;        // envelope samples per second
constexpr double kScale = 0.0001953125;  // block sum to envelope units: 1/(40*128)
constexpr int kTaps = 63;                // envelope high-pass for the noise
// The correlation of the noise in neighbouring 0.1 s means of the phase:
// white noise through the 30 Hz filter (coef30), from its impulse
// response's autocorrelation r(d) over two adjacent 5000-sample blocks,
// sum min(d, 2L - d) r(d) over L r(0) + 2 sum (L - d) r(d). Beyond lag
// one it is under 1e-3.
constexpr double kSubRho = 0.1012;
constexpr double kSigmaFloor = 0.05;  // degrees: the printed tenth's rounding, and the rest

// Thresholds of the flag.
constexpr double kCarrierMin = 30.0;                 // dB-Hz: below, noise alone
constexpr double kCn0Min = 40.0;                     // dB-Hz: the discriminator clicks all the time
constexpr double kToneMin = 6.0;                     // dB: each 30 Hz tone over the noise of a 0.1 s mean
constexpr double kSubMin = -10.0;                    // dB: the subcarrier over the noise in its filter's band,
                                                     // many standard errors of its estimate above none
constexpr double kDevLow = 300.0, kDevHigh = 700.0;  // Hz
constexpr double kSigmaMax = 1.0;                    // degrees
// A window whose unwrap slipped prints the circular mean, which is right when
// the slip came from large but brief swings of the phase difference (speech,
// a recording's audio path). When it came from the clicks of a discriminator
// below its threshold, the reference phase itself was disturbed more than
// the sub-window spread shows. Measured on generated stations: slipped
// windows with sigma up to 0.6 degrees were all within 2 degrees; at 48 dB-Hz,
// a third of those with sigma 0.6-1 degrees were not.
constexpr double kSlipSigmaMax = 0.6;
constexpr double kClipMax = 0.05;
// A station's 30 Hz clock and subcarrier off by more than these (Hz, over
// the last 10 s) are allowed for in the deviation. Below, the loss is under
// 0.3 % over 2 s and 1 % from the subcarrier, and the estimates of the
// offsets are within their own noise at 45 dB-Hz: a station on its
// frequencies reads as it always did.
constexpr double kClockOff = 0.02, kSubOff = 15.0;

const char *const kNames[kReasonCount] = {"no_carrier", "low_cn0", "no_var30", "no_subcarrier", "no_ref30",
                                          "deviation",  "sigma",   "slip",     "clipping"};

std::complex<double> response(const filterCoef &c, double hz) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * hz / kRate);
    const std::complex<double> z2 = z1 * z1, z3 = z2 * z1, z4 = z2 * z2;
    return (1.0 + c.b1 * z1 + c.b2 * z2 + c.b1 * z3 + z4) / (1.0 - c.a3 * z1 - c.a2 * z2);
}

// Sum of the squared impulse response: output power for white input of power 1.
double noiseGain(const filterCoef &c) {
    filterState f{};
    double g = 0;
    for (int k = 0; k < 40000; ++k) {
        const cpx y = filterStep(f, {k == 0 ? 1.0 : 0.0, 0.0}, c);
        g += y.re * y.re;
    }
    return g;
}

struct Tables {
    float hp[kTaps];
    double hpGain;  // sum of hp^2
    double g30;     // 30 Hz set: gain at 0 Hz
    double gSub, nSub;
    Tables() {
        // High-pass = delay minus a Blackman-windowed sinc low-pass cut at
        // 13.5 kHz: stop band (-74 dB) below 11.3 kHz, pass band above 15.7 kHz.
        const double fc = 13500.0 / kRate;
        const int mid = kTaps / 2;
        hpGain = 0;
        for (int k = 0; k < kTaps; ++k) {
            const double x = k - mid;
            const double sinc = k == mid ? 2 * fc : std::sin(2 * kPi * fc * x) / (kPi * x);
            const double w =
                0.42 - 0.5 * std::cos(2 * kPi * k / (kTaps - 1)) + 0.08 * std::cos(4 * kPi * k / (kTaps - 1));
            const double h = (k == mid ? 1.0 : 0.0) - sinc * w;
            hp[k] = static_cast<float>(h);
            hpGain += static_cast<double>(hp[k]) * hp[k];
        }
        g30 = std::abs(response(coef30, 0));
        gSub = std::abs(response(coefSub, 0));
        nSub = noiseGain(coefSub);
    }
};

const Tables &tables() {
    static const Tables t;
    return t;
}

// Rice statistics with per-component noise variance 1 and K = A^2/2:
// the variance of the envelope.
double riceVariance(double K) {
    if (K > 400) return 1.0 - 1.0 / (8.0 * K * K);
    const double x = K / 2;
    const double L = std::exp(-x) * ((1 + K) * std::cyl_bessel_i(0.0, x) + K * std::cyl_bessel_i(1.0, x));
    return 2 * (K + 1) - kPi / 2 * L * L;
}

// Mean |H_sub(f)|^2 / |H_sub(0)|^2 over a cycle of f = off + dev cos(theta):
// the subcarrier filter's power response as the FM sweeps through it.
double subSweep(double devHz, double offHz = 0) {
    const double g0 = tables().gSub;
    double s = 0;
    constexpr int kPoints = 32;
    for (int k = 0; k < kPoints; ++k) {
        const double h = std::abs(response(coefSub, offHz + devHz * std::cos(2 * kPi * (k + 0.5) / kPoints))) / g0;
        s += h * h;
    }
    return s / kPoints;
}

// The riceVariance envelope's slope against the carrier, dE[r]/dA.
double riceMean(double K) {  // E[r] for unit noise variance per component
    const double x = K / 2;
    return std::sqrt(kPi / 2) * std::exp(-x) * ((1 + K) * std::cyl_bessel_i(0.0, x) + K * std::cyl_bessel_i(1.0, x));
}
double riceSlope(double K) {
    if (K > 400) return 1.0;
    const double A = std::sqrt(2 * K), h = 1e-4 * (A + 1e-3);
    return (riceMean((A + h) * (A + h) / 2) - riceMean(std::max(0.0, A - h) * std::max(0.0, A - h) / 2)) /
           (A + h - std::max(0.0, A - h));
}

// Mean |H_sub(f)|^2 cos^2(theta) / mean |H_sub(f)|^2 over f = dev cos(theta):
// 1/2 for a flat filter.
double subCos2(double devHz) {
    const double g0 = tables().gSub;
    double s = 0, c = 0;
    constexpr int kPoints = 32;
    for (int k = 0; k < kPoints; ++k) {
        const double th = 2 * kPi * (k + 0.5) / kPoints;
        const double h = std::abs(response(coefSub, devHz * std::cos(th))) / g0;
        s += h * h;
        c += h * h * std::cos(th) * std::cos(th);
    }
    return c / s;
}

// The same for a subcarrier off its 9960 Hz by offHz: the 30 Hz part of
// |H_sub(f)|^2 f over mean |H_sub(f)|^2, over dev (so subCos2 at offHz 0):
// off the centre, the filter's slope turns the offset itself into a 30 Hz
// tone of the weighted discriminator.
double subCos2(double devHz, double offHz) {
    double s = 0, c = 0;
    constexpr int kPoints = 32;
    for (int k = 0; k < kPoints; ++k) {
        const double th = 2 * kPi * (k + 0.5) / kPoints;
        const double f = offHz + devHz * std::cos(th);
        const double h = std::abs(response(coefSub, f));
        s += h * h;
        c += h * h * f * std::cos(th);
    }
    return c / s / devHz;
}

// The 40-pair block sum's amplitude response at hz from the tuned frequency.
double boxcar(double hz) {
    const double x = kPi * hz / 2000000.0;
    return std::fabs(x) < 1e-12 ? 1.0 : std::sin(40 * x) / (40 * std::sin(x));
}

double wrapPi(double x) {
    x = std::fmod(x, 2 * kPi);
    if (x > kPi) x -= 2 * kPi;
    if (x < -kPi) x += 2 * kPi;
    return x;
}

double dB(double x) { return 10.0 * std::log10(x); }

// The envelope of a carrier in noise is not linear below about 55 dB-Hz
// (K = A^2 / 2 s2 under 20): its slope passes each tone, but its third-order
// terms take a little more of one tone the deeper the other is (twice as
// much as of itself), 3 % of both at 50 dB-Hz. The depths the slope gave are
// the tones' fundamentals over A times the slope; each is solved again
// against the fundamentals of the mean envelope over a grid of both tones'
// phases, the other at its own depth.
// A: the carrier as the envelope has it; subGain: what the block sum left
// of the subcarrier's sidebands against it.
void toneDepths(trustWindow &w, double A, double s2, double subGain) {
    const double K = A * A / (2 * s2);
    if (!(K > 0 && K < 20) || !(w.varDepth > 0 && w.varDepth < 1) || !(w.subDepth >= 0 && w.subDepth < 1)) return;
    const double sd = std::sqrt(s2), slope = riceSlope(K);
    double m[2] = {w.varDepth, w.subDepth * subGain};             // as the envelope has them
    const double want[2] = {m[0] * A * slope, m[1] * A * slope};  // the fundamentals measured
    constexpr int kGrid = 8;  // the mean of a smooth periodic function: a few points are exact
    double c[kGrid];
    for (int k = 0; k < kGrid; ++k) c[k] = std::cos(2 * kPi * (k + 0.5) / kGrid);
    for (int it = 0; it < 3; ++it) {
        double got[2] = {0, 0};
        for (int i = 0; i < kGrid; ++i)
            for (int j = 0; j < kGrid; ++j) {
                const double a = std::fabs(A * (1 + m[0] * c[i] + m[1] * c[j])) / sd;
                const double e = sd * riceMean(a * a / 2);
                got[0] += 2 * e * c[i];
                got[1] += 2 * e * c[j];
            }
        for (int k = 0; k < 2; ++k) {
            got[k] /= kGrid * kGrid;
            if (m[k] > 0 && got[k] > 0) m[k] *= want[k] / got[k];
        }
    }
    w.varDepth = m[0];
    w.subDepth = m[1] / subGain;
}

}  // namespace

const char *trustReasonName(int k) { return k >= 0 && k < kReasonCount ? kNames[k] : "?"; }

void trustNoise(trustState &t) {
    // The symmetric high-pass on the newest 63 samples.
    const float *h = tables().hp;
    const uint64_t last = t.pos - 1;
    if (last < kTaps) return;
    constexpr int mid = kTaps / 2;
    float y = h[mid] * t.ring[(last - mid) & 63];
    for (int k = 0; k < mid; ++k) y += h[k] * (t.ring[(last - k) & 63] + t.ring[(last - (kTaps - 1 - k)) & 63]);
    t.hp2 += static_cast<double>(y) * y;
    ++t.hpCount;
}

double trustHighPassPower(const float *x, size_t n) {
    const float *h = tables().hp;
    double p = 0;
    size_t count = 0;
    for (size_t k = 0; k + kTaps <= n; k += 7, ++count) {
        double y = 0;
        for (int i = 0; i < kTaps; ++i) y += static_cast<double>(h[i]) * x[k + static_cast<size_t>(i)];
        p += y * y;
    }
    return count > 0 ? p / static_cast<double>(count) / tables().hpGain : 0.0;
}

namespace {

// The weighted discriminator's 30 Hz part since the last sub-window, turned
// back by the station's 30 Hz clock error as the sub-windows before showed
// it: summed over a window as it is, a tone 0.3 Hz off (a station 1 % off)
// would lose half of itself over 2 s.
void turnTone(trustState &t, double now) {
    const double a = -2 * kPi * t.f30Off * now;
    const double c = std::cos(a), s = std::sin(a), re = t.yre - t.yreTaken, im = t.yim - t.yimTaken;
    t.yTurnedRe += re * c - im * s;
    t.yTurnedIm += re * s + im * c;
    t.yreTaken = t.yre;
    t.yimTaken = t.yim;
}

}  // namespace

double trustClock(const trustState &t, double now, double span, double &disc) {
    const int64_t have = std::min<int64_t>(t.keptCount, kTrustSubKeep);
    double sx = 0, sy = 0, sxx = 0, sxy = 0, last = 0, turns = 0, d = 0, lastT = 0;
    int n = 0;
    for (int64_t k = t.keptCount - have; k < t.keptCount; ++k) {
        const trustSub &s = t.kept[k % kTrustSubKeep];
        if (s.t < now - span) continue;
        const double a = std::atan2(s.S.im, s.S.re);
        // Only the last stretch without a gap: a station heard in turn
        // starts its oscillator again on each turn.
        if (n > 0 && s.t - lastT > 0.15) sx = sy = sxx = sxy = turns = d = n = 0;
        lastT = s.t;
        if (n > 0) {
            if (a - last > kPi) turns -= 2 * kPi;
            if (a - last < -kPi) turns += 2 * kPi;
        }
        last = a;
        const double x = s.t - now, y = a + turns;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        d += s.disc;
        ++n;
    }
    disc = n > 0 ? d / n : NAN;
    if (n < 20) return NAN;  // 2 s at least
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    return 30.0 + slope / (2 * kPi);
}

void trustSubWindow(trustState &t, double pre, double pim) {
    t.subCount = 0;
    // Tones: the sub-window means of R and S hold the 30 Hz tones (which
    // turn only slowly, by a station's clock error), while wide-band noise,
    // the 60 Hz image and other tones average out; differences of
    // neighbouring means hold only their noise.
    constexpr double kTaken = kTrustSubLen / 8;
    const cpx mR{t.subR.re / kTaken, t.subR.im / kTaken}, mS{t.subS.re / kTaken, t.subS.im / kTaken};
    t.pR += mR.re * mR.re + mR.im * mR.im;
    t.pS += mS.re * mS.re + mS.im * mS.im;
    if (t.subs > 0) {
        t.dR += (mR.re - t.lastR.re) * (mR.re - t.lastR.re) + (mR.im - t.lastR.im) * (mR.im - t.lastR.im);
        t.dS += (mS.re - t.lastS.re) * (mS.re - t.lastS.re) + (mS.im - t.lastS.im) * (mS.im - t.lastS.im);
    }
    t.lastR = mR;
    t.lastS = mS;
    const double now = static_cast<double>(t.pos) / kRate;
    t.kept[t.keptCount++ % kTrustSubKeep] = trustSub{now, mS, t.subD / kTaken};
    t.subR = t.subS = cpx{};
    t.subD = 0;
    turnTone(t, now);
    // The sub-window's circular mean, from the slip check's phasor sum: a
    // turn gained or lost by the unwrap changes nothing.
    const double m = std::atan2(pim - t.lastPim, pre - t.lastPre);
    t.lastPre = pre;
    t.lastPim = pim;
    if (t.subs == 0) t.subRef = m;
    const double x = wrapPi(m - t.subRef);
    ++t.subs;
    const double delta = x - t.subMean;
    t.subMean += delta / t.subs;
    t.subM2 += delta * (x - t.subMean);
}

unsigned trustFlag(const trustWindow &w) {
    unsigned r = 0;
    if (!(w.cn0 >= kCarrierMin))
        r |= kNoCarrier;
    else if (!(w.cn0 >= kCn0Min))
        r |= kLowCn0;
    if (!(w.varSnr >= kToneMin)) r |= kNoVar30;
    if (!(w.subSnr >= kSubMin)) r |= kNoSubcarrier;
    if (!(w.refSnr >= kToneMin)) r |= kNoRef30;
    if (!(w.deviationHz >= kDevLow && w.deviationHz <= kDevHigh)) r |= kDeviation;
    if (!(w.sigma <= kSigmaMax)) r |= kSigma;
    if (w.slip && !(w.sigma <= kSlipSigmaMax)) r |= kSlip;
    if (w.clip > kClipMax) r |= kClipping;
    return r;
}

trustWindow trustClose(trustState &t, double bearing, bool slip) {
    const Tables &tb = tables();
    trustWindow w{};
    w.t = static_cast<double>(t.pos) / kRate;
    w.radial = bearing;
    w.slip = slip;
    const double nan = NAN;
    w.carrierHz = nan;
    const double n = t.count >= 8 ? static_cast<double>(t.count / 8) : nan;  // samples taken

    // The envelope's noise variance (a Rice envelope's, at low C/N0).
    const double v = t.hpCount > 0
                         ? t.hp2 / static_cast<double>(t.hpCount) / tb.hpGain / (t.noiseShape > 0 ? t.noiseShape : 1.0)
                         : nan;

    // Carrier power from the lag-one product, corrected for the block sum's
    // loss at the carrier's offset from the tuned frequency.
    double A2 = nan, offsetHz = 0, box = 1.0;
    if (t.lags > 0) {
        const double lag = std::hypot(t.lagRe, t.lagIm) / static_cast<double>(t.lags) * kScale * kScale;
        offsetHz = std::atan2(t.lagIm, t.lagRe) * kRate / (2 * kPi);
        w.carrierHz = offsetHz;
        // The modulation's sidebands and the noise pull the lag-one angle a
        // little (20 Hz at 1.2 kHz); over 64 blocks they pull 64 times less.
        if (t.fars > 0) {
            constexpr double kFar = 64 / kRate;  // seconds
            const double a = std::atan2(t.farIm, t.farRe);
            const double turns = std::round(offsetHz * kFar - a / (2 * kPi));
            w.carrierHz = (a / (2 * kPi) + turns) / kFar;
        }
        box = t.flat ? 1.0 : boxcar(offsetHz);
        A2 = lag / (box * box);
    } else if (t.count >= 8) {
        const double m = t.env / n;  // no block sums (envelope input): the mean envelope
        A2 = m * m;
    }

    // The block sum loses a little at the subcarrier's sidebands (0.57 dB at
    // +-9960 Hz from a centred carrier); the mean of the two.
    const double boxSub = t.flat ? 1.0 : (boxcar(offsetHz + 9960.0) + boxcar(offsetHz - 9960.0)) / 2;

    // Deviation from y = Im(F conj(Fprev)), the discriminator weighted by
    // |F|^2: its noise has mean zero at any C/N0, so unlike the limited
    // discriminator it does not lose its 30 Hz tone to clicks below the FM
    // threshold. For a flat filter the 30 Hz amplitude of y is |F|^2 times
    // the peak deviation; the filter's slope over the sweep is allowed for.
    const double psF = t.f2 / n;
    const double pF = psF - v * tb.nSub;  // the subcarrier's own power in F
    // A station's clock and subcarrier may each be 1 % off. Below
    // kClockOff and kSubOff the corrections are smaller than the figures'
    // own noise, and a station on its frequencies reads as it always did.
    const double f30Off = std::fabs(t.f30Off) > kClockOff ? t.f30Off : 0.0;
    double Y = 2 * std::hypot(t.yre, t.yim) / n;
    if (f30Off != 0) {
        turnTone(t, w.t);
        // Each sub-window's own turn costs a little too.
        const double x = kPi * f30Off * kTrustSubLen / kRate;
        Y = 2 * std::hypot(t.yTurnedRe, t.yTurnedIm) / n * x / std::sin(x);
    }
    const double subOff = std::fabs(t.subOffHz) > kSubOff ? t.subOffHz : 0.0;
    double dev = pF > 0 ? Y / pF : nan;  // radians per sample
    for (int it = 0; it < 4 && std::isfinite(dev); ++it)
        dev =
            Y / (2 * pF * (subOff == 0 ? subCos2(dev * kRate / (2 * kPi)) : subCos2(dev * kRate / (2 * kPi), subOff)));
    w.deviationHz = dev * kRate / (2 * kPi);
    const double sweep = std::isfinite(dev) ? subSweep(w.deviationHz, subOff) : 1.0;

    // The variable tone's power in R, from the sub-window means (the
    // subcarrier, the 60 Hz image and wide-band noise average out of them).
    // A station's clock off by f30Off turns R by 2 pi f30Off 0.1 s from one
    // sub-window to the next, which the neighbours' differences count as
    // noise, and its filter passes the tone a little less.
    double pVar = t.subs >= 2 ? std::max(0.0, t.pR / t.subs - t.dR / (t.subs - 1) / 2) : nan;
    if (f30Off != 0) {
        const double turn = 2 * kPi * f30Off * kTrustSubLen / kRate, g = std::abs(response(coef30, f30Off)) / tb.g30;
        pVar = t.subs >= 2 ? std::max(0.0, t.pR / t.subs - t.dR / (t.subs - 1) / 2) / std::cos(turn) / (g * g) : nan;
    }

    // The modulation's power also shows in the lag-one product: slow
    // modulation (the 30 Hz tone, an ident, speech) in full, the subcarrier
    // by cos(2 pi 9960/50000). The tones' share follows from their depths,
    // which need A: A and the depths are solved together. Whatever slow
    // modulation the envelope's variance holds beyond the tones (the
    // variance less its noise) is added; the variance alone would not do
    // for the tones, as its noise is only known to a few per cent in the
    // Rice regime, which is the tones' whole share below 50 dB-Hz.
    const double modPower = t.count >= 8 ? t.env2 / n - (t.env / n) * (t.env / n) - v : nan;
    const double lagged = A2;
    const double subLag = std::cos(2 * kPi * 9960 / kRate);
    double s2 = v, A = std::sqrt(A2), K = 0;
    for (int pass = 0; pass < 4; ++pass) {
        for (int it = 0; it < 30 && A2 > 0 && v > 0; ++it) {
            K = A2 / (2 * s2);
            s2 = v / riceVariance(K);
        }
        K = s2 > 0 ? A2 / (2 * s2) : INFINITY;
        A = std::sqrt(A2);
        // An envelope detector passes less of the modulation when the noise
        // is strong (its slope dE[r]/dA falls below 1).
        // (Of the carrier the envelope has: the block sum took its share.)
        const double slope = riceSlope(K * box * box);
        // The 30 Hz sidebands lie beside the carrier and lose what it loses
        // in the block sum: 8 % with a dongle 100 ppm off.
        w.varDepth = 2 * std::sqrt(pVar) / (tb.g30 * A * slope * box);
        w.subDepth = 2 * std::sqrt(std::max(0.0, pF) / sweep) / (tb.gSub * A * slope * boxSub);
        if (pass < 3 && t.lags > 0) {
            // (A depth above 1 is noise read as a tone: it is not a share.)
            const double var2 =
                std::isfinite(w.varDepth) ? std::min(w.varDepth, 1.0) * std::min(w.varDepth, 1.0) / 2 : 0;
            const double sub2 =
                std::isfinite(w.subDepth) ? std::min(w.subDepth, 1.0) * std::min(w.subDepth, 1.0) / 2 : 0;
            const double rest = modPower > 0 ? modPower / (slope * slope * A2) - var2 - sub2 : 0;
            A2 = lagged / (1 + var2 + sub2 * subLag + std::max(0.0, rest));
        }
    }
    toneDepths(w, A * box, s2, boxSub / box);
    w.cn0 = dB(K * kRate);
    w.carrierAmp = A * box;  // as the envelope has it
    w.envSlope = riceSlope(K * box * box);
    w.levelDbfs = 20 * std::log10(A * 128.0 / 127.5);
    w.noiseLsb = std::sqrt(s2 * 5120.0 * 5120.0 / 40.0);
    w.subSnr = dB(std::max(0.0, pF) / (v * tb.nSub));
    // Each 30 Hz tone's power against the noise of a sub-window mean.
    if (t.subs >= 2) {
        const double m = t.subs, pairs = t.subs - 1;
        w.varSnr = dB(std::max(0.0, t.pR / m - t.dR / pairs / 2) / (t.dR / pairs / 2));
        w.refSnr = dB(std::max(0.0, t.pS / m - t.dS / pairs / 2) / (t.dS / pairs / 2));
    } else {
        w.varSnr = w.refSnr = nan;
    }
    w.clip = t.clipSeen > 0 ? static_cast<double>(t.clipped) / static_cast<double>(t.clipSeen) : nan;

    // Bearing uncertainty: the spread of the 0.1 s sub-window means, over
    // the square root of their number.
    if (t.subs >= 2) {
        const double sd = std::sqrt(t.subM2 / (t.subs - 1)) * 57.29577951308232;
        // Neighbouring means share noise through the 30 Hz filters' memory,
        // so their mean varies more than sd^2 / N, and their spread reads a
        // little less than each one's own: with lag-one correlation rho,
        // the variance of the mean is sd^2 / N times kappa.
        const double m = t.subs, kappa = (1 + 2 * kSubRho * (m - 1) / m) / (1 - 2 * kSubRho / m);
        w.sigma = std::sqrt(sd * sd / m * kappa + kSigmaFloor * kSigmaFloor);
    } else {
        w.sigma = nan;
    }

    w.reasons = trustFlag(w);

    // Empty the window; the high-pass ring, the block pairing and the clip
    // stride carry over.
    trustState next{};
    std::copy(std::begin(t.ring), std::end(t.ring), next.ring);
    next.pos = t.pos;
    next.dre = t.dre;
    next.dim = t.dim;
    next.blockPhase = t.blockPhase;
    next.clipNext = t.clipNext;
    next.farLag = t.farLag;
    next.lock = t.lock;
    std::copy(std::begin(t.far), std::end(t.far), next.far);
    next.farAt = t.farAt;
    next.flat = t.flat;
    next.noiseShape = t.noiseShape;
    std::copy(std::begin(t.kept), std::end(t.kept), next.kept);
    next.keptCount = t.keptCount;
    double disc;
    next.f30Off = trustClock(t, w.t, 10.0, disc) - 30.0;
    next.subOffHz = disc * kRate / (2 * kPi);
    if (!std::isfinite(next.f30Off)) next.f30Off = 0;
    if (!std::isfinite(next.subOffHz)) next.subOffHz = 0;
    t = next;
    return w;
}
