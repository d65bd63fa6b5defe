#include "morse.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kMinPeriod = 500, kMaxPeriod = 2000;  // the period reader's: 4-16 s at 125 Hz
constexpr int kCoarseStep = 4;                      // the period first found at 31.25 Hz
constexpr int kMaxUnits = kIdentSlow / 11 + 2;

// One repetition, brought to 0 Hz: running sums of the tone band and of the
// noise power.
struct Side {
    double re[kIdentSlow + 1], im[kIdentSlow + 1], noise[kIdentSlow + 1];
    double proj[kIdentSlow + 1];  // running sums of the tone projected on its phase, once known
    double tone;                  // the key-down amplitude there
    int len;
};

// A grid's units, each the noise-weighted mean over the repetitions, and
// the two levels (the means of the units above and below a threshold
// halfway between them).
struct Grid {
    double amp[kMaxUnits];
    int count;
    double hi, lo, theta, misfit, chi2;
};

// The readers' working memory. The sample thread reads one repetition of
// one station at a time, so every station's decoder shares this one, and
// the readers allocate nothing.
struct identScratch {
    double toneRe[kIdentRecord / 4 + 1], toneIm[kIdentRecord / 4 + 1];  // the tone search's sums of four
    Side sides[kIdentJoint];                                            // the repetitions read together
    double lagX[2][kIdentSlow], lagC[2][kIdentSlow / 4];                // two's activity, for the lag search
    double zr[kIdentJoint][kMaxUnits], zi[kIdentJoint][kMaxUnits], zv[kIdentJoint][kMaxUnits];  // unit means
    bool held[kIdentJoint][kMaxUnits];
    Grid rival, joint;                                    // a neighbour's units, the read's
    double keyUp[kMaxUnits + 1], keyDown[kMaxUnits + 1];  // the keyings' running log-ratios
    double nearLlr[kMaxUnits];                            // a neighbouring grid's units
    // The period reader's: the half-minute's running sums, its activity,
    // that summed in fours, folded on the period and smoothed.
    double recordRe[kIdentRecord + 1], recordIm[kIdentRecord + 1], recordNoise[kIdentRecord + 1];
    double activity[kIdentRecord], coarse[kIdentRecord / kCoarseStep], fold[kMaxPeriod + 1], smooth[kMaxPeriod + 1];
};
static_assert(sizeof(identScratch) <= kIdentScratchBytes, "the header states the readers' memory");
identScratch S;  // shared by every station's decoder: see above

const char *const kMorse[36] = {".-",    "-...",  "-.-.",  "-..",   ".",     "..-.",  "--.",   "....",  "..",
                                ".---",  "-.-",   ".-..",  "--",    "-.",    "---",   ".--.",  "--.-",  ".-.",
                                "...",   "-",     "..-",   "...-",  ".--",   "-..-",  "-.--",  "--..",  "-----",
                                ".----", "..---", "...--", "....-", ".....", "-....", "--...", "---..", "----."};

char letter(const std::string &code) {
    for (int k = 0; k < 36; ++k)
        if (code == kMorse[k]) return k < 26 ? static_cast<char>('A' + k) : static_cast<char>('0' + k - 26);
    return 0;
}

// A VOR's identifier: 2 to 4 letters, and not fewer than 4 elements in all
// (two blips of speech read as "EE"; no station is keyed so).
bool isIdent(const std::string &text) {
    int elements = 0;
    for (char c : text) elements += static_cast<int>(std::strlen(kMorse[c >= 'A' ? c - 'A' : 26 + c - '0']));
    return text.size() >= 2 && text.size() <= 4 && elements >= 4;
}

// Reads whole units (1: key down) as Morse: runs of 1 or 3 ones are dots and
// dashes, single zeros part elements, 3 to 8 zeros part letters; anything
// else is no Morse.
std::string parseUnits(const uint8_t *u, int n) {
    std::string text, code;
    for (int k = 0; k < n;) {
        int r = k;
        while (r < n && u[r] == u[k]) ++r;
        const int run = r - k;
        if (u[k]) {
            if (run == 1)
                code += '.';
            else if (run == 3)
                code += '-';
            else
                return "";
        } else if (run >= 3 && run <= 8) {
            const char c = letter(code);
            if (!c) return "";
            text += c;
            code.clear();
        } else if (run != 1) {
            return "";
        }
        k = r;
    }
    const char c = letter(code);
    return c ? text + c : "";
}

// The keying among speech: 9 key-up units or more part no identifier, so
// what they part are separate pieces. The one with the most key-down units
// is read; any other must be a blip too small to be or to hold an
// identifier (at most 3 key-down units, where 4 elements are the least),
// or nothing is read. from, to: where the piece read lies.
std::string parseBody(const uint8_t *u, int n, int *from = nullptr, int *to = nullptr) {
    int bodyFrom = 0, bodyTo = 0, bodyOnes = -1, pieces = 0, blips = 0;
    bool bodyBlip = false;
    for (int k = 0; k < n;) {
        while (k < n && !u[k]) ++k;
        if (k == n) break;
        const int start = k;
        int ones = 0, gap = 0;
        for (; k < n && gap < 9; ++k) {
            if (u[k]) {
                ++ones;
                gap = 0;
            } else {
                ++gap;
            }
        }
        const bool blip = ones <= 2;
        ++pieces;
        blips += blip;
        if (ones > bodyOnes) {
            bodyOnes = ones;
            bodyFrom = start;
            bodyTo = k - gap;
            bodyBlip = blip;
        }
    }
    if (pieces == 0 || pieces - 1 != blips - bodyBlip) return "";
    if (from) *from = bodyFrom;
    if (to) *to = bodyTo;
    return parseUnits(u + bodyFrom, bodyTo - bodyFrom);
}

constexpr double kSlowRate = 125.0;

// exp(j (start + w k)) at k = 0, 1, ...: turned a step at a time, no
// trigonometry per sample.
struct Phasor {
    double re, im, cw, sw;
    explicit Phasor(double w, double start = 0)
        : re(std::cos(start)), im(std::sin(start)), cw(std::cos(w)), sw(std::sin(w)) {}
    void turn() {
        const double t = re * cw - im * sw;
        im = re * sw + im * cw;
        re = t;
    }
};

