// Weak-signal bearing estimator.
//
// Per sample: the envelope is mixed by -9960 Hz (a table of 1250 entries,
// the mixing's exact period) and filtered and decimated to 5 kHz; the
// variable tone is summed against a 30 Hz table (5000 entries, 3 cycles)
// over each 0.1 s segment, from the envelope delayed as the filter delays
// the subcarrier.
//
// Per chunk of up to 20 segments (2 s):
//  1. the clock: the 30 Hz tones' frequency from the turn of the variable
//     tone's segment sums;
//  2. the subcarrier's offset modulo the line spacing, from the product of
//     the baseband with itself one reference period earlier, where the FM
//     cancels;
//  3. the sum of each segment against each line of the comb;
//  4. the whole offset and the index from the lines' amplitudes against
//     |J_n(beta)| (the pattern of a Bessel comb is distinctive line by line);
//  5. per segment, the reference phase: the maximum over phi of
//     |sum_n J_n(beta) Z_n exp(-j n phi)|, the coherent fit, by a 64-point
//     search and Newton's method.
// A segment's bearing phasor is the reference's unit phasor times the
// conjugate of its variable-tone sum, both in the same 30 Hz frame; the
// window's bearing is the angle of their sum.
#include "weak.h"

#include <liquid/liquid.h>

#include <algorithm>
#include <cmath>
#include <iterator>

#include "cpxops.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kDeg = 57.29577951308232;
constexpr int kMixPeriod = 1250;             // 9960/50000 = 249/1250
constexpr int kFramePeriod = 5000;           // 30/50000 = 3/5000
constexpr int kDelay = (kWeakTaps - 1) / 2;  // the filter's delay, samples
constexpr int kVarDelay = 35;                // the variable tone's delay: segment centres 0.5 samples apart
constexpr double kURate = 50000.0 / kWeakDecim;
constexpr int kLines = 24;              // |n| of the fitted lines: J_n(18) is below 0.02 beyond
constexpr int kShift = 4;               // whole line spacings the offset may span: 120 Hz, 1.2 %
constexpr int kSpan = kLines + kShift;  // lines summed, each side
constexpr int kAll = 2 * kSpan + 1;
constexpr int kFit = 2 * kLines + 1;
constexpr double kBetaLow = 13.0, kBetaStep = 0.25;  // FM index 14-18, and a margin
constexpr int kBetas = 25;
constexpr int kGrid = 64;             // coarse phase search: 5.6 degrees, the peak 17 wide
constexpr double kSigmaFloor = 0.05;  // degrees, as the default estimator's
constexpr double kMaxToneOff = 0.45;  // Hz: 1.5 % of 30 Hz

struct Tables {
    float mix[kMixPeriod][2];      // exp(-j 2 pi 9960 i/50000)
    float frame[kFramePeriod][2];  // exp(-j 2 pi 30 i/50000)
    double h[kWeakTaps];           // decimation filter, DC gain 1
    double J[kBetas][kFit];        // J_n(beta), n = -kLines ... kLines
    double grid[kGrid][2];         // exp(-j 2 pi i/64)
    Tables() {
        for (int i = 0; i < kMixPeriod; ++i) {
            const double a = kTwoPi * 249.0 * i / kMixPeriod;
            mix[i][0] = static_cast<float>(std::cos(a));
            mix[i][1] = static_cast<float>(-std::sin(a));
        }
        for (int i = 0; i < kFramePeriod; ++i) {
            const double a = kTwoPi * 3.0 * i / kFramePeriod;
            frame[i][0] = static_cast<float>(std::cos(a));
            frame[i][1] = static_cast<float>(-std::sin(a));
        }
        // Pass band to 870 Hz (the comb's last lines at 1 % offsets), stop
        // band (80 dB) from 4130 Hz, which folds onto the pass band at 5 kHz.
        float f[kWeakTaps];
        liquid_firdes_kaiser(kWeakTaps, 0.05f, 80.0f, 0.0f, f);
        double s = 0;
        for (float v : f) s += v;
        for (int k = 0; k < kWeakTaps; ++k) h[k] = f[k] / s;
        for (int b = 0; b < kBetas; ++b) {
            const double beta = kBetaLow + kBetaStep * b;
            for (int n = 0; n <= kLines; ++n) {
                const double j = std::cyl_bessel_j(static_cast<double>(n), beta);
                J[b][kLines + n] = j;
                J[b][kLines - n] = n % 2 ? -j : j;
            }
        }
        for (int i = 0; i < kGrid; ++i) {
            grid[i][0] = std::cos(kTwoPi * i / kGrid);
            grid[i][1] = -std::sin(kTwoPi * i / kGrid);
        }
    }
};

