#include "sublock.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kTaken = kLockChunk * kLockChunks;              // samples a sub-window
constexpr double kSubS = kTaken * kLockTake / 50000.0;        // 0.1 s
constexpr double kChunkS = kLockChunk * kLockTake / 50000.0;  // 20 ms
// Beyond this the chunks' offset is taken in one step, and the sub-window
// does not count: a turn of the tone over 0.1 s must stay under half.
constexpr double kPullHz = 2.5;
constexpr int kPulls = 3;  // pulls at least, before the loop holds
constexpr double kPullGain = 0.6;
constexpr double kLostHz = 15.0;
// The loop's gains a sub-window: the offset and the phase settle in a few
// sub-windows, the clock (the phase's turn) in a few seconds.
constexpr double kOffGain = 0.5, kPhaseGain = 0.5, kClockGain = 0.05, kIndexGain = 0.3;
// The table is made again once the index has moved this far: its error in
// the meantime is measured, not lost (0.05 rad at most).
constexpr double kTableMoves = 0.05;
// A residual this large (radians of the tone's phase) is not a small error
// of a held loop: it starts again from the monitor's seed.
constexpr double kLost = 1.5;
constexpr int kSettle = 10;  // sub-windows before a held loop's figures count

double clamp(double x) { return x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x); }

double wrapPi(double x) { return x - 2 * kPi * std::floor((x + kPi) / (2 * kPi)); }

void clearSums(subLock &l) {
    l.n = 0;
    for (cpx &c : l.chunk) c = cpx{};
    l.qs = l.qc = cpx{};
    l.power = 0;
}

}  // namespace

void subLockSet(subLock &l) {
    if (std::fabs(l.index - l.tableIndex) > kTableMoves || !l.seeded) {
        for (int k = 0; k <= kLockTable; ++k) {
            const double a = -l.index * (2.0 * k / kLockTable - 1.0);
            l.table[k][0] = static_cast<float>(std::cos(a));
            l.table[k][1] = static_cast<float>(std::sin(a));
        }
        l.tableIndex = l.index;
    }
    l.ref = {std::cos(l.phase), std::sin(l.phase)};
    l.refStep = {std::cos(l.phaseStep / kTaken), std::sin(l.phaseStep / kTaken)};
    l.rot = {std::cos(l.rotPhase), -std::sin(l.rotPhase)};
    const double step = 2 * kPi * l.offHz * kLockTake / 50000.0;
    l.rotStep = {std::cos(step), -std::sin(step)};
}

namespace {

// The search's grids: the index over 12 to 21 (J0(0.25)^2 = 0.97 lost at
// worst between points), the phase a few table steps either side of the
// reference's (0.05 rad a step is 0.8 rad of the subcarrier's phase at index
// 16), and the lines either side of the lag product's.
constexpr int kTurn = 1024;  // e^(-j index sin) over a turn of the 30 Hz
constexpr double kIndexLow = 12.0, kIndexStep = 0.5;
constexpr int kIndexes = 19;
constexpr int kPhaseSteps = 8, kPhases = 2;  // table steps a phase point, points either side
constexpr int kLines = 4;                    // lines either side
constexpr int kSeedChunk = 5;                // 0.8 ms: a line 4 x 30 Hz off loses 3 % of its power in it

}  // namespace

bool subLockSeed(subLock &l, double phase, double clockHz) {
    if (l.heardCount < kLockHeard || !std::isfinite(phase) || !std::isfinite(clockHz)) return false;
    constexpr double kTake = kLockTake / 50000.0;  // seconds a taken sample
    const int64_t first = l.heardCount - kLockHeard;
    // Each taken sample's place in the turn of the reference's 30 Hz, and
    // its F; the reference turns on by its clock error over the 0.2 s.
    static thread_local uint16_t at[kLockHeard];
    static thread_local cpx f[kLockHeard];
    for (int n = 0; n < kLockHeard; ++n) {
        const float *b = l.heard[(first + n) % kLockHeard];
        const double t = (n - (kLockHeard - 1)) * kTake;
        const double a = std::atan2(-b[3], b[2]) + phase + 2 * kPi * clockHz * t;
        at[n] = static_cast<uint16_t>(static_cast<int64_t>(std::floor(a / (2 * kPi) * kTurn + 0.5)) & (kTurn - 1));
        f[n] = {b[0], b[1]};
    }
    // The offset modulo a line: over one period of the station's 30 Hz the
    // FM, whatever the filter made of it, repeats, and only the offset turns.
    const double f30 = 30.0 + clockHz;
    const int lag = static_cast<int>(std::lround(1.0 / (f30 * kTake)));
    cpx p{};
    for (int n = lag; n < kLockHeard; ++n) {
        p.re += f[n].re * f[n - lag].re + f[n].im * f[n - lag].im;
        p.im += f[n].im * f[n - lag].re - f[n].re * f[n - lag].im;
    }
    const double line = 1.0 / (lag * kTake);
    const double fine = std::atan2(p.im, p.re) / (2 * kPi) * line;

    static thread_local float table[kTurn][2];
    double best = -1, bestIndex = 0, bestPhase = 0, bestOff = 0;
    for (int i = 0; i < kIndexes; ++i) {
        const double index = kIndexLow + kIndexStep * i;
        for (int k = 0; k < kTurn; ++k) {
            const double a = -index * std::sin(2 * kPi * k / kTurn);
            table[k][0] = static_cast<float>(std::cos(a));
            table[k][1] = static_cast<float>(std::sin(a));
        }
        for (int ph = -kPhases; ph <= kPhases; ++ph) {
            cpx chunk[kLockHeard / kSeedChunk] = {};
            const double step = -2 * kPi * fine * kTake;
            cpx rot{1, 0};
            const cpx turn{std::cos(step), std::sin(step)};
            for (int n = 0; n < kLockHeard; ++n) {
                const float *e = table[(at[n] + ph * kPhaseSteps) & (kTurn - 1)];
                const double zr = f[n].re * e[0] - f[n].im * e[1], zi = f[n].re * e[1] + f[n].im * e[0];
                cpx &c = chunk[n / kSeedChunk];
                c.re += zr * rot.re - zi * rot.im;
                c.im += zr * rot.im + zi * rot.re;
                rot = {rot.re * turn.re - rot.im * turn.im, rot.re * turn.im + rot.im * turn.re};
            }
            for (int j = -kLines; j <= kLines; ++j) {
                cpx z{};
                const double a = -2 * kPi * j * line * kSeedChunk * kTake;
                const cpx by{std::cos(a), std::sin(a)};
                cpx r{1, 0};
                for (const cpx &c : chunk) {
                    z.re += c.re * r.re - c.im * r.im;
                    z.im += c.re * r.im + c.im * r.re;
                    r = {r.re * by.re - r.im * by.im, r.re * by.im + r.im * by.re};
                }
                const double power = z.re * z.re + z.im * z.im;
                if (power > best) {
                    best = power;
                    bestIndex = index;
                    bestPhase = phase + 2 * kPi * ph * kPhaseSteps / kTurn;
                    bestOff = fine + j * line;
                }
            }
        }
    }
    l.index = bestIndex;
    l.phase = bestPhase;
    l.phaseStep = 2 * kPi * clockHz * kSubS;
    l.offHz = bestOff;
    l.rotPhase = 0;
    l.held = -kPulls;
    l.seeded = false;  // the table is made
    subLockSet(l);
    l.seeded = true;
    clearSums(l);
    return true;
}

