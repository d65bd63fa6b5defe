// The weak-signal estimator (-w) against the generator's truth.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "signal_run.h"
#include "carrier.h"
#include "trustrun.h"

namespace {

SigParams station(double cn0, uint64_t seed, double seconds) {
    SigParams p;
    p.cn0 = cn0;
    p.seed = seed;
    p.radial = static_cast<double>(seed * 211 % 3600) / 10.0;
    p.seconds = seconds;
    return p;
}

// The window's mean radial: the radial at its middle, 1 s before its end.
double truth(const SigParams &p, const trustWindow &w, int interval) {
    return p.radial + p.radialRate * (w.t - interval / 2.0);
}

}  // namespace

TEST(Weak, RightWithinEveryStationTolerance) {
    // At 58 dB-Hz each window within 0.5 degrees of its mean radial, and
    // valid; the windows end where the default estimator's do.
    struct Case {
        const char *what;
        double tone, sub, index, offset, voice, rate;
        bool ident;
    } cases[] = {
        {"nominal", 30, 9960, 16, 0, 0, 0, false},
        {"tones 1 % fast", 30.3, 9960, 16, 0, 0, 0, false},
        {"tones 1 % slow", 29.7, 9960, 16, 0, 0, 0, false},
        {"subcarrier 1 % high", 30, 10059.6, 16, 0, 0, 0, false},
        {"subcarrier 1 % low, tones fast", 30.3, 9860.4, 16, 0, 0, 0, false},
        {"index 14", 30, 9960, 14, 0, 0, 0, false},
        {"index 18", 30, 9960, 18, 0, 0, 0, false},
        {"carrier +5 kHz", 30, 9960, 16, 5000, 0, 0, false},
        {"carrier -5 kHz", 30, 9960, 16, -5000, 0, 0, false},
        {"speech and ident", 30, 9960, 16, 0, 0.3, 0, true},
        {"moving +5 deg/s", 30, 9960, 16, 0, 0, 5, false},
        {"moving -5 deg/s, all off", 29.7, 10059.6, 14, -3000, 0, -5, true},
    };
    uint64_t seed = 40;
    for (const auto &c : cases) {
        SigParams p = station(58, ++seed, 4.2);
        p.toneHz = c.tone;
        p.subHz = c.sub;
        p.fmIndex = c.index;
        p.offsetHz = c.offset;
        p.voiceDepth = c.voice;
        p.ident = c.ident;
        p.radialRate = c.rate;
        const auto weak = measureSignal(p, 2, true);
        ASSERT_EQ(weak.size(), 2u) << c.what;
        for (size_t k = 0; k < weak.size(); ++k) {
            const trustWindow &w = weak[k];
            EXPECT_NEAR(w.t, 2.10002 + 2.00002 * static_cast<double>(k), 1e-9) << c.what;
            EXPECT_NEAR(angleDiff(w.radial, truth(p, w, 2)), 0.0, 0.5) << c.what << " t " << w.t;
            EXPECT_EQ(w.reasons, 0u) << c.what << " t " << w.t << " sigma " << w.sigma;
            EXPECT_NEAR(w.deviationHz, c.index * c.tone, 10.0) << c.what;
        }
    }
}

TEST(Weak, SensitivityAndCalibration) {
    // Measured over 20 stations each: at 45 dB-Hz 99 % of windows within
    // 2 degrees (the default estimator: 44 %); at 55 dB-Hz an RMS error of
    // 0.23 degrees. Valid windows are right to 2 degrees, and the error lies
    // within 2 sigma in about 93 % of windows.
    struct Case {
        double cn0;
        double minWithin, maxRms;
    } cases[] = {{45, 0.90, 1.2}, {55, 1.0, 0.35}};
    int windows = 0, in2 = 0;
    for (const auto &c : cases) {
        int n = 0, within = 0;
        double e2 = 0;
        for (uint64_t s = 1; s <= 4; ++s) {
            const SigParams p = station(c.cn0, s * 31 + static_cast<uint64_t>(c.cn0), 10.2);
            for (const auto &w : measureSignal(p, 2, true)) {
                const double err = angleDiff(w.radial, p.radial);
                ++n;
                within += std::fabs(err) <= 2.0;
                e2 += err * err;
                in2 += std::fabs(err) <= 2 * w.sigma;
                if (w.reasons == 0) {
                    EXPECT_LE(std::fabs(err), 2.0) << c.cn0 << " dB-Hz, radial " << p.radial;
                }
            }
        }
        windows += n;
        ASSERT_EQ(n, 4 * 5);
        EXPECT_GE(within, c.minWithin * n) << c.cn0 << " dB-Hz";
        EXPECT_LE(std::sqrt(e2 / n), c.maxRms) << c.cn0 << " dB-Hz";
    }
    EXPECT_GE(in2, windows * 80 / 100);
    EXPECT_LT(in2, windows);
}

