// The mixing table and the 40-sample envelope detector, watched through a
// vor() of this test's own that records every envelope sample.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "rtl.h"

namespace {
std::vector<float> seen;
}  // namespace

void vor(float envelope) { seen.push_back(envelope); }

namespace {

constexpr double kPi = 3.141592653589793;

void fresh() {
    seen.clear();
    resetBlock();
    initOsc();
}

// A complex tone of amplitude a (byte units around 127.5) at f Hz, 2 MS/s.
std::vector<unsigned char> tone(double f, double a, size_t pairs) {
    std::vector<unsigned char> b(2 * pairs);
    for (size_t k = 0; k < pairs; ++k) {
        const double ph = 2 * kPi * f * static_cast<double>(k) / 2e6 + 0.3;
        b[2 * k] = static_cast<unsigned char>(std::floor(128.0 + a * std::cos(ph)));
        b[2 * k + 1] = static_cast<unsigned char>(std::floor(128.0 + a * std::sin(ph)));
    }
    return b;
}

double meanEnvelope(double f, double a) {
    fresh();
    auto b = tone(f, a, 40960);
    in_callback(b.data(), static_cast<uint32_t>(b.size()), nullptr);
    double s = 0;
    for (float e : seen) s += e;
    return s / static_cast<double>(seen.size());
}

TEST(FrontEnd, MixingTableIsOneTurnOfMinus50kHz) {
    initOsc();
    for (int i = 0; i < 40; ++i) {
        const float *o = oscEntry(i);
        EXPECT_NEAR(o[0], std::cos(-2 * kPi * i / 40), 5e-7) << "entry " << i;
        EXPECT_NEAR(o[1], std::sin(-2 * kPi * i / 40), 5e-7) << "entry " << i;
    }
    EXPECT_EQ(oscEntry(0)[0], 1.0f);
    EXPECT_EQ(oscEntry(0)[1], 0.0f);
    EXPECT_NEAR(oscEntry(10)[0], 0.0f, 1e-7);
    EXPECT_EQ(oscEntry(10)[1], -1.0f);
    EXPECT_EQ(oscEntry(20)[0], -1.0f);
    EXPECT_NEAR(oscEntry(20)[1], 0.0f, 1e-7);
}

TEST(FrontEnd, CarrierAmplitudeScalesToAbout1Over128) {
    for (double a : {20.0, 64.0, 127.0})
        EXPECT_NEAR(meanEnvelope(50000, a), a / 128, 0.01 * a / 128) << "amplitude " << a;
}

TEST(FrontEnd, BlockSumResponse) {
    // sin(40x)/(40 sin x), x = pi (f - 50 kHz)/2 MHz.
    struct Case { double f, dB; } cases[] = {{40000, -0.58}, {60000, -0.58}, {49000, -0.006}, {59960, -0.57}};
    const double ref = meanEnvelope(50000, 100);
    for (const auto &c : cases) {
        const double dB = 20 * std::log10(meanEnvelope(c.f, 100) / ref);
        EXPECT_NEAR(dB, c.dB, 0.02) << c.f << " Hz";
    }
}

TEST(FrontEnd, BlocksSpanBuffers) {
    fresh();
    auto b = tone(50000, 100, 80);
    in_callback(b.data(), 82, nullptr);  // 41 pairs: one block and one pair
    EXPECT_EQ(seen.size(), 1u);
    in_callback(b.data() + 82, 78, nullptr);  // 39 pairs complete the second block
    ASSERT_EQ(seen.size(), 2u);
    // The block that spanned two buffers is as good as one that did not.
    EXPECT_NEAR(seen[1], seen[0], 0.01f);

    fresh();
    auto full = tone(50000, 100, 40960);
    in_callback(full.data(), 81920, nullptr);
    EXPECT_EQ(seen.size(), 1024u);
}

TEST(FrontEnd, OddLengthIgnoresTheLastByte) {
    fresh();
    // Exactly 81 bytes on the heap: a read past them is caught by the
    // address sanitizer.
    std::vector<unsigned char> odd(81, 200);
    in_callback(odd.data(), 81, nullptr);
    EXPECT_EQ(seen.size(), 1u);
    // The stray byte was not taken as the start of a pair: 40 more pairs
    // complete exactly one more block.
    std::vector<unsigned char> more(80, 127);
    in_callback(more.data(), 80, nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_LT(seen[1], 1e-6f);  // a block of 127s alone: nothing of the 200s got in
}

TEST(FrontEnd, ConstantInputCancels) {
    fresh();
    std::vector<unsigned char> b(81920, 127);  // i = q = -0.5: a signal at the tuner centre
    in_callback(b.data(), 81920, nullptr);
    ASSERT_EQ(seen.size(), 1024u);
    for (float e : seen) EXPECT_LT(e, 1e-6f);
}

}  // namespace