const Tables &tables() {
    static const Tables t;
    return t;
}

// f(phi) = sum_n a_n exp(-j n phi) and its first two derivatives.
struct fitValue {
    cpx f, d1, d2;
};
fitValue evaluate(const cpx *a, double phi) {
    const cpx z = polar(-phi);
    fitValue v{a[kLines], {0, 0}, {0, 0}};
    cpx p{1, 0};
    for (int n = 1; n <= kLines; ++n) {
        p = mul(p, z);             // exp(-j n phi)
        const cpx q{p.re, -p.im};  // exp(+j n phi)
        const cpx up = mul(a[kLines + n], p), dn = mul(a[kLines - n], q);
        const double nn = static_cast<double>(n);
        v.f.re += up.re + dn.re;
        v.f.im += up.im + dn.im;
        // d/dphi: -j n for +n, +j n for -n.
        v.d1.re += nn * (up.im - dn.im);
        v.d1.im += nn * (dn.re - up.re);
        v.d2.re -= nn * nn * (up.re + dn.re);
        v.d2.im -= nn * nn * (up.im + dn.im);
    }
    return v;
}

// The phase that maximises |f|^2 near phi, by Newton's method.
double refine(const cpx *a, double phi, int steps) {
    for (int it = 0; it < steps; ++it) {
        const fitValue v = evaluate(a, phi);
        const double g = 2 * (v.f.re * v.d1.re + v.f.im * v.d1.im);
        const double h = 2 * (norm(v.d1) + v.f.re * v.d2.re + v.f.im * v.d2.im);
        if (!(h < 0)) break;  // not at a maximum's hill: keep the grid's point
        const double step = std::clamp(-g / h, -0.05, 0.05);
        phi += step;
        if (std::fabs(step) < 1e-9) break;
    }
    return phi;
}

// Working space of a chunk's fit (nothing in it outlives the call).
struct {
    cpx lines[kWeakChunk * kAll];
    cpx fitted[kWeakChunk * kFit];
    double phi[kWeakChunk], fit[kWeakChunk], noise[kWeakChunk], level[kWeakChunk], sorted[kWeakChunk];
    cpx bearing[kWeakChunk];
} scratch;