// The tone's frequency: the strongest line within 10 Hz of hz, 0.5 Hz
// apart, so within 0.25 Hz: the phase then drifts by at most 0.4 rad over a
// 0.24 s unit.
double toneFrequency(const float *re, const float *im, int len, double hz) {
    // Brought from hz to 0 Hz and summed in fours first (31.25 Hz: 10 Hz
    // off loses 1.5 dB), so that a record of half a minute is cheap.
    auto &fr = S.toneRe;
    auto &fi = S.toneIm;
    const int m = std::min(len, kIdentRecord) / 4;
    Phasor mix(-2 * kPi * hz / kSlowRate);
    for (int k = 0; k < m; ++k) {
        fr[k] = fi[k] = 0;
        for (int i = 4 * k; i < 4 * k + 4; ++i, mix.turn()) {
            fr[k] += re[i] * mix.re - im[i] * mix.im;
            fi[k] += re[i] * mix.im + im[i] * mix.re;
        }
    }
    double bestHz = hz, bestPower = -1;
    for (double f = hz - 10; f <= hz + 10; f += 0.5) {
        Phasor p(-2 * kPi * (f - hz) * 4 / kSlowRate);
        double sr = 0, si = 0;
        for (int k = 0; k < m; ++k, p.turn()) {
            sr += fr[k] * p.re - fi[k] * p.im;
            si += fr[k] * p.im + fi[k] * p.re;
        }
        if (sr * sr + si * si > bestPower) {
            bestPower = sr * sr + si * si;
            bestHz = f;
        }
    }
    return bestHz;
}

// The tone brought from hz to 0 Hz, and its running sums (cr, ci), and
// those of the noise power beside it (cn): any unit's coherent sum, or its
// noise, is then one difference. Before the first cells the noise is not
// known yet: the rest's mean stands in.
void runningSums(const float *re, const float *im, const float *noise, int len, double hz, double *cr, double *ci,
                 double *cn) {
    Phasor p(-2 * kPi * hz / kSlowRate);
    cr[0] = ci[0] = 0;
    for (int k = 0; k < len; ++k, p.turn()) {
        cr[k + 1] = cr[k] + re[k] * p.re - im[k] * p.im;
        ci[k + 1] = ci[k] + re[k] * p.im + im[k] * p.re;
    }
    double known = 0;
    int n = 0;
    for (int k = 0; k < len; ++k)
        if (noise[k] > 0) {
            known += noise[k];
            ++n;
        }
    const double fill = n ? known / n : 1e-20;
    cn[0] = 0;
    for (int k = 0; k < len; ++k) cn[k + 1] = cn[k] + (noise[k] > 0 ? noise[k] : fill);
}

// A running sum at x. exact: unit edges fall between samples, and the sum is
// interpolated so that a unit takes exactly its share of the samples at its
// edges; otherwise (the coarse search) the edges are whole samples.
double sumAt(const double *c, double x, bool exact = true) {
    const int i = static_cast<int>(x);
    return exact ? c[i] + (x - i) * (c[i + 1] - c[i]) : c[i];
}

// The keying's activity: the tone's amplitude over the noise in 64 ms (8
// samples), from the running sums; bounded, so that where one stretch is
// clear and another masked, the clear one's keying does not outweigh the
// rest. Its mean is taken out (and returned in mean), so that matches of
// it with itself weigh keying against silence. Returns its length.
int activity(const double *cr, const double *ci, const double *cn, int len, double *y, double &mean) {
    constexpr int kSpan = 8;
    const int n = std::max(len - kSpan, 0);
    mean = 0;
    for (int i = 0; i < n; ++i) {
        const double sr = cr[i + kSpan] - cr[i], si = ci[i + kSpan] - ci[i];
        const double noise = 512 * (cn[i + kSpan] - cn[i]);
        y[i] = std::min(std::sqrt((sr * sr + si * si) / std::max(noise, 1e-20)), 3.0);
        mean += y[i];
    }
    mean /= std::max(n, 1);
    for (int i = 0; i < n; ++i) y[i] -= mean;
    return n;
}

// x summed in fours, for a search at a quarter of the rate first. Returns
// the sums' count.
int fours(const double *x, int n, double *c) {
    for (int j = 0; j < n / 4; ++j) c[j] = x[4 * j] + x[4 * j + 1] + x[4 * j + 2] + x[4 * j + 3];
    return n / 4;
}

// The sum of a[i] b[i + lag] over the samples both hold.
double match(const double *a, int na, const double *b, int nb, int lag) {
    double sum = 0;
    for (int i = std::max(0, -lag); i < na && i + lag < nb; ++i) sum += a[i] * b[i + lag];
    return sum;
}

// The lag in [lo, hi] where f is largest, the first of equals; top: f there.
template <class F>
int bestLag(int lo, int hi, F f, double &top) {
    int best = lo;
    top = -INFINITY;
    for (int lag = lo; lag <= hi; ++lag) {
        const double v = f(lag);
        if (v > top) {
            top = v;
            best = lag;
        }
    }
    return best;
}

// A dot changed from d to to moves the grid's far units by many samples: the
// phase that keeps the unit at sample `at` (the middle of the repetition, or
// of its keying) where it was.
double pivot(double at, double d, double phase, double to) {
    const double middle = std::floor((at - phase) / d);
    double ph = phase + (d - to) * std::max(middle, 0.0);
    while (ph < 0) ph += to;
    while (ph >= to) ph -= to;
    return ph;
}

