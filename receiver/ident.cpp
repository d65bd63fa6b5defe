#include "ident.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kTable = 2500;    // 1020/50000 = 51/2500
constexpr int kBlock = 50;      // 50 kHz to 1 kHz
constexpr int kWindow = 64;     // 1 kHz samples per transform: 64 ms, bins 15.6 Hz apart
constexpr int kHop = 20;        // one cell every 20 ms
constexpr double kCell = 0.02;  // seconds per cell

// Keying: on above both 4 times the noise (6 dB) and a quarter of the
// marks' power (half their amplitude, so that the 64 ms transform's ramps
// leave the lengths alone); off below twice the noise or that quarter.
constexpr double kOnNoise = 4.0, kOffNoise = 2.0, kMarkShare = 0.25;
constexpr uint32_t kMinMark = 3;  // cells: shorter is a glitch (a dot at 13 wpm is 4.6)
constexpr uint32_t kSettle = 25;  // cells before keying: the noise level settles
// A unit read from the grid must lie this share of the way from the
// threshold to its level, and key-down must be this many times key-up in
// amplitude, or the repetition is not read at all.
constexpr double kClear = 0.12, kLevels = 3.0;
constexpr uint32_t kBridge = 2;           // cells: a shorter gap inside a mark is bridged
constexpr uint32_t kLongMark = 60;        // cells: a longer mark is no Morse (a steady tone)
constexpr uint32_t kPeriodicCells = 250;  // 5 s
constexpr uint32_t kEndGap = 60;          // cells of silence that end a repetition: 1.2 s

constexpr int kMinPeriod = 500, kMaxPeriod = 2000;  // the period reader's: 4-16 s at 125 Hz
constexpr int kCoarseStep = 4;                      // the period first found at 31.25 Hz
constexpr int kMaxUnits = kIdentSlow / 11 + 2;

// A grid's units: the mean amplitude over each, and the two levels (the
// means of the units above and below a threshold halfway between them).
struct Units {
    double amp[kMaxUnits];
    int size[kMaxUnits];
    int count;
    double hi, lo, theta, misfit;
};

// One repetition, brought to 0 Hz: running sums of the tone band and of the
// noise power.
struct Side {
    double re[kIdentSlow + 1], im[kIdentSlow + 1], noise[kIdentSlow + 1];
    double proj[kIdentSlow + 1];  // running sums of the tone projected on its phase, once known
    double tone;                  // the key-down amplitude there
    int len;
};

// A joint grid's units, each the noise-weighted mean over the repetitions.
struct JointUnits {
    double amp[kMaxUnits], var[kMaxUnits];
    int count;
    double hi, lo, theta, misfit, chi2;
};

// The readers' scratch. The sample thread reads one repetition of one
// station at a time, so every station's decoder shares this one (about
// 0.7 MB), and the readers allocate nothing.
struct identScratch {
    float periodRe[kIdentRecord], periodIm[kIdentRecord], periodNoise[kIdentRecord];  // the half-minute, in order
    double cumRe[kIdentSlow + 1], cumIm[kIdentSlow + 1];                // a repetition's running sums at 0 Hz
    double noiseCum[kIdentSlow + 1];                                    // its noise's running sums
    double toneRe[kIdentRecord / 4 + 1], toneIm[kIdentRecord / 4 + 1];  // the tone search's sums of four
    Units grid;                                                         // one repetition's grid
    Side sides[kIdentJoint];                                            // the repetitions read together
    double lagX[kIdentJoint][kIdentSlow], lagC[2][kIdentSlow / 4];      // their keying, for the lag search
    double zr[kIdentJoint][kMaxUnits], zi[kIdentJoint][kMaxUnits], zv[kIdentJoint][kMaxUnits];  // projections
    bool held[kIdentJoint][kMaxUnits];
    JointUnits rival, joint;  // a rival grid's units, the joint grid's
    // The period reader's: the half-minute's running sums, its activity,
    // that summed in fours, folded on the period and smoothed.
    double recordRe[kIdentRecord + 1], recordIm[kIdentRecord + 1];
    double activity[kIdentRecord], coarse[kIdentRecord / kCoarseStep], fold[kMaxPeriod + 1], smooth[kMaxPeriod + 1];
};
identScratch S;

const double kToneHz[kIdentBins] = {-46.875, -31.25, -15.625, 0,   15.625, 31.25, 46.875, -437.5,
                                    -375,    -312.5, -250,    250, 312.5,  375,   437.5};

struct Tables {
    float mix[kTable][2];
    double blockSum[kTable / kBlock][2];  // the table summed over each 1 ms block
    float tw[kIdentBins][kWindow][2];
    Tables() {
        for (int k = 0; k < kTable; ++k) {
            const double a = -2 * kPi * 51.0 * k / kTable;
            mix[k][0] = static_cast<float>(std::cos(a));
            mix[k][1] = static_cast<float>(std::sin(a));
        }
        for (int b = 0; b < kTable / kBlock; ++b) {
            blockSum[b][0] = blockSum[b][1] = 0;
            for (int k = 0; k < kBlock; ++k) {
                blockSum[b][0] += mix[b * kBlock + k][0];
                blockSum[b][1] += mix[b * kBlock + k][1];
            }
        }
        for (int f = 0; f < kIdentBins; ++f)
            for (int n = 0; n < kWindow; ++n) {
                const double a = -2 * kPi * kToneHz[f] * n / 1000.0;
                tw[f][n][0] = static_cast<float>(std::cos(a));
                tw[f][n][1] = static_cast<float>(std::sin(a));
            }
    }
};

const Tables &tables() {
    static const Tables t;
    return t;
}

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