// The fit of one chunk's segments, added to the window.
void fitChunk(weakState &w) {
    const Tables &tb = tables();
    const int K = w.segs;
    if (K == 0) return;

    // 1. The clock, from the variable tone's turn per segment.
    cpx turn{0, 0};
    for (int k = 1; k < K; ++k) {
        const cpx t = mulConj(w.var[k], w.var[k - 1]);
        turn.re += t.re;
        turn.im += t.im;
    }
    if (K >= 3 && norm(turn) > 0) {
        const double off = std::atan2(turn.im, turn.re) * 50000.0 / (kTwoPi * kWeakSegLen);
        w.toneHz = 30.0 + std::clamp(off, -kMaxToneOff, kMaxToneOff);
    }

    // 2. The subcarrier's offset modulo the line spacing: u(t) conj(u(t - T))
    // with T one reference period holds no FM.
    const int n = w.uCount;
    const int lag = static_cast<int>(std::lround(kURate / w.toneHz));
    cpx prod{0, 0};
    for (int j = lag; j < n; ++j) {
        const cpx t = mulConj(w.u[j], w.u[j - lag]);
        prod.re += t.re;
        prod.im += t.im;
    }
    double frac = 0;
    if (norm(prod) > 0) frac = std::atan2(prod.im, prod.re) * kURate / (kTwoPi * lag);

    // 3. Each segment against each line, centred on the segment's middle.
    cpx *Z = scratch.lines;  // K x kAll
    const double mid = (kWeakSegU - 1) / 2.0;
    for (int m = -kSpan; m <= kSpan; ++m) {
        const double f = frac + m * w.toneHz;
        const cpx step = polar(-kTwoPi * f / kURate);
        const cpx centre = polar(kTwoPi * f * mid / kURate);
        for (int k = 0; k < K; ++k) {
            // Horner: sum_j u_j step^j, from the last sample back.
            const cpx *u = w.u + static_cast<size_t>(k) * kWeakSegU;
            cpx s = u[kWeakSegU - 1];
            for (int j = kWeakSegU - 2; j >= 0; --j) {
                s = mul(s, step);
                s.re += u[j].re;
                s.im += u[j].im;
            }
            Z[static_cast<size_t>(k) * kAll + static_cast<size_t>(m + kSpan)] = mul(s, centre);
        }
    }

    // 4. The whole offset and the index: the lines' amplitudes against |J_n|.
    double amp[kAll];
    for (int m = 0; m < kAll; ++m) {
        double p = 0;
        for (int k = 0; k < K; ++k) p += norm(Z[static_cast<size_t>(k) * kAll + static_cast<size_t>(m)]);
        amp[m] = std::sqrt(p);
    }
    int bestQ = 0, bestB = 12;
    double best = -1;
    for (int q = -kShift; q <= kShift; ++q)
        for (int b = 0; b < kBetas; ++b) {
            double s = 0;
            for (int i = 0; i < kFit; ++i) s += std::fabs(tb.J[b][i]) * amp[i + kShift + q];
            if (s > best) {
                best = s;
                bestQ = q;
                bestB = b;
            }
        }

    // 5. Per segment, the reference phase at the pattern's index; then the
    // index that fits the segments best, and the phases again at it.
    cpx *c = scratch.fitted;  // K x kFit
    double *phi = scratch.phi;
    cpx a[kFit];
    for (int k = 0; k < K; ++k) {
        cpx *ck = &c[static_cast<size_t>(k) * kFit];
        for (int i = 0; i < kFit; ++i)
            ck[i] = Z[static_cast<size_t>(k) * kAll + static_cast<size_t>(i + kShift + bestQ)];
        for (int i = 0; i < kFit; ++i) a[i] = {tb.J[bestB][i] * ck[i].re, tb.J[bestB][i] * ck[i].im};
        int g0 = 0;
        double top = -1;
        for (int g = 0; g < kGrid; ++g) {
            cpx f{0, 0};
            for (int i = 0; i < kFit; ++i) {
                const int idx = ((i - kLines) * g) & (kGrid - 1);
                const cpx e{tb.grid[idx][0], tb.grid[idx][1]};
                const cpx t = mul(a[i], e);
                f.re += t.re;
                f.im += t.im;
            }
            if (norm(f) > top) {
                top = norm(f);
                g0 = g;
            }
        }
        phi[static_cast<size_t>(k)] = refine(a, kTwoPi * g0 / kGrid, 3);
    }
    double bestFit = -1, score[kBetas];
    int beta = bestB;
    for (int b = 0; b < kBetas; ++b) {
        double &s = score[b];
        s = 0;
        for (int k = 0; k < K; ++k) {
            const cpx *ck = &c[static_cast<size_t>(k) * kFit];
            for (int i = 0; i < kFit; ++i) a[i] = {tb.J[b][i] * ck[i].re, tb.J[b][i] * ck[i].im};
            s += std::sqrt(norm(evaluate(a, phi[static_cast<size_t>(k)]).f));
        }
        if (s > bestFit) {
            bestFit = s;
            beta = b;
        }
    }
    double jj = 0;
    for (int i = 0; i < kFit; ++i) jj += tb.J[beta][i] * tb.J[beta][i];
    double *fit = scratch.fit, *noise = scratch.noise, *level = scratch.level;
    cpx *bear = scratch.bearing;
    for (int k = 0; k < K; ++k) {
        const cpx *ck = &c[static_cast<size_t>(k) * kFit];
        for (int i = 0; i < kFit; ++i) a[i] = {tb.J[beta][i] * ck[i].re, tb.J[beta][i] * ck[i].im};
        const double p = refine(a, phi[static_cast<size_t>(k)], 3);
        fit[k] = norm(evaluate(a, p).f) / jj;  // the fitted comb's power
        double all = 0;
        for (int i = 0; i < kFit; ++i) all += norm(ck[i]);
        noise[k] = std::max(0.0, all - fit[k]) / (kFit - 1);
        // The segment's bearing phasor in the 30 Hz frame.
        bear[k] = mulConj(polar(p - w.frame[k]), w.var[k]);
        level[k] = std::sqrt(norm(w.var[k]));
    }
    // A segment whose subcarrier or variable tone fell to half the chunk's
    // median (a dropout in a recording, a burst) says little and may be
    // far off: it is left out. Noise alone never comes near: at 40 dB-Hz
    // both figures vary by a few per cent.
    double fitMin = 0, levelMin = 0;
    if (K >= 5) {
        std::copy(fit, fit + K, scratch.sorted);
        std::nth_element(scratch.sorted, scratch.sorted + K / 2, scratch.sorted + K);
        fitMin = 0.5 * scratch.sorted[K / 2];
        std::copy(level, level + K, scratch.sorted);
        std::nth_element(scratch.sorted, scratch.sorted + K / 2, scratch.sorted + K);
        levelMin = 0.5 * scratch.sorted[K / 2];
    }
    for (int k = 0; k < K; ++k) {
        if (fit[k] < fitMin || level[k] < levelMin) continue;
        w.fitPower += fit[k];
        w.fitNoise += noise[k];
        const cpx b = bear[k];
        w.bearingSum.re += b.re;
        w.bearingSum.im += b.im;
        const double ang = std::atan2(b.im, b.re);
        if (w.segments == 0) w.ref = ang;
        const double x = wrapPi(ang - w.ref), i = w.segments++;
        w.sumI += i;
        w.sumII += i * i;
        w.sumX += x;
        w.sumXX += x * x;
        w.sumIX += i * x;
    }
    w.offsetHz = frac + bestQ * w.toneHz;
    // The index between the grid's points, from a parabola through the best
    // three (the fit itself keeps the grid's: 0.125 off loses nothing).
    double between = 0;
    if (beta > 0 && beta < kBetas - 1) {
        const double l = score[beta - 1], m = score[beta], r = score[beta + 1], d = l - 2 * m + r;
        if (d < 0) between = std::clamp(0.5 * (l - r) / d, -0.5, 0.5);
    }
    w.index = kBetaLow + kBetaStep * (beta + between);
    w.segs = 0;
    w.uCount = 0;
}