// A repetition is read only where no other identifier a unit or two away is
// this likely against the read in all, and no repetition lies on the other
// side of the threshold by more than kContradict of its own noise.
// Measured over some 5000 reads of the sweeps (real speech and speech-like
// noise at 30 %, over keyed stations and none; noise; a steady tone; the
// tone keyed at random; 45-60 dB-Hz): no wrong identifier read with a
// doubt under 1.8e-3, and those under it all lay 7 or more across (NE
// read as NEE on two repetitions together at 53 dB-Hz, at a doubt of
// 2e-15, and further across the stronger the station; the tone keyed at
// random, 28, at 0). 3e-4 and 3 leave a factor of 6 and of 2.3.
// (Under speech the doubt is far from calibrated: speech fakes a unit.)
constexpr double kDoubt = 3e-4, kContradict = 3.0;
// In the silence around the keying a blip of speech in one repetition is
// common (right reads it stopped lay 5.3-5.9 across there), while a letter
// the read left out there is priced by masked() over all the repetitions
// together. Every wrong read the contradiction stopped lay across inside
// the keying. Units outside it count against the read only beyond 8 of
// their noise.
constexpr double kContradictAround = 8.0;
// A letter masked beside the keying ends 3 units before its first mark or
// starts 3 after its last, and has a mark within the next 5 (even an E):
// 8 units either side, each key-up by a likelihood ratio of 1e4 at least.
constexpr int kQuietUnits = 8;
constexpr double kQuiet = 9.2;
// Key-down must be this many times key-up in amplitude.
constexpr double kLevels = 3.0;
// A rival less likely than e^-30 against the read cannot move the doubt
// (3e-4) even a hundred times over: it is not parsed.
constexpr double kNegligible = 30;
// A neighbouring grid that reads the same is searched for rivals of its own
// within e^-12 of the read: below that they cannot reach the doubt.
constexpr double kNearRival = 12;
constexpr int kJointLag = 200;  // 125 Hz samples: the repetitions' starts may differ by 1.6 s

// Side s holds the unit [x, x + d): its amplitude and that amplitude's
// noise variance per component. A 125 Hz sample sums 8 samples at 1 kHz,
// whose noise is 64 times the power of a 64 ms bin: 512 times the bin's
// power, half of it in each component. sr, si: the unit's mean, complex.
bool sideUnit(const Side &s, double x, double d, bool exact, double &amp, double &var, double *sr = nullptr,
              double *si = nullptr) {
    if (x < 0 || x + d > s.len) return false;
    const double re = (sumAt(s.re, x + d, exact) - sumAt(s.re, x, exact)) / d;
    const double im = (sumAt(s.im, x + d, exact) - sumAt(s.im, x, exact)) / d;
    amp = std::sqrt(re * re + im * im);
    var = std::max(256 * (sumAt(s.noise, x + d, exact) - sumAt(s.noise, x, exact)) / (d * d), 1e-20);
    if (sr) *sr = re;
    if (si) *si = im;
    return true;
}

// The two levels of a grid's units: the weighted means of the units above
// and below a threshold halfway between them (from the extremes hi and lo,
// twice); then the misfit of that picture against the levels' distance.
// Returns the weighted squared misfit itself (a chi-square).
double twoLevels(const double *amp, const double *weight, int count, double &hi, double &lo, double &theta,
                 double &misfit) {
    theta = (hi + lo) / 2;
    for (int it = 0; it < 2; ++it) {
        double h = 0, l = 0, wh = 0, wl = 0;
        for (int k = 0; k < count; ++k) {
            if (amp[k] > theta) {
                h += weight[k] * amp[k];
                wh += weight[k];
            } else {
                l += weight[k] * amp[k];
                wl += weight[k];
            }
        }
        if (wh == 0 || wl == 0) break;
        hi = h / wh;
        lo = l / wl;
        theta = (hi + lo) / 2;
    }
    double m = 0, n = 0;
    for (int k = 0; k < count; ++k) {
        const double e = amp[k] - (amp[k] > theta ? hi : lo);
        m += e * e * weight[k];
        n += weight[k];
    }
    misfit = n > 0 && hi > lo ? m / n / ((hi - lo) * (hi - lo)) : INFINITY;
    return m;
}

// The grid of dot d from ph on the first side, and from ph + lag[k] on side
// k; each unit the noise-weighted mean of all sides that hold it. A grid is
// as good as its two-level picture fits: with the right dot and phase every
// unit is all key-down or all key-up; with a wrong one units straddle the
// edges.
void jointUnits(int n, double d, double ph, const double *lag, Grid &u, bool exact = true) {
    u.count = 0;
    double hi = 0, lo = INFINITY;
    double weight[kMaxUnits];
    for (double x = ph; x + d <= S.sides[0].len && u.count < kMaxUnits; x += d) {
        double sum = 0, w = 0;
        for (int k = 0; k < n; ++k) {
            double a, v;
            if (!sideUnit(S.sides[k], x + lag[k], d, exact, a, v)) continue;
            sum += a / v;
            w += 1 / v;
        }
        const double a = sum / w;
        weight[u.count] = w;
        u.amp[u.count++] = a;
        hi = std::max(hi, a);
        lo = std::min(lo, a);
    }
    u.chi2 = twoLevels(u.amp, weight, u.count, hi, lo, u.theta, u.misfit);
    u.hi = hi;
    u.lo = lo;
}

// Where side k's keying lies against the first side's: the lag that best
// matches their activity, on sums of four (31.25 Hz), then at 125 Hz
// around the best.
int jointLag(int k) {
    auto &x = S.lagX;
    auto &c = S.lagC;
    int len[2], m[2];
    for (int w = 0; w < 2; ++w) {
        const Side &s = S.sides[w ? k : 0];
        double mean;
        len[w] = activity(s.re, s.im, s.noise, s.len, x[w], mean);
        m[w] = fours(x[w], len[w], c[w]);
    }
    double top;
    const int coarse = bestLag(
        -kJointLag / 4, kJointLag / 4, [&](int lag) { return match(c[0], m[0], c[1], m[1], lag); }, top);
    return bestLag(
        4 * coarse - 4, 4 * coarse + 4, [&](int lag) { return match(x[0], len[0], x[1], len[1], lag); }, top);
}

// ln I0(x), the Rice distribution's Bessel term; its asymptote where the
// function itself would overflow.
double logBesselI0(double x) { return x < 500 ? std::log(std::cyl_bessel_i(0.0, x)) : x - 0.5 * std::log(2 * kPi * x); }

