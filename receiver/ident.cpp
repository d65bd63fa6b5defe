#include "ident.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kTable = 2500;         // 1020/50000 = 51/2500
constexpr int kBlock = 50;           // 50 kHz to 1 kHz
constexpr int kWindow = 64;          // 1 kHz samples per transform: 64 ms, bins 15.6 Hz apart
constexpr int kHop = 20;             // one cell every 20 ms
constexpr double kCell = 0.02;       // seconds per cell

// Keying: on above both 4 times the noise (6 dB) and a quarter of the
// marks' power (half their amplitude, so that the 40 ms transform's ramps
// leave the lengths alone); off below twice the noise or that quarter.
constexpr double kOnNoise = 4.0, kOffNoise = 2.0, kMarkShare = 0.25;
constexpr uint32_t kMinMark = 3;     // cells: shorter is a glitch (a dot at 13 wpm is 4.6)
constexpr uint32_t kSettle = 25;     // cells before keying: the noise level settles
// A unit read from the grid must lie this share of the way from the
// threshold to its level, and key-down must be this many times key-up in
// amplitude, or the repetition is not read at all.
constexpr double kClear = 0.12, kLevels = 3.0;
constexpr uint32_t kBridge = 2;      // cells: a shorter gap inside a mark is bridged
constexpr uint32_t kLongMark = 60;   // cells: a longer mark is no Morse (a steady tone)
constexpr uint32_t kEndGap = 60;     // cells of silence that end a repetition: 1.2 s

const double kToneHz[kIdentBins] = {-46.875, -31.25, -15.625, 0, 15.625, 31.25, 46.875, -375, -250, 250, 375};

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

// A repetition is over: read it, and confirm what two of the last four
// repetitions agree on.
void endRepetition(identState &s) {
    if (s.count == 0) return;
    std::string text;
    double dot = 0;
    // The marks as keyed only find the repetition; the grid reads it.
    if (!s.broken) text = identDecodeGrid(s.repRe, s.repIm, s.repLen, kToneHz[s.best], dot);
    s.count = 0;
    s.recording = false;
    s.repLen = 0;
    s.broken = false;
    // A VOR's identifier: 2 to 4 letters, and not fewer than 4 elements in
    // all (two blips of speech read as "EE"; no station is keyed so).
    int elements = 0;
    for (char c : text) elements += static_cast<int>(std::strlen(kMorse[c >= 'A' ? c - 'A' : 26 + c - '0']));
    if (text.size() < 2 || text.size() > 4 || elements < 4) text.clear();
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
    if (text.empty()) return;
    // Confirmed: the same letters at the same speed (10 %) in two of the
    // last four repetitions.
    for (int k = 1; k < 4; ++k)
        if (s.history[k] == text && std::fabs(s.historyDot[k] - dot) <= 0.1 * dot) s.confirmed = text;
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
    const double near = (p[kIdentTone] + p[kIdentTone + 1] + p[kIdentTone + 2] + p[kIdentTone + 3]) / 4;
    // The noise: the neighbours now (speech comes and goes), or their
    // slow average, whichever is larger.
    s.noise += (near - s.noise) / std::min<double>(s.cells, 25);
    const double n = std::max(near, s.noise);

    if (s.cells < kSettle) return;
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
                s.repRe[k] = s.preRe[(s.slowCount - have + k) & 255];
                s.repIm[k] = s.preIm[(s.slowCount - have + k) & 255];
            }
            s.repLen = static_cast<int>(have);
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
            s.repLen = 0;
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
        s.preRe[s.slowCount & 255] = s.slowRe;
        s.preIm[s.slowCount & 255] = s.slowIm;
        ++s.slowCount;
        if (s.recording) {
            if (s.repLen < kIdentSlow) {
                s.repRe[s.repLen] = s.slowRe;
                s.repIm[s.repLen++] = s.slowIm;
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

}  // namespace

namespace {

constexpr int kMaxUnits = kIdentSlow / 11 + 2;

// Scratch of the grid decoder: the one thread decodes one repetition at a
// time, so these are shared, and the decoder allocates nothing.
double cumRe[kIdentSlow + 1], cumIm[kIdentSlow + 1];

// A grid's units: the mean amplitude over each, and the two levels (the
// means of the units above and below a threshold halfway between them).
struct Units {
    double amp[kMaxUnits];
    int size[kMaxUnits];
    int count;
    double hi, lo, theta, misfit;
};

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
        const double sr = cumAt(cumRe, at + d) - cumAt(cumRe, at), si = cumAt(cumIm, at + d) - cumAt(cumIm, at);
        const double x = std::sqrt(sr * sr + si * si) / d;
        u.amp[u.count] = x;
        u.size[u.count++] = static_cast<int>(d + 0.5);
        hi = std::max(hi, x);
        lo = std::min(lo, x);
    }
    u.theta = (hi + lo) / 2;
    for (int it = 0; it < 2; ++it) {
        double h = 0, l = 0;
        int nh = 0, nl = 0;
        for (int k = 0; k < u.count; ++k) {
            if (u.amp[k] > u.theta) {
                h += u.amp[k];
                ++nh;
            } else {
                l += u.amp[k];
                ++nl;
            }
        }
        if (nh == 0 || nl == 0) break;
        hi = h / nh;
        lo = l / nl;
        u.theta = (hi + lo) / 2;
    }
    u.hi = hi;
    u.lo = lo;
    // The misfit of the two-level picture, each unit weighted by its length
    // (its noise falls with the square root of it), against the levels' distance.
    double m = 0, n = 0;
    for (int k = 0; k < u.count; ++k) {
        const double e = u.amp[k] - (u.amp[k] > u.theta ? hi : lo);
        m += e * e * u.size[k];
        n += u.size[k];
    }
    u.misfit = n > 0 && hi > lo ? m / n / ((hi - lo) * (hi - lo)) : INFINITY;
}

}  // namespace

