#include "siggen.h"

#include "audio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kFull = 127.0;  // largest excursion that fits a byte around 127.5

uint64_t splitmix(uint64_t &s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform(uint64_t &s) {  // in (0, 1]
    return (static_cast<double>(splitmix(s) >> 11) + 1.0) * (1.0 / 9007199254740992.0);
}

// Standard normal deviates, two at a time (Marsaglia's polar method).
double gauss(SigGen &g) {
    if (g.haveSpare) {
        g.haveSpare = false;
        return g.spare;
    }
    double u, v, r;
    do {
        u = 2.0 * uniform(g.rng) - 1.0;
        v = 2.0 * uniform(g.rng) - 1.0;
        r = u * u + v * v;
    } while (r >= 1.0 || r == 0.0);
    const double f = std::sqrt(-2.0 * std::log(r) / r);
    g.spare = v * f;
    g.haveSpare = true;
    return u * f;
}

void setPhasor(double *z, double ph) {
    z[0] = std::cos(ph);
    z[1] = std::sin(ph);
}

void turn(double *z, const double *w) {
    const double re = z[0] * w[0] - z[1] * w[1];
    z[1] = z[0] * w[1] + z[1] * w[0];
    z[0] = re;
}

// Keeps a phasor on the unit circle against rounding drift.
void renorm(double *z) {
    const double m = std::sqrt(z[0] * z[0] + z[1] * z[1]);
    z[0] /= m;
    z[1] /= m;
}

uint8_t quantise(double x) {
    // Byte b stands for b - 127.5: round x + 127.5 to the nearest byte.
    const double b = std::floor(x + 128.0);
    return static_cast<uint8_t>(std::clamp(b, 0.0, 255.0));
}

// Speech-like noise at 50 kHz: Gaussian noise through a 300-3000 Hz band
// pass (two second-order high-passes at 300 Hz, two low-passes at 3000 Hz),
// gated into bursts of 0.1-0.5 s with pauses of 0.05-0.4 s (20 ms ramps),
// scaled to the rms depth over the whole signal.
std::vector<float> speech(SigGen &g, size_t count, double depth) {
    std::vector<double> x(count);
    struct Biquad {
        double b0, b1, b2, a1, a2, z1 = 0, z2 = 0;
    };
    auto design = [](double fc, bool high) {  // Butterworth sections, bilinear transform at 50 kHz
        const double k = std::tan(kTwoPi / 2 * fc / 50000.0), q = 0.7071067811865476;
        const double norm = 1 / (1 + k / q + k * k);
        Biquad b{};
        b.b0 = (high ? 1 : k * k) * norm;
        b.b1 = (high ? -2 : 2 * k * k) * norm;
        b.b2 = b.b0;
        b.a1 = 2 * (k * k - 1) * norm;
        b.a2 = (1 - k / q + k * k) * norm;
        return b;
    };
    Biquad f[4] = {design(300, true), design(300, true), design(3000, false), design(3000, false)};
    size_t burstEnd = 0;
    bool on = false;
    double gate = 0;
    for (size_t k = 0; k < count; ++k) {
        if (k >= burstEnd) {
            on = !on;
            burstEnd =
                k + static_cast<size_t>(50000 * (on ? 0.1 + 0.4 * uniform(g.rng) : 0.05 + 0.35 * uniform(g.rng)));
        }
        gate += ((on ? 1.0 : 0.0) - gate) / 1000.0;  // 20 ms ramps
        double v = gauss(g);
        for (auto &b : f) {
            const double y = b.b0 * v + b.z1;
            b.z1 = b.b1 * v - b.a1 * y + b.z2;
            b.z2 = b.b2 * v - b.a2 * y;
            v = y;
        }
        x[k] = v * gate;
    }
    double ss = 0;
    for (double v : x) ss += v * v;
    const double scale = ss > 0 ? depth / std::sqrt(ss / static_cast<double>(count)) : 0.0;
    std::vector<float> out(count);
    for (size_t k = 0; k < count; ++k) out[k] = static_cast<float>(x[k] * scale);
    return out;
}

// Recorded speech at 50 kHz, repeated with 0.5 s pauses as a broadcast
// message is, for `count` values, scaled to the rms depth over the whole
// signal. Its peaks go where they go: a transmitter driven this hard
// overmodulates, and so does this.
std::vector<float> spoken(const std::vector<float> &speech, size_t count, double depth) {
    std::vector<float> out(count, 0.0f);
    const size_t cycle = speech.size() + 25000;
    double ss = 0;
    for (size_t k = 0; k < count; ++k) {
        const size_t at = k % cycle;
        if (at < speech.size()) out[k] = speech[at];
        ss += static_cast<double>(out[k]) * out[k];
    }
    const double scale = ss > 0 ? depth / std::sqrt(ss / static_cast<double>(count)) : 0.0;
    for (float &v : out) v = static_cast<float>(v * scale);
    return out;
}

// The toggles of a Morse key sending `text` from `start` every `period`
// seconds until `total` pairs: a dot is 1.2/wpm s, a dash three dots, one
// dot between the elements of a letter, three between letters.
std::vector<uint64_t> keying(const std::string &text, double wpm, double period, double start, uint64_t total,
                             double kFs) {
    std::vector<uint64_t> edges;
    const double dot = 1.2 / wpm;
    for (double t0 = start; t0 * kFs < static_cast<double>(total); t0 += period) {
        double t = t0;
        for (char c : text) {
            const char *code = morseCode(c);
            for (const char *e = code; *e; ++e) {
                // (A repetition begun before the recording is cut at its start.)
                edges.push_back(static_cast<uint64_t>(std::max(0.0, t * kFs)));
                t += *e == '-' ? 3 * dot : dot;
                edges.push_back(static_cast<uint64_t>(std::max(0.0, t * kFs)));
                t += dot;
            }
            t += 2 * dot;
        }
        if (period <= 0) break;
    }
    return edges;
}

// The 50 kHz step that IQ pair m falls in.
size_t at50k(const SigGen &g, uint64_t m) { return static_cast<size_t>(m * 50000 / g.p.rate); }

// The station's envelope at IQ pair m, synthetic tones, from the oscillators.
double envelope(const SigGen &g, uint64_t m) {
    const SigParams &p = g.p;
    if (p.ils) {
        // 90 and 150 Hz: the third and fifth powers of the 30 Hz phasor.
        const double c = g.z30[0], sn = g.z30[1];
        const double c2 = c * c - sn * sn, s2 = 2 * c * sn;
        const double c3 = c2 * c - s2 * sn, s3 = c2 * sn + s2 * c;
        const double c5 = c3 * c2 - s3 * s2;
        double e = 1.0 + p.ilsDepth * c3 + p.ilsDepth * c5;
        if (!g.voice.empty()) e += g.voice[at50k(g, m)];
        return e;
    }
    // The variable tone lags the reference cos(w30) by the radial.
    const double var = g.z30[0] * g.lag[0] + g.z30[1] * g.lag[1];
    const double fm = p.fmIndex * g.z30[1];  // reference: instantaneous deviation cos(w30)
    const double sub = g.zSub[0] * std::cos(fm) - g.zSub[1] * std::sin(fm);
    double e = 1.0 + p.varDepth * var + p.subDepth * sub;
    // Ident: keyed 0.3 s on, 0.2 s off, like a slow Morse dash.
    const bool key = p.identSteady || (!p.morse.empty() ? g.keyDown : p.ident && m % 1000000 < 600000);
    if (key) e += p.identDepth * g.zId[0];
    if (!g.voice.empty()) e += g.voice[at50k(g, m)];
    return e;
}

}  // namespace