bool readJoint(const identRep *const *reps, int n, int best, std::string &text, double &doubt) {
    double dot = 0;
    const std::string joint = identDecodeJoint(reps, n, kToneHz[best], dot, doubt);
    if (!isIdent(joint)) return false;
    text = joint;
    return true;
}

bool readPeriodic(identState &s, std::string &text) {
    s.sincePeriodic = 0;
    auto &re = S.periodRe;
    auto &im = S.periodIm;
    auto &noise = S.periodNoise;
    const int len = static_cast<int>(std::min<uint32_t>(s.slowCount, kIdentRecord));
    for (int k = 0; k < len; ++k) {
        const uint32_t at = (s.slowCount - static_cast<uint32_t>(len) + static_cast<uint32_t>(k)) & (kIdentRecord - 1);
        re[k] = s.recRe[at];
        im[k] = s.recIm[at];
        noise[k] = s.recNoise[at];
    }
    double dot, doubt;
    const std::string read = identDecodePeriodic(re, im, noise, len, kToneHz[s.best], dot, doubt);
    if (!isIdent(read)) return false;
    text = read;
    return true;
}

// A repetition is over: read it, and confirm what two of the last four
// repetitions agree on.
void endRepetition(identState &s) {
    if (s.count == 0) return;
    std::string text;
    double dot = 0;
    // The marks as keyed only find the repetition; the grid reads it.
    if (!s.broken) text = identDecodeGrid(s.rep.re, s.rep.im, s.rep.len, kToneHz[s.best], dot, s.rep.noise);
    const bool broken = s.broken;
    const int marks = s.count;
    s.count = 0;
    s.recording = false;
    s.broken = false;
    if (!isIdent(text)) text.clear();
    ++s.heard;
    s.lastHeard = text;
    s.lastDot = dot;
    s.fresh = true;
    for (int k = 3; k > 0; --k) {
        s.history[k] = s.history[k - 1];
        s.historyDot[k] = s.historyDot[k - 1];
    }
    s.history[0] = text;
    s.historyDot[0] = dot;
    // Confirmed: the same letters at the same speed (10 %) in two of the
    // last four repetitions.
    bool agreed = false;
    if (!text.empty())
        for (int k = 1; k < 4; ++k)
            if (s.history[k] == text && std::fabs(s.historyDot[k] - dot) <= 0.1 * dot) agreed = true;
    // Or read together with the newest repetition before it that may be
    // keying (more pairs, and threes, added little to the half-minute's
    // reading below, at twice the cost).
    if (!broken && !agreed && s.confirmed.empty())
        for (const identRep &p : s.past)
            if (p.len > 0) {
                const identRep *pair[2] = {&s.rep, &p};
                double doubt;
                agreed = readJoint(pair, 2, s.best, text, doubt);
                break;
            }
    // Or the last half-minute read by the identifier's period, unless it
    // was read in the last 2 s. (Once one is confirmed, the timer's reading
    // keeps watch.)
    if (!agreed && s.confirmed.empty() && s.sincePeriodic >= kPeriodicCells / 2) agreed = readPeriodic(s, text);
    if (agreed) s.confirmed = text;
    // Only what may be keying is kept: no identifier has fewer than 4 elements.
    for (int k = kIdentPast - 1; k > 0; --k) s.past[k] = s.past[k - 1];
    s.past[0] = s.rep;
    if (broken || marks < 3) s.past[0].len = 0;
    s.rep.len = 0;
}