TEST(Weak, RecordingsAgreeWithTheDefault) {
    // The recordings' audio chain shifts both estimators alike, to within
    // what each file's own subcarrier allows: the fit weighs the comb's outer
    // lines, the discriminator its inner ones, and where multipath or the
    // recording's filters bend the comb's phases the two part. Measured
    // (-l 1, largest difference): 0.2, 0.2, 0.4, 0.1 and 1.1 degrees.
    struct Case {
        const char *name;
        double tolerance;
    } cases[] = {{"45.377740N10.880124E-211Deg.wav", 0.5},
                 {"45.392627N10.905900E-181Deg.wav", 0.5},
                 {"45.409503N10.883784E-275Deg.wav", 0.6},
                 {"45.412321N10.900993E-322Deg.wav", 0.5},
                 {"45.418328N10.930478E-58Deg.wav", 1.3}};
    for (const auto &c : cases) {
        std::string err;
        SigParams p;
        p.audio = loadAudio(std::string(VRN_DIR) + "/" + c.name, err);
        ASSERT_FALSE(p.audio.empty()) << err;
        const auto def = measureSignal(p, 1, false), weak = measureSignal(p, 1, true);
        ASSERT_EQ(def.size(), weak.size());
        ASSERT_GE(weak.size(), 2u);
        for (size_t k = 0; k < weak.size(); ++k) {
            EXPECT_NEAR(angleDiff(weak[k].radial, def[k].radial), 0.0, c.tolerance) << c.name << " t " << weak[k].t;
            EXPECT_EQ(weak[k].reasons, 0u) << c.name << " t " << weak[k].t;
        }
    }
}

TEST(Weak, NoBiasAroundTheCircle) {
    // Without noise, random start phases: every radial within 0.02 degrees,
    // already on the first line (measured: at most 0.006).
    for (int r = 0; r < 360; r += 15) {
        SigParams p = station(INFINITY, 70 + static_cast<uint64_t>(r), 2.2);
        p.radial = r + 0.37;
        const auto weak = measureSignal(p, 2, true);
        ASSERT_EQ(weak.size(), 1u);
        EXPECT_NEAR(angleDiff(weak[0].radial, p.radial), 0.0, 0.02) << "radial " << p.radial;
    }
}

TEST(Weak, CarrierLoopAcquiresAndRecovers) {
    // Block sums of a carrier at `offset` Hz with 30 % AM at 30 Hz, at
    // `cn0`, then 0.3 s of noise alone, then the carrier again at another
    // phase: the loop follows the offset to 1 Hz, its in-phase output is the
    // envelope (mean 1 within 3 %) after each 0.15 s, and it never leaves
    // the carrier's neighbourhood for good.
    struct Case {
        double offset, cn0;
    } cases[] = {{0, 60}, {4700, 60}, {-5000, 45}, {1234, 44}, {-20000, 55}};
    for (const auto &c : cases) {
        carrierLoop loop;
        carrierReset(loop);
        uint64_t s = 7;
        auto gauss = [&s] {  // Box-Muller from a 64-bit LCG
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            const double u1 = (static_cast<double>(s >> 11) + 1) / 9007199254740993.0;
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            const double u2 = static_cast<double>(s >> 11) / 9007199254740992.0;
            return std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307179586 * u2);
        };
        const double sd = std::sqrt(50000.0 / (2 * std::pow(10.0, c.cn0 / 10)));  // per component
        const std::string what = std::to_string(c.offset) + " Hz, " + std::to_string(c.cn0) + " dB-Hz";
        double phase0 = 0.4;
        for (int part = 0; part < 3; ++part) {
            const bool carrier = part != 1;
            const int n = part == 1 ? 15000 : 25000;
            double sum = 0;
            int counted = 0;
            for (int k = 0; k < n; ++k) {
                const double t = k / 50000.0, a = carrier ? 1 + 0.3 * std::cos(6.283185307179586 * 30 * t) : 0;
                const double ph = phase0 + 6.283185307179586 * c.offset * t;
                const double y = carrierStep(loop, a * std::cos(ph) + sd * gauss(), a * std::sin(ph) + sd * gauss());
                if (carrier && k >= 7500) {
                    sum += y;
                    ++counted;
                }
            }
            if (!carrier) {
                phase0 = 2.5;
                continue;
            }
            EXPECT_NEAR(sum / counted, 1.0, 0.03) << what << ", part " << part;
            EXPECT_NEAR(loop.omega * 50000 / 6.283185307179586, c.offset, 1.0) << what << ", part " << part;
        }
    }
}
