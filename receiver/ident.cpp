#include "ident.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kTable = 2500;  // 1020/50000 = 51/2500
constexpr int kBlock = 50;    // 50 kHz to 1 kHz
constexpr int kWindow = 64;   // 1 kHz samples per transform: 64 ms, bins 15.6 Hz apart
constexpr int kHop = 20;      // one cell every 20 ms

// Keying: on above both 4 times the noise (6 dB) and a quarter of the
// marks' power (half their amplitude, so that the 64 ms transform's ramps
// leave the lengths alone); off below twice the noise or that quarter.
constexpr double kOnNoise = 4.0, kOffNoise = 2.0, kMarkShare = 0.25;
constexpr uint32_t kMinMark = 3;          // cells: shorter is a glitch (a dot at 13 wpm is 4.6)
constexpr uint32_t kSettle = 25;          // cells before keying: the noise level settles
constexpr uint32_t kBridge = 2;           // cells: a shorter gap inside a mark is bridged
constexpr uint32_t kLongMark = 60;        // cells: a longer mark is no Morse (a steady tone)
constexpr uint32_t kPeriodicCells = 250;  // 5 s
constexpr uint32_t kEndGap = 60;          // cells of silence that end a repetition: 1.2 s
constexpr double kSteady = 0.7;           // the carrier's share kept to the repetition's end
constexpr double kAlone = 9.4e-14;        // e^-30: a repetition read alone with no rival above this
// The reader never takes the noise beside the tone below what it is on a
// 60 dB-Hz station: 7e-6 of the carrier's power in a neighbour's 64 ms bin
// (measured on the generator). Above that the tone's model (one keyed
// oscillator) fits worse than the noise would say, and speech harmonics
// that sweep through the tone's bin and not its neighbours' stand out of a
// quiet floor as if keyed. With real speech at 30 % rms on a 70 dB-Hz
// station, 72 cases: 83 % named within 30 s without the floor, 90 % with
// it, as at 60 dB-Hz.
constexpr double kNoiseFloor = 7e-6;

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

// The half-minute in order, for the period reader: one for every station,
// as the sample thread reads one station's at a time.
struct {
    float re[kIdentRecord], im[kIdentRecord], noise[kIdentRecord];
} period;

// The last half-minute, read by its period.
bool readPeriodic(identState &s, std::string &text) {
    s.sincePeriodic = 0;
    auto &re = period.re;
    auto &im = period.im;
    auto &noise = period.noise;
    const int len = static_cast<int>(std::min<uint32_t>(s.slowCount, kIdentRecord));
    for (int k = 0; k < len; ++k) {
        const uint32_t at = (s.slowCount - static_cast<uint32_t>(len) + static_cast<uint32_t>(k)) & (kIdentRecord - 1);
        re[k] = s.recRe[at];
        im[k] = s.recIm[at];
        noise[k] = s.recNoise[at];
    }
    double dot, doubt;
    const std::string read = identDecodePeriodic(re, im, noise, len, kToneHz[s.best], dot, doubt);
    if (read.empty()) return false;
    text = read;
    return true;
}

// What was read beyond doubt is confirmed; but a confirmed identifier
// gives way to another only when that is read so twice in a row: a
// station does not change its name from one repetition to the next, and
// under speech one reading on a grid a little off can still mislead.
void confirm(identState &s, const std::string &text) {
    if (s.confirmed.empty() || text == s.confirmed || text == s.pending) s.confirmed = text;
    s.pending = text == s.confirmed ? "" : text;
}

// A repetition read alone: its tone, and when it began. A 125 Hz sample
// sums 8 samples at 1 kHz, each the mean of 50 at 50 kHz: a tone of depth m
// on a carrier of amplitude A is 4 A m there, less the two sums' loss at
// the tone's offset. (The envelope's mean is no measure of A in noise.)
constexpr double kSlow = 125.0;  // the tone band's samples a second

void heardTone(identState &s, const identTone &tone) {
    const double f = 1020.0 + tone.hz;
    const double d8 = kPi * tone.hz / 1000.0, d50 = kPi * tone.hz / 50000.0;
    const double g8 = d8 == 0 ? 1.0 : std::fabs(std::sin(8 * d8) / (8 * std::sin(d8)));
    const double g50 = d50 == 0 ? 1.0 : std::fabs(std::sin(50 * d50) / (50 * std::sin(d50)));
    s.toneHz = f;
    s.toneLevel = tone.level / (4 * g8 * g50);
    s.toneMs = s.ms;
    for (int k = 3; k > 0; --k) s.readStarts[k] = s.readStarts[k - 1];
    s.readStarts[0] = (s.repFirst + tone.start) / kSlow;
    s.readCount = std::min(s.readCount + 1, 4);
}

