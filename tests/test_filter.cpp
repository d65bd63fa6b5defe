// The complex filter sections: response, gains, notches and the design rule.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "vor.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kFs = 50000.0;

// Settled magnitude of the response to exp(j 2 pi f k/50000), over the gain at 0 Hz.
double relativeGain(const filterCoef &c, double f, int settle) {
    filterState s{};
    double mag = 0;
    for (int k = 0; k < settle + 1000; ++k) {
        const std::complex<double> in = std::polar(1.0, 2 * kPi * f * k / kFs);
        const cpx out = filterStep(s, {in.real(), in.imag()}, c);
        if (k >= settle) mag = std::max(mag, std::hypot(out.re, out.im));
    }
    const double dc = (2 + 2 * c.b1 + c.b2) / (1 - c.a3 - c.a2);
    return mag / dc;
}

TEST(Filter, ImpulseResponseFollowsTheRecurrence) {
    for (const filterCoef *c : {&coef30, &coefSub}) {
        filterState s{};
        const double y0 = filterStep(s, {1.0, -2.0}, *c).re;
        const double y1 = filterStep(s, {0.0, 0.0}, *c).re;
        const cpx y2 = filterStep(s, {0.0, 0.0}, *c);
        EXPECT_EQ(y0, 1.0);
        EXPECT_DOUBLE_EQ(y1, c->b1 + c->a3 * 1.0);
        EXPECT_DOUBLE_EQ(y2.re, c->b2 + c->a3 * y1 + c->a2 * y0);
        EXPECT_DOUBLE_EQ(y2.im, -2.0 * y2.re);  // the two parts run independently
        // Slots 5-7 are never touched.
        for (int k = 5; k < 8; ++k) EXPECT_TRUE(s.x[k].re == 0 && s.y[k].im == 0);
    }
}

TEST(Filter, SteadyInputSettlesToTheGainAtZeroHertz) {
    struct Case {
        const filterCoef *c;
        int steps;
        double gain;
    } cases[] = {{&coef30, 30000, 22.28}, {&coefSub, 3000, 1397.55}};
    for (const auto &k : cases) {
        filterState s{};
        cpx out{};
        for (int i = 0; i < k.steps; ++i) out = filterStep(s, {1.0, 0.0}, *k.c);
        EXPECT_NEAR(out.re, k.gain, 0.01) << "expected " << k.gain;
        EXPECT_NEAR(out.im, 0.0, 1e-9);
    }
}

TEST(Filter, NotchesAndSkirts) {
    // The notch of each set takes out the envelope's constant part after its mixer.
    EXPECT_LT(relativeGain(coef30, -30.0, 30000), 1e-4);
    EXPECT_LT(relativeGain(coef30, 30.0, 30000), 1e-4);
    EXPECT_LT(relativeGain(coefSub, -9960.0, 3000), 1e-4);
    // The variable tone's image at -60 Hz is only weakened: 0.132 (-17.6 dB).
    EXPECT_NEAR(relativeGain(coef30, -60.0, 30000), 0.132, 0.002);
    // -3 dB band edges: +-8.67 Hz and +-508.5 Hz.
    EXPECT_NEAR(relativeGain(coef30, 8.67, 30000), std::sqrt(0.5), 0.003);
    EXPECT_NEAR(relativeGain(coefSub, -508.5, 3000), std::sqrt(0.5), 0.003);
}

// The design: numerator (1 + z^-1)^2 (1 - 2 cos w0 z^-1 + z^-2); denominator a
// two-pole analogue low-pass, prewarped bilinear transform at 50 kHz.
filterCoef design(double f0, double corner, double A, double B, double C) {
    const double cw = std::cos(2 * kPi * f0 / kFs);
    const double K = 1.0 / std::tan(kPi * corner / kFs);  // s/wc after the bilinear map
    const double d0 = A * K * K + B * K + C, d1 = 2 * C - 2 * A * K * K, d2 = A * K * K - B * K + C;
    return {2 - 2 * cw, 2 - 4 * cw, -d2 / d0, -d1 / d0};
}

double round10(double x) { return std::round(x * 1e10) / 1e10; }

TEST(Filter, CoefficientsFollowFromTheDesignRule) {
    // Bessel 3/(p^2 + 3p + 3) rescaled so that it is 3 dB down at p = j:
    // |H(jW)|^2 = 1/2 at W^2 = (sqrt(45) - 3)/2.
    const double w = std::sqrt((std::sqrt(45.0) - 3.0) / 2.0);
    const filterCoef bessel = design(30.0, 10.0, w * w / 3, w, 1.0);
    const filterCoef butter = design(9960.0, 510.0, 1.0, std::sqrt(2.0), 1.0);
    for (auto [got, want] : {std::pair{bessel, coef30}, std::pair{butter, coefSub}}) {
        EXPECT_EQ(round10(got.b1), want.b1);
        EXPECT_EQ(round10(got.b2), want.b2);
        EXPECT_EQ(round10(got.a2), want.a2);
        EXPECT_EQ(round10(got.a3), want.a3);
    }
}

}  // namespace