// A unit's noise on the projection: the neighbours' two components (2v)
// and what lies across the line of phase, one component, averaged. The
// magnitude is the unit's mean as it came, the projection that of the
// samples turned along the tone's slope, so where the tone drifts within
// the unit the projection can come out a little larger than the magnitude
// (with the tone 40 Hz off, by twice the noise at 60 dB-Hz): nothing lies
// across the line then, rather than less than nothing, which left a
// key-down unit's noise near zero and its ratio at tens of thousands.
double projectionNoise(double v, double amp, double p) { return (2 * v + std::max(amp * amp - p * p, 0.0)) / 3; }

// Each unit's log-likelihood ratio, key-down against key-up, summed over
// the sides that hold it, with each side's noise there. On the magnitudes
// (a the key-down level): the amplitude of a tone in noise (Rice) against
// that of noise alone (Rayleigh). On the projections (a < 0): each side's
// tone, or nothing, in Gaussian noise. Returns the units some side holds.
int unitRatios(int n, double d, double ph, const double *lag, int count, double a, double *llr) {
    int units = 0;
    for (int j = 0; j < count; ++j) {
        llr[j] = 0;
        for (int k = 0; k < n; ++k) {
            const Side &s = S.sides[k];
            const double x = ph + j * d + lag[k];
            double amp, v;
            if (!sideUnit(s, x, d, true, amp, v)) continue;
            if (a < 0) {
                // What lies across the line of phase is no tone but this
                // unit's own noise: one more measure of it, beside that of
                // the neighbours' two components, which miss speech whose
                // harmonics sweep through the tone's bin and not theirs.
                const double p = (sumAt(s.proj, x + d) - sumAt(s.proj, x)) / d;
                llr[j] += (p * s.tone - s.tone * s.tone / 2) / projectionNoise(v, amp, p);
            } else {
                llr[j] += logBesselI0(amp * a / v) - a * a / (2 * v);
            }
            units = j + 1;
        }
    }
    return units;
}

// The tone's phase runs on through the keying (one oscillator, keyed), so
// on each side the key-down units lie on one line of phase: its slope (the
// tone within 0.3 Hz, where the frequency found is 0.25 Hz off) and start
// from the key-down units, noise-weighted. Projected on it, a unit is the
// tone's amplitude or nothing, in Gaussian noise of half the power that
// its magnitude has, and without the magnitude's bias in key-up units. The
// log-likelihood ratios from that; false where a side's key-down units are
// not coherent (a phase that restarts with every element, say), and the
// magnitudes must do.
constexpr double kCoherent = 0.9;  // |weighted sum| over the weighted sum of magnitudes

bool coherentRatios(int n, double d, double ph, const double *lag, int count, const uint8_t *bits, double *llr) {
    auto &zr = S.zr;
    auto &zi = S.zi;
    auto &zv = S.zv;
    auto &held = S.held;
    for (int k = 0; k < n; ++k) {
        double mags = 0;
        for (int j = 0; j < count; ++j) {
            double amp;
            held[k][j] = sideUnit(S.sides[k], ph + j * d + lag[k], d, true, amp, zv[k][j], &zr[k][j], &zi[k][j]);
            if (held[k][j] && bits[j]) mags += amp / zv[k][j];
        }
        double bestR = 0, bestI = 0, bestHz = 0, best = -1;
        for (int step = -60; step <= 60; ++step) {
            const double hz = 0.005 * step;
            Phasor p(-2 * kPi * hz * d / kSlowRate);
            double sr = 0, si = 0;
            for (int j = 0; j < count; ++j, p.turn()) {
                if (held[k][j] && bits[j]) {
                    sr += (zr[k][j] * p.re - zi[k][j] * p.im) / zv[k][j];
                    si += (zr[k][j] * p.im + zi[k][j] * p.re) / zv[k][j];
                }
            }
            if (sr * sr + si * si > best) {
                best = sr * sr + si * si;
                bestR = sr;
                bestI = si;
                bestHz = hz;
            }
        }
        // A side cut short that holds no key-down unit says nothing of them.
        Side &sd = S.sides[k];
        if (mags <= 0 && k > 0) {
            sd.tone = 0;
            continue;
        }
        if (mags <= 0 || std::sqrt(best) < kCoherent * mags) return false;
        // Every sample projected on the line of phase (unit j's start at
        // phase 0 turned by j steps of w, its middle half a step more):
        // their running sums.
        const double norm = std::sqrt(best), cr = bestR / norm, ci = -bestI / norm;
        const double w = -2 * kPi * bestHz / kSlowRate;
        Phasor rot(w, -(ph + lag[k] + d / 2) * w);
        sd.proj[0] = 0;
        for (int i = 0; i < sd.len; ++i, rot.turn()) {
            const double xr = sd.re[i + 1] - sd.re[i], xi = sd.im[i + 1] - sd.im[i];
            const double rr = xr * rot.re - xi * rot.im, ri = xr * rot.im + xi * rot.re;
            sd.proj[i + 1] = sd.proj[i] + rr * cr - ri * ci;
        }
        double ampSum = 0, weight = 0;
        for (int j = 0; j < count; ++j) {
            const double x = ph + j * d + lag[k];
            if (!bits[j] || !held[k][j]) continue;
            ampSum += (sumAt(sd.proj, x + d) - sumAt(sd.proj, x)) / d / zv[k][j];
            weight += 1 / zv[k][j];
        }
        sd.tone = ampSum / weight;
    }
    unitRatios(n, d, ph, lag, count, -1, llr);
    return true;
}