std::string identDecodeGrid(const float *re, const float *im, int len, double hz, double &dot) {
    dot = 0;
    if (len < 16 || len > kIdentSlow) return "";
    constexpr double kSlowRate = 125.0;
    // The tone's frequency: the strongest line within 10 Hz of its bin,
    // 0.5 Hz apart, so within 0.25 Hz: the phase then drifts by at most 0.4
    // rad over a 0.24 s unit. (A phasor turned per sample: no trigonometry
    // per sample.)
    double bestHz = hz, bestPower = -1;
    for (double f = hz - 10; f <= hz + 10; f += 0.5) {
        const double w = -2 * kPi * f / kSlowRate, cw = std::cos(w), sw = std::sin(w);
        double pr = 1, pi = 0, sr = 0, si = 0;
        for (int k = 0; k < len; ++k) {
            sr += re[k] * pr - im[k] * pi;
            si += re[k] * pi + im[k] * pr;
            const double t = pr * cw - pi * sw;
            pi = pr * sw + pi * cw;
            pr = t;
        }
        if (sr * sr + si * si > bestPower) {
            bestPower = sr * sr + si * si;
            bestHz = f;
        }
    }
    // The tone brought to 0 Hz, and its running sums: any unit's coherent
    // sum is then one difference.
    {
        const double w = -2 * kPi * bestHz / kSlowRate, cw = std::cos(w), sw = std::sin(w);
        double pr = 1, pi = 0;
        cumRe[0] = cumIm[0] = 0;
        for (int k = 0; k < len; ++k) {
            cumRe[k + 1] = cumRe[k] + re[k] * pr - im[k] * pi;
            cumIm[k + 1] = cumIm[k] + re[k] * pi + im[k] * pr;
            const double t = pr * cw - pi * sw;
            pi = pr * sw + pi * cw;
            pr = t;
        }
    }
    // A grid is as good as its two-level picture fits: with the right dot
    // and phase every unit is all key-down or all key-up; with a wrong one
    // units straddle the edges. Dots of 11-31 samples (13 down to 5 words
    // per minute, with margin), coarsely, then the best ones finely.
    struct Grid { double misfit, d, phase; };
    constexpr int kCoarse = 41, kFine = 4;
    Grid grids[kCoarse];
    static Units u;
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
                    const double d = c.d + dd * i, ph = c.phase + dp * j;
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
        dot = g.d / kSlowRate;
        return text;
    }
    return "";
}