void cell(identState &s) {
    const Tables &t = tables();
    double p[kIdentBins];
    for (int f = 0; f < kIdentBins; ++f) {
        float re = 0, im = 0;
        for (int n = 0; n < kWindow; ++n) {
            const uint32_t at = (s.ms - kWindow + static_cast<uint32_t>(n)) & (kIdentRing - 1);
            const float xr = s.ringRe[at], xi = s.ringIm[at];
            re += xr * t.tw[f][n][0] - xi * t.tw[f][n][1];
            im += xr * t.tw[f][n][1] + xi * t.tw[f][n][0];
        }
        p[f] = (static_cast<double>(re) * re + static_cast<double>(im) * im) / (kWindow * kWindow);
    }
    // The station's tone sits in one bin for good: the one with the most
    // power over the last few seconds.
    // (A running mean for the first 3 s, then a 3 s memory.)
    int &best = s.best;
    best = 0;
    const double memory = std::min<double>(++s.cells, 150);
    for (int f = 0; f < kIdentTone; ++f) {
        s.binAvg[f] += (p[f] - s.binAvg[f]) / memory;
        if (s.binAvg[f] > s.binAvg[best]) best = f;
    }
    const double tone = (p[best] + s.prevTone) / 2;  // 74 ms in all
    s.prevTone = p[best];
    double near = 0;
    for (int f = kIdentTone; f < kIdentBins; ++f) near += p[f];
    near /= kIdentBins - kIdentTone;
    // The noise: the neighbours now (speech comes and goes), or their
    // slow average, whichever is larger.
    s.noise += (near - s.noise) / std::min<double>(s.cells, 25);
    const double n = std::max(near, s.noise);
    s.nearNow = static_cast<float>(near);
    // The samples this window covered (64 ms: the last 8 at 125 Hz) take
    // the mean noise of the windows over them: centred on each, so that a
    // burst of speech is not missed by the window that ended before it
    // began, nor its end by the one that began after. (The largest would
    // overstate the noise by a quarter, and understate every unit's weight.)
    for (uint32_t k = 1; k <= 8 && k <= s.slowCount; ++k) {
        const uint32_t at = (s.slowCount - k) & (kIdentRecord - 1);
        float &r = s.recNoise[at];
        r += (s.nearNow - r) / static_cast<float>(++s.recCover[at]);
        if (s.recording && static_cast<int>(k) <= s.rep.len) s.rep.noise[s.rep.len - static_cast<int>(k)] = r;
    }

    if (s.cells < kSettle) return;
    // Speech can bridge the silence between repetitions, so that none
    // ends: the last half-minute is read by its period 5 s after the last
    // time too.
    if (++s.sincePeriodic >= kPeriodicCells) {
        std::string text;
        if (readPeriodic(s, text)) s.confirmed = text;
    }
    const bool was = s.on;
    if (!s.on)
        s.on = tone > kOnNoise * n && tone > kMarkShare * s.mark;
    else
        s.on = !(tone < kOffNoise * n || tone < kMarkShare * s.mark);
    if (s.on) s.mark += (tone - s.mark) / (s.mark > 0 ? 16.0 : 1.0);

    if (s.on == was) {
        ++s.run;
        if (s.on && s.run == kLongMark) s.broken = true;
        // A long silence ends the repetition.
        if (!s.on && s.count > 0 && s.run >= kEndGap) endRepetition(s);
        return;
    }
    if (s.on) {
        // A mark starts; the first of a repetition starts the kept tone
        // band, with the 1.2 s before it.
        if (s.count == 0 && !s.recording) {
            constexpr uint32_t kPre = 150;
            const uint32_t have = std::min(kPre, s.slowCount);
            for (uint32_t k = 0; k < have; ++k) {
                const uint32_t at = (s.slowCount - have + k) & (kIdentRecord - 1);
                s.rep.re[k] = s.recRe[at];
                s.rep.im[k] = s.recIm[at];
                s.rep.noise[k] = s.recNoise[at];
            }
            s.rep.len = static_cast<int>(have);
            s.recording = true;
        }
        // A gap too short to be one bridges two pieces of a mark.
        if (s.count > 0 && s.run < kBridge) {
            s.run = s.marks[--s.count] + s.run + 1;
            return;
        }
        if (s.count > 0) s.gaps[s.count - 1] = static_cast<uint16_t>(std::min<uint32_t>(s.run, 65535));
        s.run = 1;
        return;
    }
    // A mark ends.
    if (s.run < kMinMark) {
        // A glitch: it never was a mark; its cells count as gap.
        if (s.count > 0) {
            s.run = s.gaps[s.count - 1] + s.run + 1;
        } else {
            s.run = kEndGap;  // before any mark: silence
            s.recording = false;
            s.rep.len = 0;
        }
        return;
    }
    if (s.count == kIdentMarks) {
        s.broken = true;
    } else {
        s.marks[s.count] = static_cast<uint16_t>(std::min<uint32_t>(s.run, 65535));
        s.gaps[s.count] = 0;
        ++s.count;
    }
    s.run = 1;
}

}  // namespace

const float (*identTable())[2] { return tables().mix; }

void identBlock(identState &s) {
    const Tables &t = tables();
    // Take out the envelope's mean (the carrier), mixed like the rest: its
    // alias would otherwise land near the tone.
    const double mean = s.esum / kBlock;
    s.dc = s.ms == 0 ? mean : s.dc + (mean - s.dc) / 64.0;
    const uint32_t b = (s.tab + kTable - kBlock) % kTable / kBlock;
    const uint32_t at = s.ms & (kIdentRing - 1);
    s.ringRe[at] = static_cast<float>((s.zre - s.dc * t.blockSum[b][0]) / kBlock);
    s.ringIm[at] = static_cast<float>((s.zim - s.dc * t.blockSum[b][1]) / kBlock);
    s.zre = s.zim = s.esum = 0;
    s.fill = 0;
    // 125 Hz: sums of 8.
    s.slowRe += s.ringRe[at];
    s.slowIm += s.ringIm[at];
    if ((s.ms & 7) == 7) {
        const uint32_t at8 = s.slowCount & (kIdentRecord - 1);
        s.recRe[at8] = s.slowRe;
        s.recIm[at8] = s.slowIm;
        s.recNoise[at8] = s.nearNow;  // until the windows over it come
        s.recCover[at8] = 0;
        ++s.slowCount;
        if (s.recording) {
            if (s.rep.len < kIdentSlow) {
                s.rep.re[s.rep.len] = s.slowRe;
                s.rep.im[s.rep.len] = s.slowIm;
                s.rep.noise[s.rep.len++] = s.nearNow;
            } else {
                s.broken = true;
            }
        }
        s.slowRe = s.slowIm = 0;
    }
    ++s.ms;
    if (s.ms >= kWindow && s.ms % kHop == 0) cell(s);
}

bool identTakeHeard(identState &s) {
    const bool f = s.fresh;
    s.fresh = false;
    return f;
}