// Every identifier this grid can key, against the read: the sum, over
// every keying of its units that parses as 1 to 4 letters with silence
// around them, of its likelihood against the read's (units outside the
// read's keying taken as key-up in both), less the read's own. One or two
// flips cannot reach another identifier where speech leaves a stretch of
// units undecided: this sums them all. Forward over the units: the state
// is the letter being keyed and the code so far (a node of the code tree);
// an element is 1 or 3 key-down units, then 1 key-up unit inside a letter
// or 3 to 8 between letters. Each unit's ratio is bounded at e^60 either
// way: beyond that nothing can matter against the doubt, and nothing
// overflows.
double keyings(int count, const double *llr, const uint8_t *bits, int first, int last) {
    struct Tree {
        int child[64][2];
        bool letter[64];
        int nodes = 1;
        Tree() {
            for (auto &c : child) c[0] = c[1] = -1;
            for (bool &l : letter) l = false;
            for (const char *code : kMorse) {
                int at = 0;
                for (const char *e = code; *e; ++e) {
                    int &next = child[at][*e == '-'];
                    if (next < 0) next = nodes++;
                    at = next;
                }
                letter[at] = true;
            }
        }
    };
    static const Tree tree;
    // Running sums of each unit's log-ratio against the read, key-up and key-down.
    auto &up = S.keyUp;
    auto &down = S.keyDown;
    up[0] = down[0] = 0;
    for (int j = 0; j < count; ++j) {
        const double l = std::clamp(llr[j], -60.0, 60.0);
        const bool read = j >= first && j < last && bits[j];
        up[j + 1] = up[j] + (read ? -l : 0);
        down[j + 1] = down[j] + (read ? 0 : l);
    }
    auto zeros = [&](int a, int b) { return std::exp(up[b] - up[a]); };
    auto ones = [&](int a, int b) { return std::exp(down[b] - down[a]); };
    constexpr int kRing = 16, kLetters = 4;
    double f[kRing][kLetters][64] = {};
    double sum = 0;
    for (int i = 0; i < count; ++i) {
        double(&now)[kLetters][64] = f[i % kRing];
        now[0][0] += zeros(0, i);  // the first letter starts here
        for (int l = 0; l < kLetters; ++l)
            for (int node = 0; node < tree.nodes; ++node) {
                const double w = now[l][node];
                if (w == 0) continue;
                for (int dash = 0; dash < 2; ++dash) {
                    const int next = tree.child[node][dash], k = i + (dash ? 3 : 1);
                    if (next < 0 || k > count) continue;
                    const double e = w * ones(i, k);
                    if (k < count) f[(k + 1) % kRing][l][next] += e * zeros(k, k + 1);
                    if (!tree.letter[next]) continue;
                    sum += e * zeros(k, count);  // the last letter
                    if (l + 1 < kLetters)
                        for (int gap = 3; gap <= 8 && k + gap < count; ++gap)
                            f[(k + gap) % kRing][l + 1][0] += e * zeros(k, k + gap);
                }
            }
        std::fill(&now[0][0], &now[0][0] + kLetters * 64, 0.0);
    }
    // The read itself is among them, at 1.
    return std::max(0.0, sum - 1);
}

// A letter masked beside the read (speech over it in every repetition
// read, say "LO" for "KLO"): a rival of more units than one or two flips
// reach. Each letter, 3 to 8 key-up units before the first letter or after
// the last, priced by reading its units the other way, where the record
// holds any of them; at the usual 3-unit gap it counts even where it holds
// none (the record may begin just after it). Nothing beside 4 letters: no
// identifier has 5. The sum of exp(-price).
double masked(int count, const double *llr, int first, int last, const std::string &text) {
    if (text.size() >= 4) return 0;
    double sum = 0;
    for (const char *code : kMorse) {
        uint8_t keyed[20];
        int len = 0;
        for (const char *e = code; *e; ++e) {
            if (len) keyed[len++] = 0;
            for (int k = *e == '-' ? 3 : 1; k > 0; --k) keyed[len++] = 1;
        }
        for (int gap = 3; gap <= 8; ++gap)
            for (const int from : {first - gap - len, last + gap}) {
                double price = 0;
                bool held = false;
                for (int i = 0; i < len; ++i) {
                    const int j = from + i;
                    if (j < 0 || j >= count) continue;
                    held = true;
                    price += keyed[i] ? std::max(0.0, -llr[j]) : std::max(0.0, llr[j]);
                }
                if ((held || gap == 3) && price < kNegligible) sum += std::exp(-price);
            }
    }
    return sum;
}

// A grid a little off (the dot 6 % either way, the phase half a unit) that
// reads another identifier is a rival too: a weak element read as key-up on
// the wrong grid fits nearly as well as on the right one. Each neighbour's
// likelihood against the read's: from the two grids' chi-square on the
// magnitudes, or from the key-down units' log-likelihood ratios on the
// projections (coherent). The neighbours that read the same share the
// read's. Returns the rivals' share; better (may be null): the neighbour
// (its dot and phase) that beats the grid by more than one nat on the
// projections, if one does (the magnitudes chose the grid, and speech
// sways them).
double nearby(int n, double d, double phase, const double *lag, bool coherent, const Grid &u, const double *llr,
              const std::string &text, double *better = nullptr) {
    double best = 0;
    int from = u.count, to = 0;
    for (int j = 0; j < u.count; ++j) {
        best += std::max(llr[j], 0.0);
        if (llr[j] > 0) from = std::min(from, j), to = j + 1;
    }
    // A dot a few per cent off turns the grid about the keying's middle.
    const double centre = from < to ? phase + (from + to) / 2.0 * d : S.sides[0].len / 2.0;
    double same = 1, others = 0, top = best + 1;
    Grid &v = S.rival;
    for (int i = -12; i <= 12; ++i)
        for (int j = -4; j <= 4; ++j) {
            const double dd = d * (1 + 0.005 * i), ph = pivot(centre, d, phase, dd) + 0.125 * j * dd;
            if (ph < 0 || (i == 0 && j == 0)) continue;
            uint8_t bits[kMaxUnits];
            int units;
            double logRatio;
            if (coherent) {
                double *r = S.nearLlr;
                units = unitRatios(n, dd, ph, lag, std::min(kMaxUnits, static_cast<int>((S.sides[0].len - ph) / dd)),
                                   -1, r);
                double sum = 0;
                for (int k = 0; k < units; ++k) {
                    bits[k] = r[k] > 0;
                    sum += std::max(r[k], 0.0);
                }
                if (better && sum > top) {
                    top = sum;
                    better[0] = dd;
                    better[1] = ph;
                }
                logRatio = sum - best;
            } else {
                jointUnits(n, dd, ph, lag, v);
                units = v.count;
                for (int k = 0; k < units; ++k) bits[k] = v.amp[k] > v.theta;
                logRatio = -(v.chi2 - u.chi2) / 2;
            }
            if (logRatio < -kNegligible) continue;
            const double p = std::exp(std::min(logRatio, 25.0));
            int otherFrom = 0, otherTo = 0;
            const std::string other = parseBody(bits, units, &otherFrom, &otherTo);
            if (other == text) {
                same += p;
                // Where it reads the same, what one more flip there would
                // read is as much a rival as on the read's own grid (a dot
                // masked by speech that the read's grid, a little long,
                // stretched away). (Not when only a better grid is sought.)
                if (coherent && !better && logRatio > -kNearRival)
                    others += p * keyings(units, S.nearLlr, bits, otherFrom, otherTo);
            } else if (isIdent(other)) {
                others += p;
            }
        }
    return others / same;
}