void subLockClose(subLock &l, double now) {
    cpx Z{};
    cpx d{};  // the chunks' lag product
    for (int k = 0; k < kLockChunks; ++k) {
        Z.re += l.chunk[k].re;
        Z.im += l.chunk[k].im;
        if (k > 0) {
            const cpx &a = l.chunk[k], &b = l.chunk[k - 1];
            d.re += a.re * b.re + a.im * b.im;
            d.im += a.im * b.re - a.re * b.im;
        }
    }
    const double z2 = Z.re * Z.re + Z.im * Z.im;
    const double mid = l.rotPhase + kPi * l.offHz * kSubS;
    l.rotPhase += 2 * kPi * l.offHz * kSubS;
    l.phase += l.phaseStep;
    const double chunkHz = std::atan2(d.im, d.re) / (2 * kPi * kChunkS);
    if (!(z2 > 0)) {
        l.seeded = false;
        clearSums(l);
        return;
    }
    // qs / Z and qc / Z: half the index's error, and half the phase's error
    // times the index, as the tone's phase moves with them.
    const double dIndex = 2 * (l.qs.im * Z.re - l.qs.re * Z.im) / z2;
    const double dPhase = 2 * (l.qc.im * Z.re - l.qc.re * Z.im) / z2;
    if (std::fabs(dIndex) > kLost || std::fabs(dPhase) > kLost || std::fabs(chunkHz) > kLostHz) {
        if (l.held > 0) {
            l.seeded = false;
            clearSums(l);
            return;
        }
    }
    const double measured = l.index + dIndex;
    const double err = clamp(dPhase) / l.index;
    l.phase += kPhaseGain * err;
    l.index += kIndexGain * clamp(dIndex);
    // Until held, the chunks pull the offset in: their lag product is
    // unambiguous to 125 Hz, but 3 Hz noisy at 50 dB-Hz.
    if (l.held <= 0) {
        l.offHz += kPullGain * chunkHz;
        l.held = std::fabs(chunkHz) < kPullHz ? l.held + 1 : std::min(l.held, 0);
        if (l.held <= 0) {
            subLockSet(l);
            clearSums(l);
            return;
        }
    }
    const double arg = std::atan2(Z.im, Z.re);
    const double turn = l.held > 1 ? wrapPi(arg - l.lastArg) + (mid - l.lastMid) : NAN;
    const double residualHz = l.held > 1 ? wrapPi(arg - l.lastArg) / (2 * kPi * kSubS) : 0.0;
    l.lastArg = arg;
    l.lastMid = mid;
    if (l.held >= kSettle)
        l.kept[l.keptCount++ % kLockKeep] = {now, measured, turn, std::sqrt(z2) / kTaken, z2 / kTaken / l.power};
    ++l.held;

    l.offHz += kOffGain * residualHz;
    l.phaseStep += kClockGain * err;
    subLockSet(l);
    clearSums(l);
}

subLockFigures subLockRead(const subLock &l, double now, double span) {
    const int64_t have = l.keptCount < kLockKeep ? l.keptCount : kLockKeep;
    double index = 0, turns = 0, amp = 0, coh = 0;
    int n = 0, pairs = 0;
    for (int64_t k = l.keptCount - have; k < l.keptCount; ++k) {
        const subLockKept &s = l.kept[k % kLockKeep];
        if (s.t < now - span) continue;
        index += s.index;
        amp += s.amp;
        coh += s.coh;
        ++n;
        if (std::isfinite(s.turn)) {
            turns += s.turn;
            ++pairs;
        }
    }
    if (n == 0) return {NAN, NAN, NAN, NAN, 0};
    return {pairs > 0 ? turns / (2 * kPi * kSubS * pairs) : NAN, index / n, amp / n, coh / n, n};
}