// A repetition is over: read it, and confirm what it reads beyond doubt, or
// what two of the last four repetitions agree on.
void endRepetition(identState &s) {
    if (s.count == 0) return;
    std::string text;
    double dot = 0, doubt = INFINITY;
    // The marks as keyed only find the repetition; the grid reads it.
    const identRep *alone = &s.rep;
    identTone tone;
    if (!s.broken) text = identDecode(&alone, 1, kToneHz[s.best], dot, doubt, &tone);
    if (!text.empty()) heardTone(s, tone);
    const bool broken = s.broken;
    const int marks = s.count;
    s.count = 0;
    s.recording = false;
    s.broken = false;
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
    // Or one repetition alone, when every rival identifier is negligible
    // against it (each under e^-30: the read's doubt is nothing) and the
    // silence around it leaves no room for a masked letter: a strong
    // station is named by its first whole repetition.
    // (The carrier must have stayed: where it went, the silence after
    // a repetition cut short is no silence of the keying.)
    bool agreed = !text.empty() && doubt <= kAlone && tone.quiet && s.dc > kSteady * s.repDc;
    if (!text.empty())
        for (int k = 1; k < 4; ++k)
            if (s.history[k] == text && std::fabs(s.historyDot[k] - dot) <= 0.1 * dot) agreed = true;
    // Or read together with the newest repetition before it that may be
    // keying (speech may have broken the one just before); where that
    // leaves doubt, with the ones before that too: speech masks a
    // different part of each.
    if (!broken && !agreed && s.confirmed.empty()) {
        const identRep *set[kIdentJoint] = {&s.rep};
        int n = 1;
        for (const identRep &p : s.past)
            if (p.len > 0 && n < kIdentJoint) {
                set[n++] = &p;
                const std::string joint = identDecode(set, n, kToneHz[s.best], dot, doubt);
                agreed = !joint.empty();
                if (agreed) {
                    text = joint;
                    break;
                }
            }
    }
    // Or the last half-minute read by the identifier's period, unless it
    // was read in the last 2 s. (Once one is confirmed, the timer's reading
    // keeps watch.)
    if (!agreed && s.confirmed.empty() && s.sincePeriodic >= kPeriodicCells / 2) agreed = readPeriodic(s, text);
    if (agreed) confirm(s, text);
    // Only what may be keying is kept: no identifier has fewer than 4 elements.
    for (int k = kIdentPast - 1; k > 0; --k) s.past[k] = s.past[k - 1];
    s.past[0] = s.rep;
    if (broken || marks < 3) s.past[0].len = 0;
    s.rep.len = 0;
}

// The keying from silence again: no mark on, no repetition under way.
void restartKeying(identState &s) {
    s.count = 0;
    s.on = false;
    s.broken = false;
    s.recording = false;
    s.rep.len = 0;
    s.run = kEndGap;
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
    const int before = best;
    best = 0;
    const double memory = std::min<double>(++s.cells, 150);
    for (int f = 0; f < kIdentTone; ++f) {
        s.binAvg[f] += (p[f] - s.binAvg[f]) / memory;
        if (s.binAvg[f] > s.binAvg[best]) best = f;
    }
    // A first mark still on that began in another bin was no mark of this
    // tone: on a strong carrier the 30 Hz tone leaves a line 21 dB under
    // the ident's at -50 Hz, which keys from the start and holds on into the
    // first repetition. The keying starts again from there, and from a
    // repetition already broken. (Not from one under way: speech moves the
    // strongest bin for a moment, and the recording holds the whole band.)
    if (best != before && ((s.count == 0 && s.on) || s.broken)) {
        restartKeying(s);
        s.mark = 0;
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
    s.nearNow = static_cast<float>(std::max(near, kNoiseFloor * s.dc * s.dc));
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
        if (readPeriodic(s, text)) confirm(s, text);
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
            s.repFirst = s.slowCount - have;
            s.repDc = s.dc;
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
    // A first mark too long for Morse (that line, or a steady tone) holds
    // nothing of a repetition: what follows starts one afresh.
    if (s.count == 0 && s.run >= kLongMark) {
        restartKeying(s);
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
    // Take out what the envelope holds below a few tens of Hz (the carrier
    // and the 30 Hz tone), mixed like the rest: the 1 ms sums pass their
    // aliases near the tone. The block's own mean is that content as it
    // stood in the block: a mean tracked over longer would leave the 30 Hz
    // tone's -30 Hz line at -50 Hz from the tone, where it keys like a mark.
    const double mean = s.esum / kBlock;
    s.dc = s.ms == 0 ? mean : s.dc + (mean - s.dc) / 64.0;
    const uint32_t b = (s.tab + kTable - kBlock) % kTable / kBlock;
    const uint32_t at = s.ms & (kIdentRing - 1);
    s.ringRe[at] = static_cast<float>((s.zre - mean * t.blockSum[b][0]) / kBlock);
    s.ringIm[at] = static_cast<float>((s.zim - mean * t.blockSum[b][1]) / kBlock);
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

double identPeriod(const identState &s) {
    // Neighbours among the last repetitions read alone; one between them
    // that did not read makes a double, which the shortest rules out.
    double best = NAN;
    for (int k = 0; k + 1 < s.readCount; ++k) {
        const double d = s.readStarts[k] - s.readStarts[k + 1];
        if (d > 2 && d < 20 && !(d >= best)) best = d;
    }
    return best;
}

bool identTakeHeard(identState &s) {
    const bool f = s.fresh;
    s.fresh = false;
    return f;
}
