// The bearing estimator fed envelope samples directly: window arithmetic,
// degenerate envelopes, output format, and the slip check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "signal_run.h"
#include "settings.h"
#include "vor.h"

namespace {

std::string format(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%5.1f\n", v);
    return b;
}

// Continues the running estimator (no reset) for `count` samples of value e.
std::string more(size_t count, float e) {
    testing::internal::CaptureStdout();
    for (size_t k = 0; k < count; ++k) vor(e);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Estimator, AllZeroEnvelopePrintsTheDelayCorrection) {
    // Both atan2 calls see (0, 0): a is the 5.616 degree correction alone.
    const std::vector<float> zeros(5000 + 3 * 100001, 0.0f);
    EXPECT_EQ(runVor(zeros, 2), "  5.6\n  5.6\n  5.6\n");
}

TEST(Estimator, SampleCountsBeforeAndBetweenLines) {
    for (int iv : {1, 3}) {
        const size_t N = 50000u * static_cast<size_t>(iv);
        EXPECT_EQ(runVor(std::vector<float>(5000 + N, 0.0f), iv), "") << "interval " << iv;
        EXPECT_EQ(more(1, 0.0f), "  5.6\n");
        EXPECT_EQ(more(N, 0.0f), "");
        EXPECT_EQ(more(1, 0.0f), "  5.6\n");
    }
}

TEST(Estimator, ConstantEnvelope) {
    // An unmodulated carrier: the discriminator sits at its lower limit, S
    // points opposite R, and a is pi plus the correction: 185.6.
    // The first window also holds the filters' start-up, in which a sweeps
    // from about 84 degrees round to 185.6: its plain mean is 173.4, its
    // circular mean 179.3. They differ by more than the slip limit, so the
    // circular mean is printed.
    EXPECT_EQ(runVor(std::vector<float>(5000 + 50001, 1.0f), 1), "179.3\n");
    EXPECT_EQ(format(lastPlainMean()), "173.4\n");
    EXPECT_EQ(more(3 * 50001, 1.0f), "185.6\n185.6\n185.6\n");
    EXPECT_EQ(format(lastPlainMean()), "185.6\n");
}

TEST(Estimator, ZeroAndNegativeIntervals) {
    // 0: after the warm-up every sample closes a window with nothing summed.
    EXPECT_EQ(runVor(std::vector<float>(5000, 0.3f), 0), "");
    EXPECT_EQ(more(3, 0.3f), "  0.0\n  0.0\n  0.0\n");
    // Negative: every call closes a window; the first divides 0 by -4999.
    EXPECT_EQ(runVor(std::vector<float>(3, 0.3f), -1), " -0.0\n  0.0\n  0.0\n");
    EXPECT_EQ(runVor(std::vector<float>(2, 0.3f), INT32_MIN), " -0.0\n  0.0\n");
}

TEST(Estimator, LongIntervalsDoNotOverflow) {
    // 50000 x 42950 and 50000 x 2147483647 do not fit 32 bits; wrapped, they
    // would close a window on every call.
    for (int32_t iv : {42950, 1000000, INT32_MAX})
        EXPECT_EQ(runVor(std::vector<float>(60000, 1.0f), iv), "") << "interval " << iv;
}

TEST(Estimator, SlipCheck) {
    struct Case {
        double v, phasorDeg, want;
        const char *why;
    } cases[] = {
        {100.0, 100.0, 100.0, "agree"},
        {100.0, 101.9, 100.0, "within 2 degrees"},
        {359.5, 0.5, 359.5, "within 2 degrees across 0"},
        {0.8, 359.4, 0.8, "within 2 degrees across 0, other side"},
        {100.0, 102.5, 102.5, "more than 2 degrees"},
        {220.0, 100.0, 100.0, "a third of a turn gained"},
        {10.0, 350.0, 350.0, "20 degrees across 0"},
    };
    for (const auto &c : cases) {
        const double r = c.phasorDeg / 57.29577951308232;
        const double got = windowBearing(c.v, r);
        EXPECT_NEAR(got, c.want, 1e-9) << c.why << ": v " << c.v << ", circular mean " << c.phasorDeg;
    }
    // A clean window keeps the plain value to the last bit.
    for (double v = 0.01; v < 360; v += 7.3) {
        const double r = (v + 1.5) / 57.29577951308232;
        EXPECT_EQ(windowBearing(v, r), v);
    }
    // The circular mean is put into [0, 360).
    EXPECT_EQ(windowBearing(180.0, -1e-12), 360.0 - 1e-12 * 57.29577951308232);
    EXPECT_EQ(windowBearing(180.0, -1e-18), 0.0);
    EXPECT_NEAR(windowBearing(0.0, 3.1415926 + 0.0980177), 185.616, 0.001);
}

TEST(Estimator, LibraryTrigonometryIdentities) {
    // The fast estimator takes cos and sin of the oscillator's phases from
    // one sincos call and sin(-x) as -sin(x). That gives the plain
    // arithmetic's bits only if this C library agrees to the bit, which is
    // checked here over the phases the oscillator visits in 40 s.
    double phase = 0;
    long bad = 0;
    for (int k = 0; k < 2000000; ++k) {
        if (phase > 3.1378227424054854)
            phase -= 6.2794153959952785;
        else
            phase += 0.0037699111843077513;
        for (double x : {phase, 332.0 * phase}) {
            double s, c;
            sincos(x, &s, &c);
            const double cs = std::cos(x), sn = std::sin(-x), neg = -s;
            if (std::memcmp(&c, &cs, sizeof c) != 0 || std::memcmp(&neg, &sn, sizeof sn) != 0) {
                if (++bad <= 5) ADD_FAILURE() << "x = " << x << ": sincos " << s << " " << c << ", sin(-x) " << sn;
            }
        }
    }
    EXPECT_EQ(bad, 0);
}

}  // namespace
