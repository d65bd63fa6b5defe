// The ident decoder against the generator's truth: random 2-4 letter
// identifiers at 6-12 words per minute, the first repetition anywhere in the
// first 10 s, random phases; how often the right identifier is confirmed
// within 30 s of signal (and by the end of the first whole repetition), and
// how often a wrong one is reported. A figure, never a pass or fail.
//
// usage: identsweep CN0 CASES [voice-depth [first-case [kind]]]
//   kind: ident (default); noise (no carrier); speech (no ident); tone (a
//   steady unkeyed 1020 Hz tone); offset (the tone 40 Hz off, carrier 5 kHz off);
//   keyed (the tone keyed at random, never as Morse: marks of 2 or 4-6 units)
// EVERY=1 in the environment: a line for every case, right ones too.
// SPEECH=a.wav:b.wav:... : recorded speech (e.g. from espeak-ng) instead of
// the speech-like noise, case c speaking file c mod their number.
// IDENT=letters, WPM, PERIOD: the same identifier, speed or period in every case.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "chain.h"
#include "rtl.h"
#include "settings.h"
#include "siggen.h"

namespace {

uint64_t rng;
uint64_t next() {
    rng = rng * 6364136223846793005ull + 1442695040888963407ull;
    return rng >> 33;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const double cn0 = std::atof(argv[1]);
    const int cases = std::atoi(argv[2]);
    const double voice = argc > 3 ? std::atof(argv[3]) : 0;
    const int first = argc > 4 ? std::atoi(argv[4]) : 0;
    const std::string kind = argc > 5 ? argv[5] : "ident";
    std::vector<std::vector<float>> spoken;
    if (const char *list = getenv("SPEECH")) {
        std::string all = list, err;
        for (size_t at = 0; at <= all.size();) {
            size_t end = all.find(':', at);
            if (end == std::string::npos) end = all.size();
            spoken.push_back(loadAudio(all.substr(at, end - at), err));
            if (spoken.back().empty()) {
                std::fprintf(stderr, "%s\n", err.c_str());
                return 1;
            }
            at = end + 1;
        }
    }
    int right = 0, wrong = 0, none = 0, byFirst = 0;
    double latency = 0;
    for (int c = first; c < first + cases; ++c) {
        rng = static_cast<uint64_t>(c) * 977 + 1;
        SigParams p;
        p.seed = static_cast<uint64_t>(c) + 1;
        p.radial = static_cast<double>(next() % 360);
        p.cn0 = cn0;
        p.seconds = 30;
        p.voiceDepth = voice;
        const int letters = 2 + static_cast<int>(next() % 3);
        for (int k = 0; k < letters; ++k) p.morse += static_cast<char>('A' + next() % 26);
        // A fixed identifier before its speed and period are fitted: slow
        // keying of a long one must still leave silence between repetitions.
        if (const char *e = getenv("IDENT")) p.morse = e;
        p.wpm = 6 + static_cast<double>(next() % 61) / 10;
        // Repetitions 1.5-4 s apart, three in 30 s at least (faster keying
        // where a long identifier would not fit).
        const double gap = 1.5 + static_cast<double>(next() % 25) / 10;
        while (morseSeconds(p.morse, p.wpm) + gap > 10) p.wpm += 0.5;
        p.identPeriod = std::max(morseSeconds(p.morse, p.wpm) + gap, 7.5);
        p.identStart = static_cast<double>(next() % 1000) / 100;
        if (const char *e = getenv("WPM")) p.wpm = std::atof(e);
        if (const char *e = getenv("PERIOD")) p.identPeriod = std::atof(e);
        if (!spoken.empty()) p.speech = spoken[static_cast<size_t>(c) % spoken.size()];
        if (kind == "noise") p.carrier = false;
        if (kind == "speech" || kind == "noise" || kind == "tone") p.morse.clear();
        if (kind == "keyed") p.morse = "E";  // its keying replaced below
        if (kind == "tone") p.identSteady = true;
        if (kind == "offset") {
            p.identHz = c % 2 ? 1060 : 980;
            p.offsetHz = c % 2 ? -5000 : 5000;
        }
        interval = 2;
        resetBlock();
        initOsc();
        // The ident alone, on the coherent AM as in navdial (ENVELOPE: on the envelope).
        chainOptions opt;
        opt.measures = false;
        opt.carrier = getenv("ENVELOPE") ? carrierUse::off : carrierUse::on;
        opt.write = false;
        chain *ch = chainCreate(opt, outConfig{}, nullptr);
        setRtlChain(ch);
        const identState &id = ch->ident;
        SigGen g;
        sigInit(g, p);
        if (kind == "keyed") {
            g.keyEdges.clear();
            const double unit = 1.2 / p.wpm * 2e6;
            for (double t = p.identStart * 2e6; t < 30 * 2e6;) {
                const int marks[4] = {2, 4, 5, 6};
                g.keyEdges.push_back(static_cast<uint64_t>(t));
                t += unit * marks[next() % 4];
                g.keyEdges.push_back(static_cast<uint64_t>(t));
                t += unit * static_cast<double>(1 + next() % 12);
            }
            p.morse.clear();
        }
        std::vector<uint8_t> buf(81920);
        size_t pairs;
        double at = -1;
        std::string reported;
        bool bad = false;
        while ((pairs = sigNext(g, buf.data(), buf.size() / 2)) > 0) {
            in_callback(buf.data(), static_cast<uint32_t>(2 * pairs), nullptr);
            if (!id.confirmed.empty() && id.confirmed != reported) {
                reported = id.confirmed;
                if (reported != p.morse) bad = true;
                if (at < 0 && reported == p.morse) at = static_cast<double>(g.next) / 2e6;
            }
        }
        std::fflush(stdout);
        if (bad) {
            ++wrong;
            std::fprintf(stderr, "case %d: %s at %.1f wpm read as %s\n", c, p.morse.c_str(), p.wpm, reported.c_str());
        } else if (at >= 0) {
            ++right;
            latency += at;
            // By the end of the first whole repetition (its keying and the
            // silence around it in the signal): then 6 units of silence and
            // the 1.2 s that end it, and 0.3 s to spare.
            const double dot = 1.2 / p.wpm;
            const double whole = p.identStart >= 3 * dot ? p.identStart : p.identStart + p.identPeriod;
            const double by = whole + morseSeconds(p.morse, p.wpm) + 6 * dot + 1.5;
            if (at <= by) ++byFirst;
            if (getenv("EVERY"))
                std::fprintf(stderr, "case %d: %s at %.1f wpm, first at %.1f s: right at %.1f s (%s %.1f s)\n", c,
                             p.morse.c_str(), p.wpm, p.identStart, at, at <= by ? "by" : "after", by);
        } else {
            ++none;
            std::fprintf(stderr, "case %d: %s at %.1f wpm, first at %.1f s, period %.2f s: not confirmed (heard %d)\n",
                         c, p.morse.c_str(), p.wpm, p.identStart, p.identPeriod, id.heard);
        }
        setRtlChain(nullptr);
        chainDestroy(ch);
    }
    std::printf(
        "%.0f dB-Hz, speech %.0f %%: %d cases: right %d (%.1f %%, mean %.1f s; %d by their first whole repetition), "
        "none %d, wrong %d\n",
        cn0, 100 * voice, cases, right, 100.0 * right / cases, right ? latency / right : 0.0, byFirst, none, wrong);
    return 0;
}
