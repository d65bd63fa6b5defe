// The Morse ident decoder: the reader on keying of known timing, the
// whole decoder on generated stations, and every signal that must name no
// station.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "trustrun.h"

namespace {

// The tone band at 125 Hz of `text` keyed at `wpm` after 1 s of silence and
// followed by 1.5 s, the tone `hz` off its bin, with complex noise of
// standard deviation `noise` against a key-down amplitude of 1.
std::vector<float> keyed(const std::string &text, double wpm, double hz, double noise, uint64_t seed,
                         std::vector<float> &im) {
    std::vector<uint8_t> down;
    const double unit = 1.2 / wpm * 125;
    auto add = [&](bool on, double units) {
        const size_t until =
            static_cast<size_t>(std::llround((static_cast<double>(down.size()) / unit + units) * unit));
        down.resize(until, on);
    };
    add(false, 1.0 * 125 / unit);
    for (size_t c = 0; c < text.size(); ++c) {
        for (const char *e = morseCode(text[c]); *e; ++e) {
            add(true, *e == '-' ? 3 : 1);
            add(false, 1);
        }
        add(false, 2);
    }
    add(false, 1.5 * 125 / unit);
    std::vector<float> re(down.size());
    im.assign(down.size(), 0);
    uint64_t s = seed;
    auto gauss = [&] {  // Box-Muller on a 64-bit LCG
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        const double u = (static_cast<double>(s >> 11) + 1) / 9007199254740993.0;
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        const double v = static_cast<double>(s >> 11) / 9007199254740992.0;
        return std::sqrt(-2 * std::log(u)) * std::cos(6.283185307179586 * v);
    };
    for (size_t k = 0; k < down.size(); ++k) {
        const double ph = 6.283185307179586 * hz * static_cast<double>(k) / 125;
        re[k] = static_cast<float>(down[k] * std::cos(ph) + noise * gauss());
        im[k] = static_cast<float>(down[k] * std::sin(ph) + noise * gauss());
    }
    return re;
}

// One repetition for the reader: keyed as above, its noise known per
// sample (the power of a 64 ms bin, 1/256 of a sample's per component);
// where `masked` (a share of the repetition, from `from`), speech four
// times the noise.
identRep repetition(const std::string &text, double wpm, double hz, double noise, uint64_t seed, double from = 0,
                    double masked = 0) {
    identRep r{};
    std::vector<float> im, mask;
    const std::vector<float> re = keyed(text, wpm, hz, noise, seed, im);
    const std::vector<float> loud = keyed(text, wpm, hz, 4 * noise, seed + 100, mask);
    r.len = static_cast<int>(re.size());
    for (int k = 0; k < r.len; ++k) {
        const double x = static_cast<double>(k) / r.len;
        const bool in = x >= from && x < from + masked;
        // The loud copy carries the same keying: its noise is what differs.
        r.re[k] = in ? loud[k] : re[k];
        r.im[k] = in ? mask[k] : im[k];
        const double sd = in ? 4 * noise : noise;
        r.noise[k] = static_cast<float>(sd * sd / 256);
    }
    return r;
}

TEST(Ident, OneRepetitionReadsAtEverySpeed) {
    static identRep r;
    const identRep *one[1] = {&r};
    struct Case {
        const char *text;
        double wpm, hz, noise;
    } cases[] = {
        {"KLO", 7, 0, 0.2},  {"VRN", 10, 6, 0.2}, {"ZUE", 13, -8, 0.2}, {"HOC", 5, 3, 0.2},
        {"TGO", 6, -4, 0.2}, {"MMB", 12, 9, 0.2}, {"XE", 7, 0, 0.1},
    };
    for (const auto &c : cases) {
        r = repetition(c.text, c.wpm, c.hz, c.noise, 7);
        double dot, doubt;
        const std::string got = identDecode(one, 1, 0, dot, doubt);
        EXPECT_EQ(got, c.text) << c.text << " at " << c.wpm << " wpm";
        if (got == c.text) {
            EXPECT_NEAR(dot, 1.2 / c.wpm, 0.01) << c.text;
        }
    }
    // Buried in noise: nothing is read rather than a guess.
    for (uint64_t seed = 1; seed <= 5; ++seed) {
        r = repetition("KLO", 7, 0, 2.5, seed);
        double dot, doubt;
        const std::string got = identDecode(one, 1, 0, dot, doubt);
        EXPECT_TRUE(got.empty() || got == "KLO") << "seed " << seed << " read " << got;
    }
}

TEST(Ident, RepetitionsReadTogether) {
    static identRep a, b;
    struct Case {
        const char *first, *second;
        double noise, fromA, fromB, masked;
        const char *want;
    } cases[] = {
        {"KLO", "KLO", 0.25, 0, 0, 0, "KLO"},         // clean
        {"HBV", "HBV", 0.25, 0.1, 0.6, 0.35, "HBV"},  // each half masked by speech, a different half
        {"KLO", "KLA", 0.25, 0, 0, 0, ""},            // two identifiers: neither is read
        {"", "", 0.25, 0, 0, 0, ""},                  // noise alone
        {"KLO", "KLO", 0.25, 0.0, 0.0, 1.0, ""},      // both masked throughout
    };
    for (const auto &c : cases) {
        a = repetition(c.first, 8, 2, c.noise, 1, c.fromA, c.masked);
        b = repetition(c.second, 8, 2, c.noise, 2, c.fromB, c.masked);
        const identRep *both[2] = {&a, &b};
        double dot, doubt;
        const std::string got = identDecode(both, 2, 0, dot, doubt);
        EXPECT_EQ(got, c.want) << c.first << "/" << c.second << ", doubt " << doubt;
        if (!got.empty()) {
            EXPECT_NEAR(dot, 1.2 / 8, 0.005);
        }
    }
}

// The last half-minute cut by the period: three repetitions in a row, each
// masked somewhere else by speech (or throughout), or not the same letters,
// or none.
TEST(Ident, RepetitionsCutByTheirPeriod) {
    static identRep r;
    struct Case {
        const char *texts[3];
        double masked;
        const char *want;
    } cases[] = {
        {{"KLO", "KLO", "KLO"}, 0, "KLO"},     // clean
        {{"HBV", "HBV", "HBV"}, 0.35, "HBV"},  // each masked in another place
        {{"KLO", "KLA", "KLO"}, 0.35, ""},     // two identifiers: neither is read
        {{"KLO", "KLO", "KLO"}, 1.0, ""},      // masked throughout
        {{"", "", ""}, 0.35, ""},              // noise alone
    };
    const double from[3] = {0.15, 0.5, 0.3};
    for (const auto &c : cases) {
        std::vector<float> re, im, noise;
        for (int k = 0; k < 3; ++k) {
            r = repetition(c.texts[k], 8, 2, 0.25, 10 + static_cast<uint64_t>(k), c.masked < 1 ? from[k] : 0, c.masked);
            re.insert(re.end(), r.re, r.re + r.len);
            im.insert(im.end(), r.im, r.im + r.len);
            noise.insert(noise.end(), r.noise, r.noise + r.len);
        }
        double dot, doubt;
        const std::string got =
            identDecodePeriodic(re.data(), im.data(), noise.data(), static_cast<int>(re.size()), 0, dot, doubt);
        EXPECT_EQ(got, c.want) << c.texts[1] << ", doubt " << doubt;
        if (!got.empty()) {
            EXPECT_NEAR(dot, 1.2 / 8, 0.005);
        }
    }
}

SigParams station(const char *morse, double wpm, double cn0, uint64_t seed) {
    SigParams p;
    p.radial = 42;
    p.seed = seed;
    p.cn0 = cn0;
    p.morse = morse;
    p.wpm = wpm;
    p.identPeriod = morseSeconds(morse, wpm) + 2;
    p.identStart = 0.7;
    p.seconds = 0.7 + 3 * p.identPeriod + 0.5;  // three repetitions and their silence
    return p;
}

TEST(Ident, ConfirmedOnGeneratedStations) {
    struct Case {
        SigParams p;
    } cases[] = {{station("KLO", 7, 55, 1)},
                 {station("VRN", 10, 50, 2)},
                 {station("ZUE", 12, 60, 3)},
                 {station("VH", 9, 60, 6)}};
    cases[1].p.identHz = 1060;  // 40 Hz off
    cases[1].p.offsetHz = -4000;
    // The tone 40 Hz off drifts within a unit: a unit's projection, turned
    // along it, comes out a little larger than its magnitude. Here the first
    // repetition read alone once gave KH, beyond all doubt.
    cases[3].p.identHz = 1060;
    cases[3].p.offsetHz = -5000;
    cases[3].p.identPeriod = 7.5;
    cases[3].p.identStart = 5.06;
    cases[3].p.radial = 257;
    cases[3].p.seconds = 21;
    for (const auto &c : cases) {
        double at;
        int changes;
        const identState id = identOfSignal(c.p, at, changes);
        EXPECT_EQ(id.confirmed, c.p.morse) << c.p.morse << ", heard " << id.heard;
        EXPECT_EQ(changes, 0) << c.p.morse;
    }
}

// A strong station is named by its first whole repetition read alone: the
// keying's end, its silence after (6 units) and the 1.2 s that end a
// repetition, with 0.3 s to spare. Also where the signal begins inside a
// repetition (a real recording was so: 67 dB-Hz, 9.6 words per minute,
// about 7 s between repetitions, 18 s long).
TEST(Ident, StrongStationNamedByItsFirstWholeRepetition) {
    struct Row {
        const char *what;
        const char *morse;
        double wpm, period, start, cn0, seconds, wholeFrom;  // the first whole repetition's start
    };
    const Row rows[] = {
        {"from its start", "KLO", 9.6, 7, 1, 60, 14, 1},
        {"begun inside a repetition", "KLO", 9.6, 7, -2, 67, 18, 5},
        {"fast and short", "ZUE", 12, 6, 0.5, 65, 12, 0.5},
        // Keyed from seconds in, on a carrier so clean that the 30 Hz
        // tone's faint line keys before it.
        {"keyed from 3.5 s in, 75 dB-Hz", "KLO", 9.6, 7, 3.5, 75, 12, 3.5},
        {"keyed from 5 s in, 80 dB-Hz", "NMPJ", 11.2, 7.5, 5, 80, 14, 5},
    };
    for (const Row &r : rows) {
        SigParams p = station(r.morse, r.wpm, r.cn0, 8);
        p.identPeriod = r.period;
        p.identStart = r.start;
        p.seconds = r.seconds;
        double at;
        int changes;
        const identState id = identOfSignal(p, at, changes);
        EXPECT_EQ(id.confirmed, r.morse) << r.what;
        EXPECT_EQ(changes, 0) << r.what;
        const double end = r.wholeFrom + morseSeconds(r.morse, r.wpm) + 6 * 1.2 / r.wpm + 1.2 + 0.3;
        EXPECT_LE(at, end) << r.what;
        EXPECT_GE(at, end - 1.5) << r.what;  // not before it was whole
    }
}

TEST(Ident, NothingNamesAStationThatIsNotThere) {
    struct Case {
        const char *what;
        SigParams p;
    } cases[] = {
        {"noise", station("", 7, 50, 4)},
        {"speech, no ident", station("", 7, 60, 5)},
        {"steady tone", station("", 7, 60, 6)},
        {"keyed tone, no Morse", station("", 7, 60, 7)},
    };
    cases[0].p.carrier = false;
    cases[1].p.voiceDepth = 0.3;
    cases[2].p.identSteady = true;
    cases[3].p.ident = true;
    for (auto &c : cases) {
        c.p.seconds = 14;
        double at;
        int changes;
        const identState id = identOfSignal(c.p, at, changes);
        EXPECT_EQ(id.confirmed, "") << c.what;
    }
}

// Real speech has a pitch, and its harmonics sweep through the ident tone:
// spoken by Debian's espeak-ng in several voices and pitches at 30 % rms,
// on a clean station keyed KLO it must be named right within 30 s, and with
// no ident nothing may be named.
TEST(Ident, RealSpeechNamesTheStationOrNothing) {
    ASSERT_EQ(access("/usr/bin/espeak-ng", X_OK), 0) << "espeak-ng (Debian's package) is needed";
    char dir[] = "/tmp/navdial-speech-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    struct Row {
        const char *voice;
        int pitch, speed;
        const char *text;
        const char *morse;
        double cn0 = 70, wpm = 9, period = 7.5, start = 2.5, radial = 42;
        uint64_t seed = 0;  // 0: one of its own
    };
    const std::string echo =
        "Wind variable at three knots, CAVOK. Temperature two one, dewpoint one two. Runway surface dry. Report "
        "information Echo on first contact.";
    const std::string echoTwice = echo + " " + echo;
    const std::string charlie =
        "Information Charlie. Cloud few at two thousand five hundred feet, broken at eight thousand. Temperature one "
        "four, dew point nine. QNH one zero one three hectopascals.";
    const std::string charlieTwice = charlie + " " + charlie;
    const std::string atis =
        "This is the automatic terminal information service. Expect ILS approach runway three four. Departure "
        "frequency one two four decimal five.";
    const std::string atisTwice = atis + " " + atis;
    const Row rows[] = {
        {"en-us", 50, 160,
         "Zurich information Kilo, time one two five zero. Runway one four in use. Wind two four zero degrees, eight "
         "knots. QNH one zero one three.",
         "KLO"},
        {"en-gb+f3", 65, 150, "Attention all aircraft. Bird activity reported in the vicinity of the airport.", "KLO"},
        {"en-us+croak", 38, 140,
         "Runway two six left closed for maintenance. Expect ILS approach runway two six right.", "KLO"},
        {"en-gb-scotland", 70, 175,
         "Automated weather observation. Temperature one seven, dew point one one. Altimeter two niner niner two.", ""},
        {"en-us+m7", 50, 165,
         "Good afternoon. Sky condition scattered at three thousand. Gusts up to twenty two knots.", ""},
        // Here speech puts one unit 2.7 times its noise across the
        // threshold where every other unit reads NH beyond doubt.
        {"en-029", 61, 168, echoTwice.c_str(), "NH", 60, 8.3, 7.5, 6.81, 20, 23},
        // Here, through three repetitions, the right grid fits 1.7 times
        // worse than the best before it is refined: the fifth tried.
        {"en-gb+m3", 40, 176, charlieTwice.c_str(), "OBRA", 70, 6.6, 9.454545454545453, 2.68, 133, 12},
        // Here speech harmonics stand out of a 70 dB-Hz station's quiet
        // beside the tone: read against that quiet, no two repetitions of
        // MPHS read beyond doubt.
        {"en-029", 61, 168, echoTwice.c_str(), "MPHS", 70, 6.5, 10.0, 2.44, 19, 59},
        // Here a blip of speech lies 5.6 times its noise across the
        // threshold in one repetition, just after the keying's end.
        {"en-029+f1", 58, 149, atisTwice.c_str(), "XSPY", 60, 9.8, 7.699999999999999, 3.69, 24, 68},
    };
    int k = 0;
    for (const Row &r : rows) {
        const std::string wav = std::string(dir) + "/" + std::to_string(k++) + ".wav";
        const std::string say = std::string("/usr/bin/espeak-ng -w ") + wav + " -v " + r.voice + " -p " +
                                std::to_string(r.pitch) + " -s " + std::to_string(r.speed) + " '" + r.text + "'";
        ASSERT_EQ(std::system(say.c_str()), 0) << say;
        std::string err;
        SigParams p = station(r.morse, r.wpm, r.cn0, r.seed ? r.seed : 20 + static_cast<uint64_t>(k));
        p.speech = loadAudio(wav, err);
        ASSERT_FALSE(p.speech.empty()) << err;
        p.voiceDepth = 0.3;
        p.identPeriod = r.period;
        p.identStart = r.start;
        p.radial = r.radial;
        p.seconds = 30;
        double at;
        int changes;
        const identState id = identOfSignal(p, at, changes);
        EXPECT_EQ(id.confirmed, r.morse) << r.voice << ", heard " << id.heard;
        EXPECT_EQ(changes, 0) << r.voice;
        std::remove(wav.c_str());
    }
    rmdir(dir);
}

}  // namespace