void sigInit(SigGen &g, const SigParams &p) {
    g = SigGen{};
    g.p = p;
    uint64_t s = p.seed;
    if (p.seed != 0) {
        g.ph30 = kTwoPi * uniform(s);
        g.phSub = kTwoPi * uniform(s);
        g.phCar = kTwoPi * uniform(s);
        g.phId = kTwoPi * uniform(s);
    }
    g.rng = s ^ 0x5DEECE66Dull;
    setPhasor(g.lag, p.radial * (kTwoPi / 360.0));
    setPhasor(g.z30, g.ph30);
    setPhasor(g.zSub, g.phSub);
    setPhasor(g.zId, g.phId);
    setPhasor(g.zCar, g.phCar);
    const double kFs = p.rate;
    setPhasor(g.w30, kTwoPi * p.toneHz / kFs);
    setPhasor(g.wSub, kTwoPi * p.subHz / kFs);
    setPhasor(g.wLag, p.radialRate * (kTwoPi / 360.0) / kFs);
    setPhasor(g.wId, kTwoPi * p.identHz / kFs);
    setPhasor(g.wCar, kTwoPi * (p.carrierHz + p.offsetHz) / kFs);
    double peak;
    if (!p.audio.empty()) {
        peak = 1.0 + *std::max_element(p.audio.begin(), p.audio.end());
        g.total = static_cast<uint64_t>(p.audio.size()) * p.rate / 50000;
    } else {
        peak = p.ils ? 1.0 + 2 * std::fabs(p.ilsDepth)
                     : 1.0 + std::fabs(p.varDepth) + std::fabs(p.subDepth) +
                           (p.ident || p.identSteady ? std::fabs(p.identDepth) : 0.0);
        g.total = static_cast<uint64_t>(std::llround(std::max(0.0, p.seconds) * kFs));
        if (p.voiceDepth > 0 && !p.speech.empty()) {
            g.voice = spoken(p.speech, at50k(g, g.total) + 1, p.voiceDepth);
            float top = 0;
            for (float v : g.voice) top = std::max(top, v);
            peak += top;
        } else if (p.voiceDepth > 0) {
            g.voice = speech(g, at50k(g, g.total) + 1, p.voiceDepth);
            // Speech peaks near 4 times its rms; above that it clips at 8 bits.
            peak += 4 * p.voiceDepth;
        }
    }
    if (!p.morse.empty()) {
        g.keyEdges = keying(p.morse, p.wpm, p.identPeriod, p.identStart, g.total, kFs);
        peak += std::fabs(p.identDepth);
    }
    // More stations in the same stream, without noise of their own, each at
    // its level against this one: all their peaks must fit as well.
    double level = 0;
    for (const SigParams &o : p.others) {
        SigParams q = o;
        q.rate = p.rate;
        q.seconds = p.seconds;
        q.cn0 = INFINITY;
        q.others.clear();
        q.seed = o.seed ? o.seed : p.seed * 31 + g.others.size() + 1;
        g.others.emplace_back();
        sigInit(g.others.back(), q);
        // sigInit chose its amplitude for its own peak: 127.5 / peak.
        level += std::pow(10.0, o.levelDb / 20.0) * kFull / g.others.back().amp;
    }
    // Noise per component relative to the carrier: N0 fs / 2 over C.
    const double rel = std::isfinite(p.cn0) ? std::sqrt(kFs / (2.0 * std::pow(10.0, p.cn0 / 10.0))) : 0.0;
    g.amp = kFull / (peak + level + 3.0 * rel);
    g.sigma = g.amp * rel;
    for (size_t k = 0; k < g.others.size(); ++k) g.others[k].amp = g.amp * std::pow(10.0, p.others[k].levelDb / 20.0);
}