// The n sides' running sums, read together from the lags given: the grid, the
// lags refined, and the guards. after: the units of silence every side must
// hold after the keying (before it, 3); partial: a side other than the
// first may be cut short.
std::string jointRead(int n, const double *lag, int after, bool partial, double &dot, double &doubt,
                      identTone *tone = nullptr) {
    struct Fit {
        double misfit, d, phase, lag[kIdentJoint];
    };
    Fit start{INFINITY, 0, 0, {0}};
    for (int k = 1; k < n; ++k) start.lag[k] = lag[k];
    // Dots of 11-31 samples (13 down to 5 words per minute, with margin),
    // the phase in steps of two samples, then one either side of the best;
    // the best few refined only when each comes to be read. The best four
    // always; beyond them up to ten, while they fit within 3 times the
    // best's misfit: under speech the right dot can fit 1.3-2.6 times worse
    // coarsely than grids a little off, while on a clean station the fifth
    // fits 12 times worse or more (and costs nothing).
    constexpr int kCoarse = 41, kFine = 10, kFineAlways = 4;
    constexpr double kFineShare = 3.0;
    Fit fits[kCoarse];
    Grid &u = S.joint;
    for (int k = 0; k < kCoarse; ++k) {
        fits[k] = start;
        fits[k].d = 11.0 + 0.5 * k;
        auto at = [&](double ph) {
            jointUnits(n, fits[k].d, ph, start.lag, u, false);
            if (u.misfit < fits[k].misfit) {
                fits[k].misfit = u.misfit;
                fits[k].phase = ph;
            }
        };
        for (double ph = 0; ph < fits[k].d; ph += 2.0) at(ph);
        const double ph = fits[k].phase;
        if (ph >= 1) at(ph - 1);
        if (ph + 1 < fits[k].d) at(ph + 1);
    }
    std::sort(fits, fits + kCoarse, [](const Fit &x, const Fit &y) { return x.misfit < y.misfit; });
    // Finely: over 40 units an error of 0.01 samples in the dot moves the
    // last edge by 0.4 samples. In steps of 0.04 in the dot and 0.25 in the
    // phase, then of 0.01 and 0.125 around the best; each lag in turn in
    // quarter samples. Halves and thirds of the dot fit as well as whole
    // ones; they read as no Morse and are passed over.
    double firstMisfit = INFINITY;
    for (int k = 0; k < kFine; ++k) {
        if (k >= kFineAlways && fits[k].misfit > kFineShare * fits[0].misfit) break;
        Fit g = fits[k];
        for (int pass = 0; pass < 2; ++pass) {
            Fit c = g;
            const double dd = pass == 0 ? 0.04 : 0.01, dp = pass == 0 ? 0.25 : 0.125;
            const int nd = pass == 0 ? 6 : 3;
            for (int i = -nd; i <= nd; ++i)
                for (int j = -2; j <= 2; ++j) {
                    Fit t = c;
                    t.d = c.d + dd * i;
                    t.phase = pivot(S.sides[0].len / 2.0, c.d, c.phase, t.d) + dp * j;
                    if (t.phase < 0) continue;
                    jointUnits(n, t.d, t.phase, t.lag, u);
                    if (u.misfit < g.misfit) g = t, g.misfit = u.misfit;
                }
            for (int side = 1; side < n; ++side) {
                c = g;
                for (int l = -4; l <= 4; ++l) {
                    Fit t = c;
                    t.lag[side] = c.lag[side] + 0.25 * l;
                    jointUnits(n, t.d, t.phase, t.lag, u);
                    if (u.misfit < g.misfit) g = t, g.misfit = u.misfit;
                }
            }
        }
        if (k == 0) firstMisfit = g.misfit;
        if (g.misfit > 1.5 * firstMisfit + 0.01) break;
        jointUnits(n, g.d, g.phase, g.lag, u);
        uint8_t bits[kMaxUnits];
        for (int j = 0; j < u.count; ++j) bits[j] = u.amp[j] > u.theta;
        std::string text = parseBody(bits, u.count);
        // Never a guess: key-down well above key-up, no other identifier
        // nearly as likely, and no repetition saying otherwise.
        if (u.hi < kLevels * u.lo) {
            if (text.empty()) continue;
            return "";
        }
        // Read coherently where the tone is coherent: the bits the
        // projections give, and the phase again from those, until they
        // stay; and the grid moved to a neighbour that the projections
        // fit better.
        double llr[kMaxUnits];
        bool coherent = false;
        const Fit read = g;
        for (int move = 0; move < 3; ++move) {
            uint8_t coherentBits[kMaxUnits];
            std::memcpy(coherentBits, bits, sizeof bits);
            for (int pass = 0; pass < 3; ++pass) {
                coherent = coherentRatios(n, g.d, g.phase, g.lag, u.count, coherentBits, llr);
                if (!coherent) break;
                bool same = true;
                for (int j = 0; j < u.count; ++j) {
                    same = same && coherentBits[j] == (llr[j] > 0);
                    coherentBits[j] = llr[j] > 0;
                }
                if (same) break;
                coherent = false;
            }
            if (!coherent) break;
            std::memcpy(bits, coherentBits, sizeof bits);
            double better[2] = {0, 0};
            nearby(n, g.d, g.phase, g.lag, true, u, llr, parseBody(bits, u.count), better);
            if (better[0] == 0) break;
            g.d = better[0];
            g.phase = better[1];
            jointUnits(n, g.d, g.phase, g.lag, u);
            for (int j = 0; j < u.count; ++j) bits[j] = u.amp[j] > u.theta;
            coherent = false;
        }
        if (coherent) {
            const bool had = !text.empty();
            text = parseBody(bits, u.count);
            if (text.empty()) {
                if (!had) continue;
                // Speech that lands on the projections can break what the
                // magnitudes read: the magnitudes are judged instead, by
                // the same guards.
                coherent = false;
            }
        }
        if (!coherent) {
            // On the grid the magnitudes read.
            if (g.d != read.d || g.phase != read.phase) {
                g = read;
                jointUnits(n, g.d, g.phase, g.lag, u);
            }
            for (int j = 0; j < u.count; ++j) bits[j] = u.amp[j] > u.theta;
            text = parseBody(bits, u.count);
            if (text.empty()) continue;
            unitRatios(n, g.d, g.phase, g.lag, u.count, u.hi, llr);
        }
        // Every repetition holds all of the keying, with silence around it
        // (3 units before, and `after` after): no part is read from one
        // alone, and none from a repetition cut short.
        int first = 0, last = 0, whole = 0;
        parseBody(bits, u.count, &first, &last);
        for (int side = 0; side < n; ++side) {
            const double from = g.phase + (first - 3) * g.d + g.lag[side];
            const double to = g.phase + (last + after) * g.d + g.lag[side];
            if (from >= 0 && to <= S.sides[side].len)
                ++whole;
            else if (side == 0 || !partial)
                return "";
        }
        if (whole < std::min(n, 2)) return "";
        double against = 0;
        for (int j = 0; j < u.count; ++j) {
            const double scale = j < first || j >= last ? kContradict / kContradictAround : 1.0;
            for (int side = 0; side < n; ++side) {
                double amp, v;
                const Side &sd = S.sides[side];
                const double x = g.phase + j * g.d + g.lag[side];
                if (!sideUnit(sd, x, g.d, true, amp, v)) continue;
                // Read coherently, a unit is judged on its projection, with
                // its noise as unitRatios takes it: what keys on that
                // oscillator lands there whole, while speech lands as
                // often below the line as above it, and shows across it.
                double z;
                if (coherent) {
                    if (sd.tone <= 0) continue;
                    const double p = (sumAt(sd.proj, x + g.d) - sumAt(sd.proj, x)) / g.d;
                    z = (p - sd.tone / 2) / std::sqrt(projectionNoise(v, amp, p));
                } else {
                    z = (amp - u.theta) / std::sqrt(v);
                }
                against = std::max(against, scale * (bits[j] ? -z : z));
            }
        }
        // The neighbouring grids are the dearest rivals to weigh: only where
        // the others leave the read standing (the doubt is only ever held
        // against kDoubt).
        doubt = keyings(u.count, llr, bits, first, last) + masked(u.count, llr, first, last, text);
        if (doubt <= kDoubt && against <= kContradict && isIdent(text))
            doubt += nearby(n, g.d, g.phase, g.lag, coherent, u, llr, text);
        if (doubt > kDoubt || against > kContradict || !isIdent(text)) return "";
        dot = g.d / kSlowRate;
        if (tone) {
            // (Before the units are taken again for the level.)
            tone->quiet = true;
            for (int j = std::max(0, first - kQuietUnits); j < std::min(u.count, last + kQuietUnits); ++j)
                if ((j < first || j >= last) && !(llr[j] < -kQuiet)) tone->quiet = false;
            jointUnits(n, g.d, g.phase, g.lag, u);
            tone->level = u.hi;
            tone->start = g.phase + first * g.d;
        }
        return text;
    }
    return "";
}

}  // namespace