// One AM sample through the filters and sums.
void take(weakState &w, double e) {
    const Tables &tb = tables();
    const uint32_t p = w.at;
    const double xr = e * tb.mix[w.mixAt][0], xi = e * tb.mix[w.mixAt][1];
    w.xr[p] = w.xr[p + kWeakRing] = xr;
    w.xi[p] = w.xi[p + kWeakRing] = xi;
    w.env[p] = e;
    w.at = (p + 1) & (kWeakRing - 1);
    if (++w.mixAt == kMixPeriod) w.mixAt = 0;
    const uint32_t fa = w.frameAt;
    if (++w.frameAt == kFramePeriod) w.frameAt = 0;
    if (w.warm > 0) {
        --w.warm;
        return;
    }

    const int32_t o = w.segOff;
    if (o == 0) w.frameStart = fa;
    // The variable tone, from the envelope delayed by kVarDelay.
    const double d = w.env[(p - kVarDelay) & (kWeakRing - 1)];
    w.varSum.re += d * tb.frame[fa][0];
    w.varSum.im += d * tb.frame[fa][1];
    if (o % kWeakDecim == kWeakDecim - 1) {
        // The newest kWeakTaps mixed samples end at p + kWeakRing; the taps
        // are symmetric.
        const double *r = w.xr + p + kWeakRing - (kWeakTaps - 1), *i = w.xi + p + kWeakRing - (kWeakTaps - 1);
        double sr = tb.h[kDelay] * r[kDelay], si = tb.h[kDelay] * i[kDelay];
        for (int k = 0; k < kDelay; ++k) {
            sr += tb.h[k] * (r[k] + r[kWeakTaps - 1 - k]);
            si += tb.h[k] * (i[k] + i[kWeakTaps - 1 - k]);
        }
        w.u[w.uCount++] = {sr, si};
    }
    if (++w.segOff == kWeakSegLen) {
        // The segment's centre: the baseband's (offset 2464 of the delayed
        // samples' frame start, less the variable tone's 2464.5: the same
        // to half a sample) in the 30 Hz frame.
        const double centre = w.frameStart + (kVarDelay + kWeakDecim - 1 - kDelay) + (kWeakSegU - 1) / 2.0 * kWeakDecim;
        w.frame[w.segs] = kTwoPi * 3.0 * centre / kFramePeriod;
        w.var[w.segs] = w.varSum;
        w.varSum = cpx{0, 0};
        ++w.segs;
        w.segOff = 0;
        if (w.segs == kWeakChunk) fitChunk(w);
    }
}

}  // namespace