namespace {

// The station's IQ pair g.next without noise, in byte units; then turns the
// oscillators one pair on.
void station(SigGen &g, double &i, double &q) {
    while (g.keyAt < g.keyEdges.size() && g.next >= g.keyEdges[g.keyAt]) {
        g.keyDown = !g.keyDown;
        ++g.keyAt;
    }
    const double e = g.p.audio.empty() ? envelope(g, g.next) : 1.0 + g.p.audio[at50k(g, g.next)];
    const double a = g.p.carrier ? g.amp * e : 0.0;
    i = a * g.zCar[0];
    q = a * g.zCar[1];
    turn(g.zCar, g.wCar);
    turn(g.z30, g.w30);
    turn(g.zSub, g.wSub);
    turn(g.zId, g.wId);
    if (g.p.radialRate != 0) turn(g.lag, g.wLag);
    if (g.next % 4096 == 4095) {
        if (g.p.radialRate != 0) renorm(g.lag);
        renorm(g.zCar);
        renorm(g.z30);
        renorm(g.zSub);
        renorm(g.zId);
    }
}

// Generates up to `pairs` IQ pairs in byte units (a full-scale byte is
// 127.5), each to store(k, i, q); returns how many.
template <class Store>
size_t generate(SigGen &g, size_t pairs, Store &&store) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(pairs, g.total - g.next));
    for (size_t k = 0; k < count; ++k, ++g.next) {
        double i, q;
        station(g, i, q);
        for (SigGen &o : g.others) {
            double oi, oq;
            station(o, oi, oq);
            ++o.next;
            i += oi;
            q += oq;
        }
        if (g.sigma > 0) {
            i += g.sigma * gauss(g);
            q += g.sigma * gauss(g);
        }
        store(k, i, q);
    }
    return count;
}

}  // namespace

size_t sigNext(SigGen &g, uint8_t *out, size_t pairs) {
    return generate(g, pairs, [out](size_t k, double i, double q) {
        out[2 * k] = quantise(i);
        out[2 * k + 1] = quantise(q);
    });
}

size_t sigNextIQ(SigGen &g, double *out, size_t pairs) {
    return generate(g, pairs, [out](size_t k, double i, double q) {
        out[2 * k] = i;
        out[2 * k + 1] = q;
    });
}

double sigAmplitude(const SigGen &g) { return g.amp; }

const char *morseCode(char c) {
    static const char *const codes[36] = {
        ".-",   "-...", "-.-.",  "-..",   ".",     "..-.",  "--.",   "....",  "..",    ".---",  "-.-",   ".-..",
        "--",   "-.",   "---",   ".--.",  "--.-",  ".-.",   "...",   "-",     "..-",   "...-",  ".--",   "-..-",
        "-.--", "--..", "-----", ".----", "..---", "...--", "....-", ".....", "-....", "--...", "---..", "----."};
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z') return codes[c - 'A'];
    if (c >= '0' && c <= '9') return codes[26 + c - '0'];
    return "";
}

double morseSeconds(const std::string &text, double wpm) {
    double units = 0;
    for (char c : text) {
        for (const char *e = morseCode(c); *e; ++e) units += (*e == '-' ? 3 : 1) + 1;
        units += 2;
    }
    return units > 3 ? (units - 3) * 1.2 / wpm : 0.0;
}

std::vector<float> loadAudio(const std::string &path, std::string &err) {
    std::vector<float> out;
    if (!readAudio(path, out, err)) return {};
    if (out.empty()) err = path + ": no audio";
    return out;
}