std::string identDecode(const identRep *const *reps, int n, double hz, double &dot, double &doubt, identTone *tone) {
    dot = 0;
    doubt = INFINITY;
    if (n < 1 || n > kIdentJoint) return "";
    for (int k = 0; k < n; ++k)
        if (reps[k]->len < 16 || reps[k]->len > kIdentSlow) return "";
    double first = hz;
    for (int k = 0; k < n; ++k) {
        const identRep &r = *reps[k];
        Side &s = S.sides[k];
        s.len = r.len;
        const double f = toneFrequency(r.re, r.im, r.len, hz);
        if (k == 0) first = f;
        runningSums(r.re, r.im, r.noise, r.len, f, s.re, s.im, s.noise);
    }
    double lag[kIdentJoint] = {0};
    for (int k = 1; k < n; ++k) lag[k] = jointLag(k);
    // Found by the silences around them: 6 units after the keying, less
    // than the 1.2 s of silence that ends a repetition.
    identTone read;
    const std::string text = jointRead(n, lag, 6, false, dot, doubt, tone ? &read : nullptr);
    if (tone && !text.empty()) {
        *tone = read;
        tone->hz = first;
    }
    return text;
}

namespace {

constexpr double kPeriodMatch = 0.15;  // of the activity's variance, or nothing repeats
constexpr double kKeyedRise = 0.25;    // activity where a side keys, over where it is quiet

// The mean product of x with itself lag samples on.
double selfMatch(const double *x, int n, int lag) { return match(x, n, x, n, lag) / (n - lag); }

// The period: the lag that best matches the activity with itself, at
// 31.25 Hz, then to a fraction of a sample at 125 Hz. A whole multiple
// matches as well as the period does: the shortest that does is taken.
// 0 when nothing repeats.
double keyingPeriod(int n) {
    const int m = fours(S.activity, n, S.coarse);
    const int lo = kMinPeriod / kCoarseStep, hi = std::min(kMaxPeriod / kCoarseStep, m / 2);
    if (hi <= lo) return 0;
    const double zero = selfMatch(S.coarse, m, 0);
    double bestMatch;
    int best = bestLag(
        lo, hi, [&](int lag) { return selfMatch(S.coarse, m, lag); }, bestMatch);
    if (bestMatch < kPeriodMatch * zero) return 0;
    for (int div = 3; div >= 2; --div) {
        const int at = (best + div / 2) / div;
        if (at < lo) continue;
        double c = -INFINITY;
        for (int lag = std::max(at - 1, lo); lag <= at + 1; ++lag) c = std::max(c, selfMatch(S.coarse, m, lag));
        if (c >= 0.7 * bestMatch) {
            best = at;
            break;
        }
    }
    double around[11];
    for (int k = 0; k < 11; ++k) around[k] = selfMatch(S.activity, n, best * kCoarseStep - 5 + k);
    int top = 0;
    for (int k = 1; k < 11; ++k)
        if (around[k] > around[top]) top = k;
    const int fine = best * kCoarseStep - 5 + top;
    double frac = 0;
    if (top > 0 && top < 10) {
        const double a = around[top - 1], b = around[top], c = around[top + 1];
        if (a - 2 * b + c < 0) frac = 0.5 * (a - c) / (a - 2 * b + c);
    }
    return fine + frac;
}

// Where to cut the repetitions apart: the middle of the longest quiet
// stretch of the activity folded on the period.
double quietest(int n, double period, int &quiet, double &level) {
    const int p = static_cast<int>(period);
    std::fill(S.fold, S.fold + p, 0.0);
    for (int i = 0; i < n; ++i) S.fold[static_cast<int>(std::fmod(i, period)) % p] += S.activity[i];
    // Smoothed over 0.25 s; keying where above a third of the way up.
    constexpr int kSmooth = 16;
    double lo = INFINITY, hi = -INFINITY;
    for (int r = 0; r < p; ++r) {
        double sum = 0;
        for (int k = -kSmooth; k <= kSmooth; ++k) sum += S.fold[(r + k + p) % p];
        S.smooth[r] = sum;
        lo = std::min(lo, sum);
        hi = std::max(hi, sum);
    }
    level = lo + (hi - lo) / 3;
    int start = -1;
    for (int r = 0; r < p && start < 0; ++r)
        if (S.smooth[r] > level) start = r;
    quiet = 0;
    if (start < 0) return 0;
    // Around the circle from one keyed sample: each quiet stretch.
    int longest = -1, at = 0, last = 0;
    for (int k = 1; k <= p; ++k) {
        if (S.smooth[(start + k) % p] <= level) continue;
        const int gap = k - last - 1;
        if (gap > longest) {
            longest = gap;
            at = start + last + 1 + gap / 2;
        }
        last = k;
    }
    quiet = longest;
    return std::fmod(at, period);
}

}  // namespace