namespace {

// Empties the window's sums and the chunk; the rings and the fit's
// findings carry over.
void startWindow(weakState &w) {
    w.segOff = 0;
    w.segs = w.uCount = 0;
    w.varSum = w.bearingSum = cpx{0, 0};
    w.segments = 0;
    w.ref = w.sumI = w.sumII = w.sumX = w.sumXX = w.sumIX = 0;
    w.fitPower = w.fitNoise = 0;
}

}  // namespace

void weakReset(weakState &w) {
    w.at = 0;
    w.mixAt = 0;
    w.frameAt = kFramePeriod - kVarDelay;
    w.warm = 5000;  // as the default estimator's 0.1 s
    startWindow(w);
    w.toneHz = 30.0;
    w.offsetHz = 0;
    w.index = 16;
    std::fill(std::begin(w.xr), std::end(w.xr), 0.0);
    std::fill(std::begin(w.xi), std::end(w.xi), 0.0);
    std::fill(std::begin(w.env), std::end(w.env), 0.0);
}

void weakStep(weakState &w, float envelope) { take(w, envelope); }

weakResult weakClose(weakState &w) {
    fitChunk(w);
    weakResult r{};
    r.segments = w.segments;
    const double nan = NAN;
    if (w.segments > 0) {
        double b = std::atan2(w.bearingSum.im, w.bearingSum.re) * kDeg;
        if (b < 0) b += 360.0;
        if (b >= 360.0) b -= 360.0;
        r.bearing = b;
        const double noise = w.fitNoise / w.segments;
        r.fitSnr = noise > 0 ? 10 * std::log10(std::max(1e-12, w.fitPower / w.segments - noise) / noise) : nan;
    } else {
        r.bearing = r.fitSnr = nan;
    }
    if (w.segments >= 3) {
        // The spread about the straight line, with its two degrees of freedom.
        const double n = w.segments;
        const double sii = w.sumII - w.sumI * w.sumI / n, six = w.sumIX - w.sumI * w.sumX / n;
        const double sxx = w.sumXX - w.sumX * w.sumX / n;
        const double sd = std::sqrt(std::max(0.0, sxx - six * six / sii) / (n - 2)) * kDeg;
        r.sigma = std::sqrt(sd * sd / n + kSigmaFloor * kSigmaFloor);
    } else {
        r.sigma = nan;
    }
    r.toneHz = w.toneHz;
    r.offsetHz = w.offsetHz;
    r.index = w.index;
    startWindow(w);  // the partial segment is dropped
    return r;
}