namespace {

// Reads whole units (1: key down) as Morse: runs of 1 or 3 ones are dots and
// dashes, single zeros part elements, 3 to 8 zeros part letters; anything
// else is no Morse.
std::string parseUnits(const uint8_t *u, int n) {
    size_t a = 0, b = static_cast<size_t>(n);
    while (a < b && !u[a]) ++a;
    while (b > a && !u[b - 1]) --b;
    if (a == b) return "";
    std::string text, code;
    for (size_t k = a; k < b;) {
        size_t r = k;
        while (r < b && u[r] == u[k]) ++r;
        const size_t run = r - k;
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
// or nothing is read.
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

}  // namespace

namespace {

// The two levels of a grid's units: the weighted means of the units above
// and below a threshold halfway between them (from the extremes hi and lo,
// twice); then the misfit of that picture against the levels' distance.
// Weights null: all alike. Returns the weighted squared misfit itself.
double twoLevels(const double *amp, const double *weight, const double *misfitWeight, int count, double &hi, double &lo,
                 double &theta, double &misfit) {
    theta = (hi + lo) / 2;
    for (int it = 0; it < 2; ++it) {
        double h = 0, l = 0, wh = 0, wl = 0;
        for (int k = 0; k < count; ++k) {
            const double w = weight ? weight[k] : 1.0;
            if (amp[k] > theta) {
                h += w * amp[k];
                wh += w;
            } else {
                l += w * amp[k];
                wl += w;
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
        m += e * e * misfitWeight[k];
        n += misfitWeight[k];
    }
    misfit = n > 0 && hi > lo ? m / n / ((hi - lo) * (hi - lo)) : INFINITY;
    return m;
}

// exact: unit edges fall between samples, and the running sums are
// interpolated so that a unit takes exactly its share of the samples at its
// edges; otherwise (the coarse search) the edges are whole samples.
void units(int len, double d, double ph, Units &u, bool exact = true) {
    u.count = 0;
    double hi = 0, lo = INFINITY;
    auto cumAt = [exact](const double *c, double x) {
        const int i = static_cast<int>(x);
        return exact ? c[i] + (x - i) * (c[i + 1] - c[i]) : c[i];
    };
    for (double at = ph; at + d < len && u.count < kMaxUnits; at += d) {
        const double sr = cumAt(S.cumRe, at + d) - cumAt(S.cumRe, at), si = cumAt(S.cumIm, at + d) - cumAt(S.cumIm, at);
        const double x = std::sqrt(sr * sr + si * si) / d;
        u.amp[u.count] = x;
        u.size[u.count++] = static_cast<int>(d + 0.5);
        hi = std::max(hi, x);
        lo = std::min(lo, x);
    }
    // Each unit weighted by its length: its noise falls with the square
    // root of it.
    double size[kMaxUnits];
    for (int k = 0; k < u.count; ++k) size[k] = u.size[k];
    twoLevels(u.amp, nullptr, size, u.count, hi, lo, u.theta, u.misfit);
    u.hi = hi;
    u.lo = lo;
}

}  // namespace

namespace {

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
// 0.24 s unit. (A phasor turned per sample: no trigonometry per sample.)
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

// The tone brought to 0 Hz, and its running sums: any unit's coherent sum
// is then one difference.
void runningSums(const float *re, const float *im, int len, double hz, double *cr, double *ci) {
    Phasor p(-2 * kPi * hz / kSlowRate);
    cr[0] = ci[0] = 0;
    for (int k = 0; k < len; ++k, p.turn()) {
        cr[k + 1] = cr[k] + re[k] * p.re - im[k] * p.im;
        ci[k + 1] = ci[k] + re[k] * p.im + im[k] * p.re;
    }
}

// A dot changed from d to to moves the grid's far units by many samples: the
// phase that keeps the unit in the middle of the repetition where it was.
double pivot(int len, double d, double phase, double to) {
    const double middle = std::floor((len / 2.0 - phase) / d);
    double ph = phase + (d - to) * std::max(middle, 0.0);
    while (ph < 0) ph += to;
    while (ph >= to) ph -= to;
    return ph;
}

}  // namespace

namespace {

constexpr double kClearSigma = 3.0;

// Running sums of the noise power beside the tone. Before the first cells
// the noise is not known yet: the rest's mean stands in.
void noiseSums(const float *noise, int len, double *cum) {
    double known = 0;
    int n = 0;
    for (int k = 0; k < len; ++k)
        if (noise[k] > 0) {
            known += noise[k];
            ++n;
        }
    const double fill = n ? known / n : 1e-20;
    cum[0] = 0;
    for (int k = 0; k < len; ++k) cum[k + 1] = cum[k] + (noise[k] > 0 ? noise[k] : fill);
}

// Every unit 3 sigma of its own noise (per component: 1/256 of a 64 ms
// bin's power per sample, over d samples) from the threshold.
bool clearOfNoise(const float *noise, int len, double d, double phase, const Units &u) {
    auto &cum = S.noiseCum;
    noiseSums(noise, len, cum);
    auto at = [](double x) {
        const int i = static_cast<int>(x);
        return cum[i] + (x - i) * (cum[i + 1] - cum[i]);
    };
    for (int j = 0; j < u.count; ++j) {
        const double x = phase + j * d;
        const double var = 256 * (at(x + d) - at(x)) / (d * d);
        if (std::fabs(u.amp[j] - u.theta) < kClearSigma * std::sqrt(var)) return false;
    }
    return true;
}

}  // namespace

std::string identDecodeGrid(const float *re, const float *im, int len, double hz, double &dot, const float *noise) {
    dot = 0;
    if (len < 16 || len > kIdentSlow) return "";
    runningSums(re, im, len, toneFrequency(re, im, len, hz), S.cumRe, S.cumIm);
    // A grid is as good as its two-level picture fits: with the right dot
    // and phase every unit is all key-down or all key-up; with a wrong one
    // units straddle the edges. Dots of 11-31 samples (13 down to 5 words
    // per minute, with margin), coarsely, then the best ones finely.
    struct Grid {
        double misfit, d, phase;
    };
    constexpr int kCoarse = 41, kFine = 4;
    Grid grids[kCoarse];
    Units &u = S.grid;
    for (int k = 0; k < kCoarse; ++k) {
        const double d = 11.0 + 0.5 * k;
        grids[k] = {INFINITY, d, 0};
        for (double ph = 0; ph < d; ph += 1.0) {
            units(len, d, ph, u, false);
            if (u.misfit < grids[k].misfit) grids[k] = {u.misfit, d, ph};
        }
    }
    std::sort(grids, grids + kCoarse, [](const Grid &x, const Grid &y) { return x.misfit < y.misfit; });
    // Finely: over 40 units an error of 0.01 samples in the dot moves the
    // last edge by 0.4 samples. The best few grids, in steps of 0.04 in the
    // dot and 0.25 in the phase, then of 0.01 and 0.125 around the best.
    for (int k = 0; k < kFine; ++k) {
        Grid g = grids[k];
        for (int pass = 0; pass < 2; ++pass) {
            const Grid c = g;
            const double dd = pass == 0 ? 0.04 : 0.01, dp = pass == 0 ? 0.25 : 0.125;
            const int nd = pass == 0 ? 6 : 3;
            for (int i = -nd; i <= nd; ++i)
                for (int j = -2; j <= 2; ++j) {
                    const double d = c.d + dd * i, ph = pivot(len, c.d, c.phase, d) + dp * j;
                    if (ph < 0) continue;
                    units(len, d, ph, u);
                    if (u.misfit < g.misfit) g = {u.misfit, d, ph};
                }
        }
        grids[k] = g;
    }
    std::sort(grids, grids + kFine, [](const Grid &x, const Grid &y) { return x.misfit < y.misfit; });
    // Halves and thirds of the dot fit as well as whole ones; they read as
    // no Morse and are passed over.
    for (int k = 0; k < kFine; ++k) {
        const Grid &g = grids[k];
        if (g.misfit > 1.5 * grids[0].misfit + 0.01) break;
        units(len, g.d, g.phase, u);
        uint8_t bits[kMaxUnits];
        for (int j = 0; j < u.count; ++j) bits[j] = u.amp[j] > u.theta;
        const std::string text = parseUnits(bits, u.count);
        if (text.empty()) continue;
        // Never a guess: key-down well above key-up, and every unit clear
        // of the threshold between them.
        double worst = INFINITY;
        for (int j = 0; j < u.count; ++j) worst = std::min(worst, std::fabs(u.amp[j] - u.theta) / (u.hi - u.lo));
        if (u.hi < kLevels * u.lo || worst < kClear) return "";
        if (noise && !clearOfNoise(noise, len, g.d, g.phase, u)) return "";
        dot = g.d / kSlowRate;
        return text;
    }
    return "";
}

namespace {

// Read together, a repetition must not be the same letters by chance: the
// other identifiers a unit or two away must be this unlikely in all; and no
// repetition may lie on the other side of the threshold by more than
// kJointContradict of its own noise.
constexpr double kJointDoubt = 1e-4, kJointContradict = 2.0;
// A rival less likely than e^-30 against the read cannot move the doubt
// (1e-4) even a hundred times over: it is not parsed.
constexpr double kNegligible = 30;
constexpr int kJointLag = 200;  // 125 Hz samples: the repetitions' starts may differ by 1.6 s

void prepare(const float *re, const float *im, const float *noise, int len, double hz, Side &s) {
    s.len = len;
    runningSums(re, im, len, hz, s.re, s.im);
    noiseSums(noise, len, s.noise);
}

// A unit [x, x + d) of one side: its amplitude and that amplitude's noise
// variance per component. A 125 Hz sample sums 8 samples at 1 kHz, whose
// noise is 64 times the power of a 64 ms bin: 512 times the bin's power,
// half of it in each component.
// sr, si: the unit's mean, complex.
bool sideUnit(const Side &s, double x, double d, bool exact, double &amp, double &var, double *sr = nullptr,
              double *si = nullptr) {
    if (x < 0 || x + d > s.len) return false;
    auto at = [exact](const double *c, double v) {
        const int i = static_cast<int>(v);
        return exact ? c[i] + (v - i) * (c[i + 1] - c[i]) : c[i];
    };
    const double re = (at(s.re, x + d) - at(s.re, x)) / d, im = (at(s.im, x + d) - at(s.im, x)) / d;
    amp = std::sqrt(re * re + im * im);
    var = std::max(256 * (at(s.noise, x + d) - at(s.noise, x)) / (d * d), 1e-20);
    if (sr) *sr = re;
    if (si) *si = im;
    return true;
}

// The grid of dot d from ph on the first side, and from ph + lag[k] on side
// k; each unit the noise-weighted mean of all sides that hold it.
void jointUnits(int n, double d, double ph, const double *lag, JointUnits &u, bool exact = true) {
    u.count = 0;
    double hi = 0, lo = INFINITY;
    double weight[kMaxUnits];
    for (double x = ph; x + d <= S.sides[0].len && u.count < kMaxUnits; x += d) {
        double sum = 0, w = 0;
        for (int k = 0; k < n; ++k) {
            double a, v;
            if (!sideUnit(S.sides[k], x + lag[k], d, exact, a, v)) continue;
            const double inv = 1 / v;
            sum += a * inv;
            w += inv;
        }
        const double a = sum / w;
        weight[u.count] = w;
        u.amp[u.count] = a;
        u.var[u.count++] = 1 / w;
        hi = std::max(hi, a);
        lo = std::min(lo, a);
    }
    // Each unit weighted by its noise, in the levels and in the misfit.
    u.chi2 = twoLevels(u.amp, weight, weight, u.count, hi, lo, u.theta, u.misfit);
    u.hi = hi;
    u.lo = lo;
}

// Where side k's keying lies against the first side's: the lag that best
// matches their tone amplitude against the noise, over 64 ms.
int jointLag(int k) {
    auto &x = S.lagX;
    constexpr int kSpan = 8;
    int len[2];
    const int which[2] = {0, k};
    for (int w = 0; w < 2; ++w) {
        const Side &s = S.sides[which[w]];
        double *y = x[which[w]];
        len[w] = std::max(s.len - kSpan, 0);
        double mean = 0;
        for (int i = 0; i < len[w]; ++i) {
            const double sr = s.re[i + kSpan] - s.re[i], si = s.im[i + kSpan] - s.im[i];
            const double n = 512 * (s.noise[i + kSpan] - s.noise[i]);
            // Bounded: where one repetition is clear and the other masked,
            // the clear one's keying must not outweigh the match.
            y[i] = std::min(std::sqrt((sr * sr + si * si) / std::max(n, 1e-20)), 3.0);
            mean += y[i];
        }
        mean /= std::max(len[w], 1);
        for (int i = 0; i < len[w]; ++i) y[i] -= mean;
    }
    // Coarsely on sums of four (31.25 Hz), then at 125 Hz around the best.
    auto &c = S.lagC;
    int m[2];
    for (int w = 0; w < 2; ++w) {
        m[w] = len[w] / 4;
        for (int j = 0; j < m[w]; ++j) {
            const double *y = x[which[w]] + 4 * j;
            c[w][j] = y[0] + y[1] + y[2] + y[3];
        }
    }
    auto match = [](const double *a, int na, const double *b, int nb, int lag) {
        double sum = 0;
        for (int i = std::max(0, -lag); i < na && i + lag < nb; ++i) sum += a[i] * b[i + lag];
        return sum;
    };
    int coarse = 0;
    double bestSum = -INFINITY;
    for (int lag = -kJointLag / 4; lag <= kJointLag / 4; ++lag) {
        const double sum = match(c[0], m[0], c[1], m[1], lag);
        if (sum > bestSum) {
            bestSum = sum;
            coarse = lag;
        }
    }
    int best = 4 * coarse;
    bestSum = -INFINITY;
    for (int lag = 4 * coarse - 4; lag <= 4 * coarse + 4; ++lag) {
        const double sum = match(x[0], len[0], x[k], len[1], lag);
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best;
}

// ln I0(x), the Rice distribution's Bessel term; its asymptote where the
// function itself would overflow.
double logBesselI0(double x) { return x < 500 ? std::log(std::cyl_bessel_i(0.0, x)) : x - 0.5 * std::log(2 * kPi * x); }

// Each unit's log-likelihood ratio, key-down (a tone of amplitude a, the
// key-down level) against key-up: on every side that holds it, the
// amplitude of a tone in noise (Rice) against that of noise alone
// (Rayleigh), with that side's noise there.
void unitRatios(int n, double d, double ph, const double *lag, const JointUnits &u, double *llr) {
    const double a = u.hi;
    for (int j = 0; j < u.count; ++j) {
        llr[j] = 0;
        for (int k = 0; k < n; ++k) {
            double amp, v;
            if (!sideUnit(S.sides[k], ph + j * d + lag[k], d, true, amp, v)) continue;
            llr[j] += logBesselI0(amp * a / v) - a * a / (2 * v);
        }
    }
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

// A unit's mean projection, and its noise variance (one component).
bool projUnit(const Side &s, double x, double d, double &p, double &var) {
    if (x < 0 || x + d > s.len) return false;
    auto at = [](const double *c, double v) {
        const int i = static_cast<int>(v);
        return c[i] + (v - i) * (c[i + 1] - c[i]);
    };
    p = (at(s.proj, x + d) - at(s.proj, x)) / d;
    var = std::max(256 * (at(s.noise, x + d) - at(s.noise, x)) / (d * d), 1e-20);
    return true;
}

// Each unit's log-likelihood ratio on the projections: the side's tone, or
// nothing, in Gaussian noise. Returns the count of units.
int projRatios(int n, double d, double ph, const double *lag, int count, double *llr) {
    int units = 0;
    for (int j = 0; j < count; ++j) {
        llr[j] = 0;
        bool any = false;
        for (int k = 0; k < n; ++k) {
            double p, v;
            if (!projUnit(S.sides[k], ph + j * d + lag[k], d, p, v)) continue;
            const double a = S.sides[k].tone;
            llr[j] += (p * a - a * a / 2) / v;
            any = true;
        }
        if (any) units = j + 1;
    }
    return units;
}

bool coherentRatios(int n, double d, double ph, const double *lag, int count, const uint8_t *bits, double *llr) {
    auto &zr = S.zr;
    auto &zi = S.zi;
    auto &zv = S.zv;
    auto &held = S.held;
    for (int j = 0; j < count; ++j) llr[j] = 0;
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
            double p, v;
            if (!bits[j] || !projUnit(sd, ph + j * d + lag[k], d, p, v)) continue;
            ampSum += p / v;
            weight += 1 / v;
        }
        sd.tone = ampSum / weight;
    }
    projRatios(n, d, ph, lag, count, llr);
    return true;
}

// How likely, against the read, are the other identifiers a unit or two
// away? Each unit's log-likelihood ratio is the price of reading it the
// other way; a flip that leaves no
// identifier costs nothing to rule out, as stations key nothing else. The
// sum of exp(-price) over the rivals found, for every single flip and every
// pair among the cheapest units.
double rivals(const JointUnits &u, const double *llr, uint8_t *bits, const std::string &text) {
    double price[kMaxUnits];
    int order[kMaxUnits];
    for (int j = 0; j < u.count; ++j) {
        price[j] = bits[j] ? llr[j] : -llr[j];
        order[j] = j;
    }
    std::sort(order, order + u.count, [&](int x, int y) { return price[x] < price[y]; });
    auto rival = [&]() {
        const std::string other = parseBody(bits, u.count);
        return isIdent(other) && other != text;
    };
    double sum = 0;
    for (int j = 0; j < u.count; ++j) {
        if (price[j] > kNegligible) continue;
        bits[j] ^= 1;
        if (rival()) sum += std::exp(-price[j]);
        bits[j] ^= 1;
    }
    constexpr int kCheap = 12;
    const int cheap = std::min(kCheap, u.count);
    for (int x = 0; x < cheap; ++x)
        for (int y = x + 1; y < cheap; ++y) {
            const int i = order[x], j = order[y];
            if (price[i] + price[j] > kNegligible) continue;
            bits[i] ^= 1;
            bits[j] ^= 1;
            if (rival()) sum += std::exp(-price[i] - price[j]);
            bits[i] ^= 1;
            bits[j] ^= 1;
        }
    return sum;
}

// A grid a little off (the dot 3 % either way, the phase half a unit) that
// reads another identifier is a rival too: a weak element read as key-up on
// the wrong grid fits nearly as well as on the right one. Its likelihood
// against the read's, from the two grids' chi-square; the grids that read
// the same share the read's.
double nearbyRivals(int n, double d, double phase, const double *lag, double chi2, const std::string &text) {
    JointUnits &v = S.rival;
    double same = 1, others = 0;
    for (int i = -6; i <= 6; ++i)
        for (int j = -4; j <= 4; ++j) {
            const double dd = d * (1 + 0.005 * i), ph = pivot(S.sides[0].len, d, phase, dd) + 0.125 * j * dd;
            if (ph < 0 || (i == 0 && j == 0)) continue;
            jointUnits(n, dd, ph, lag, v);
            uint8_t bits[kMaxUnits];
            for (int k = 0; k < v.count; ++k) bits[k] = v.amp[k] > v.theta;
            if (v.chi2 - chi2 > 2 * kNegligible) continue;
            const std::string other = parseBody(bits, v.count);
            const double p = std::exp(-std::max(v.chi2 - chi2, -50.0) / 2);
            if (other == text)
                same += p;
            else if (isIdent(other))
                others += p;
        }
    return others / same;
}

// The same on the projections: a grid's likelihood is the sum of its
// key-down units' log-likelihood ratios. better (may be null): the
// neighbour (its dot and phase) that beats the grid by more than one nat,
// if one does (the magnitudes chose the grid, and speech sways them).
double nearbyCoherent(int n, double d, double phase, const double *lag, int count, const double *llr,
                      const std::string &text, double *better = nullptr) {
    double best = 0;
    for (int j = 0; j < count; ++j) best += std::max(llr[j], 0.0);
    double same = 1, others = 0, top = best + 1;
    for (int i = -6; i <= 6; ++i)
        for (int j = -4; j <= 4; ++j) {
            const double dd = d * (1 + 0.005 * i), ph = pivot(S.sides[0].len, d, phase, dd) + 0.125 * j * dd;
            if (ph < 0 || (i == 0 && j == 0)) continue;
            double r[kMaxUnits];
            const int units =
                projRatios(n, dd, ph, lag, std::min(kMaxUnits, static_cast<int>((S.sides[0].len - ph) / dd)), r);
            uint8_t bits[kMaxUnits];
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
            if (sum - best < -kNegligible) continue;
            const double p = std::exp(std::min(sum - best, 50.0));
            const std::string other = parseBody(bits, units);
            if (other == text)
                same += p;
            else if (isIdent(other))
                others += p;
        }
    return others / same;
}

}  // namespace

namespace {

// The n sides prepared, read together from the lags given: the grid, the
// lags refined, and the guards. after: the units of silence every side must
// hold after the keying (before it, 3).
std::string jointRead(int n, const double *lag, int after, bool partial, double &dot, double &doubt) {
    struct Grid {
        double misfit, d, phase, lag[kIdentJoint];
    };
    Grid start{INFINITY, 0, 0, {0}};
    for (int k = 1; k < n; ++k) start.lag[k] = lag[k];
    // The phase in steps of two samples, then one either side of the best
    // (the joint grid costs n times one repetition's); the best few refined
    // only when each comes to be read.
    constexpr int kCoarse = 41, kFine = 4;
    Grid grids[kCoarse];
    JointUnits &u = S.joint;
    for (int k = 0; k < kCoarse; ++k) {
        grids[k] = start;
        grids[k].d = 11.0 + 0.5 * k;
        auto at = [&](double ph) {
            jointUnits(n, grids[k].d, ph, start.lag, u, false);
            if (u.misfit < grids[k].misfit) {
                grids[k].misfit = u.misfit;
                grids[k].phase = ph;
            }
        };
        for (double ph = 0; ph < grids[k].d; ph += 2.0) at(ph);
        const double ph = grids[k].phase;
        if (ph >= 1) at(ph - 1);
        if (ph + 1 < grids[k].d) at(ph + 1);
    }
    std::sort(grids, grids + kCoarse, [](const Grid &x, const Grid &y) { return x.misfit < y.misfit; });
    // Finely, as for one repetition, and each lag in turn in quarter samples.
    double firstMisfit = INFINITY;
    for (int k = 0; k < kFine; ++k) {
        Grid g = grids[k];
        for (int pass = 0; pass < 2; ++pass) {
            Grid c = g;
            const double dd = pass == 0 ? 0.04 : 0.01, dp = pass == 0 ? 0.25 : 0.125;
            const int nd = pass == 0 ? 6 : 3;
            for (int i = -nd; i <= nd; ++i)
                for (int j = -2; j <= 2; ++j) {
                    Grid t = c;
                    t.d = c.d + dd * i;
                    t.phase = pivot(S.sides[0].len, c.d, c.phase, t.d) + dp * j;
                    if (t.phase < 0) continue;
                    jointUnits(n, t.d, t.phase, t.lag, u);
                    if (u.misfit < g.misfit) g = t, g.misfit = u.misfit;
                }
            for (int side = 1; side < n; ++side) {
                c = g;
                for (int l = -4; l <= 4; ++l) {
                    Grid t = c;
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
            nearbyCoherent(n, g.d, g.phase, g.lag, u.count, llr, parseBody(bits, u.count), better);
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
                return "";
            }
        } else {
            if (text.empty()) continue;
            for (int j = 0; j < u.count; ++j) bits[j] = u.amp[j] > u.theta;
            unitRatios(n, g.d, g.phase, g.lag, u, llr);
        }
        // Every repetition holds all of the keying, with silence around it
        // (3 units before, and after it `after`: 6 where silences found
        // the repetitions, less than the 1.2 s that ends one; 3 where the
        // period cut them): no part is read from one alone, and none from
        // a repetition cut short.
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
        if (whole < 2) return "";
        double against = 0;
        for (int j = 0; j < u.count; ++j)
            for (int side = 0; side < n; ++side) {
                double amp, v;
                if (!sideUnit(S.sides[side], g.phase + j * g.d + g.lag[side], g.d, true, amp, v)) continue;
                const double z = (amp - u.theta) / std::sqrt(v);
                against = std::max(against, bits[j] ? -z : z);
            }
        doubt = rivals(u, llr, bits, text) + (coherent ? nearbyCoherent(n, g.d, g.phase, g.lag, u.count, llr, text)
                                                       : nearbyRivals(n, g.d, g.phase, g.lag, u.chi2, text));
        if (doubt > kJointDoubt || against > kJointContradict) return "";
        dot = g.d / kSlowRate;
        return text;
    }
    return "";
}

}  // namespace

std::string identDecodeJoint(const identRep *const *reps, int n, double hz, double &dot, double &doubt) {
    dot = 0;
    doubt = INFINITY;
    if (n < 2 || n > kIdentJoint) return "";
    for (int k = 0; k < n; ++k)
        if (reps[k]->len < 16 || reps[k]->len > kIdentSlow) return "";
    for (int k = 0; k < n; ++k) {
        const identRep &r = *reps[k];
        prepare(r.re, r.im, r.noise, r.len, toneFrequency(r.re, r.im, r.len, hz), S.sides[k]);
    }
    double lag[kIdentJoint] = {0};
    for (int k = 1; k < n; ++k) lag[k] = jointLag(k);
    return jointRead(n, lag, 6, false, dot, doubt);
}

namespace {

constexpr double kPeriodMatch = 0.15;  // of the activity's variance, or nothing repeats
constexpr double kKeyedRise = 0.25;    // activity (tone over noise) where a side keys

// The mean product of x with itself lag samples on.
double selfMatch(const double *x, int n, int lag) {
    double sum = 0;
    for (int i = 0; i + lag < n; ++i) sum += x[i] * x[i + lag];
    return sum / (n - lag);
}

// The period: the lag that best matches the activity with itself, at
// 31.25 Hz, then to a fraction of a sample at 125 Hz. A whole multiple
// matches as well as the period does: the shortest that does is taken.
// 0 when nothing repeats.
double keyingPeriod(int n) {
    const int m = n / kCoarseStep;
    for (int j = 0; j < m; ++j) {
        S.coarse[j] = 0;
        for (int i = 0; i < kCoarseStep; ++i) S.coarse[j] += S.activity[j * kCoarseStep + i];
    }
    const int lo = kMinPeriod / kCoarseStep, hi = std::min(kMaxPeriod / kCoarseStep, m / 2);
    if (hi <= lo) return 0;
    const double zero = selfMatch(S.coarse, m, 0);
    int best = lo;
    double bestMatch = -INFINITY;
    for (int lag = lo; lag <= hi; ++lag) {
        const double c = selfMatch(S.coarse, m, lag);
        if (c > bestMatch) {
            bestMatch = c;
            best = lag;
        }
    }
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
    double match[11];
    for (int k = 0; k < 11; ++k) match[k] = selfMatch(S.activity, n, best * kCoarseStep - 5 + k);
    int top = 0;
    for (int k = 1; k < 11; ++k)
        if (match[k] > match[top]) top = k;
    const int fine = best * kCoarseStep - 5 + top;
    double frac = 0;
    if (top > 0 && top < 10) {
        const double a = match[top - 1], b = match[top], c = match[top + 1];
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
    runningSums(re, im, len, f, S.recordRe, S.recordIm);
    // The activity: the tone's amplitude over the noise in 64 ms, bounded
    // (speech that masks the tone must not outweigh the keying elsewhere).
    constexpr int kSpan = 8;
    const int n = len - kSpan;
    double mean = 0;
    for (int i = 0; i < n; ++i) {
        double power = 0;
        for (int k = 0; k < kSpan; ++k) power += noise[i + k];
        const double sr = S.recordRe[i + kSpan] - S.recordRe[i], si = S.recordIm[i + kSpan] - S.recordIm[i];
        S.activity[i] = power > 0 ? std::min(std::sqrt((sr * sr + si * si) / (512 * power)), 3.0) : 0;
        mean += S.activity[i];
    }
    mean /= n;
    for (int i = 0; i < n; ++i) S.activity[i] -= mean;
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
        prepare(re + from[k], im + from[k], noise + from[k], to[k] - from[k], f, S.sides[k]);
        lag[k] = (starts[k] - from[k]) - (starts[0] - from[0]);
    }
    return jointRead(count, lag, 3, true, dot, doubt);
}