std::string identDecodePeriodic(const float *re, const float *im, const float *noise, int len, double hz, double &dot,
                                double &doubt) {
    dot = 0;
    doubt = INFINITY;
    if (len > kIdentRecord || len < 2 * kMinPeriod) return "";
    const double f = toneFrequency(re, im, len, hz);
    runningSums(re, im, noise, len, f, S.recordRe, S.recordIm, S.recordNoise);
    double mean;
    const int n = activity(S.recordRe, S.recordIm, S.recordNoise, len, S.activity, mean);
    const double period = keyingPeriod(n);
    if (period <= 0) return "";
    for (int i = 0; i < n; ++i) S.activity[i] += mean;
    // The repetitions, newest first: a period each from the middle of the
    // quiet, or what the record holds of one where that still holds the
    // keying and a little (0.3 s, at most a quarter of the quiet) on either
    // side of it (the read checks the rest).
    int quiet = 0;
    const int width = static_cast<int>(period);
    double level;
    const double cut = quietest(n, period, quiet, level);
    // A side holds keying where its activity, where the fold keys, stands
    // above its activity where the fold is quiet: a station may not have
    // keyed yet, or paused, and a period of nothing must not outvote the rest.
    auto keyed = [&](int a, int b) {
        double on = 0, off = 0;
        int nOn = 0, nOff = 0;
        for (int i = a; i < std::min(b, n); ++i) {
            const bool k = S.smooth[static_cast<int>(std::fmod(i, period)) % width] > level;
            (k ? on : off) += S.activity[i];
            ++(k ? nOn : nOff);
        }
        return nOn > 0 && nOff > 0 && on / nOn > off / nOff + kKeyedRise;
    };
    int from[kIdentJoint], to[kIdentJoint];
    double starts[kIdentJoint];
    int count = 0;
    for (double at = cut + std::floor((len - cut) / period) * period; at > -period && count < kIdentJoint;
         at -= period) {
        const int a = std::max(static_cast<int>(std::floor(at)), 0), b = std::min(static_cast<int>(at) + width, len);
        const double margin = quiet / 2.0 - std::min(quiet / 4.0, 40.0);
        const bool running = a >= std::floor(at) && b == len && b - a >= period / 4;
        if ((a > at + margin || b < at + period - margin) && !running) continue;
        if (!keyed(a, b)) continue;
        from[count] = a;
        to[count] = b;
        starts[count++] = at;
    }
    // The first side sets the grid: a whole one, where there is one.
    for (int k = 1; k < count; ++k)
        if (to[0] - from[0] < width && to[k] - from[k] == width) {
            std::swap(from[0], from[k]);
            std::swap(to[0], to[k]);
            std::swap(starts[0], starts[k]);
        }
    if (count < 2) return "";
    double lag[kIdentJoint] = {0};
    for (int k = 0; k < count; ++k) {
        Side &s = S.sides[k];
        s.len = to[k] - from[k];
        runningSums(re + from[k], im + from[k], noise + from[k], s.len, f, s.re, s.im, s.noise);
        lag[k] = (starts[k] - from[k]) - (starts[0] - from[0]);
    }
    // Cut by the period, a repetition holds 3 units of silence after it.
    return jointRead(count, lag, 3, true, dot, doubt);
}
