// The mixing table and the 40-sample envelope detector, watched through a
// sink that records the envelope of every block sum. Every case runs on
// both detectors: the plain one and the fast one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "plain_kernels.h"
#include "rtl.h"

namespace {

std::vector<float> seen;

void recordBlock(void *, float re, float im) { seen.push_back(blockEnvelope(re, im)); }
void noBytes(void *, const unsigned char *, uint32_t) {}
void noValue(void *, float) {}
const blockSink kRecorder = {noBytes, recordBlock, noValue, nullptr};

constexpr double kPi = 3.141592653589793;

using Callback = void (*)(unsigned char *, uint32_t, void *);
const Callback kBoth[] = {in_callback_plain, in_callback};

void fresh() {
    seen.clear();
    resetBlock();
    plainReset();
    initOsc();
    setRtlOutput(&kRecorder);
    setPlainOutput(&kRecorder);
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

double meanEnvelope(Callback cb, double f, double a) {
    fresh();
    auto b = tone(f, a, 40960);
    cb(b.data(), static_cast<uint32_t>(b.size()), nullptr);
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
    for (Callback cb : kBoth)
        for (double a : {20.0, 64.0, 127.0})
            EXPECT_NEAR(meanEnvelope(cb, 50000, a), a / 128, 0.01 * a / 128) << "amplitude " << a;
}

TEST(FrontEnd, BlockSumResponse) {
    // sin(40x)/(40 sin x), x = pi (f - 50 kHz)/2 MHz.
    struct Case {
        double f, dB;
    } cases[] = {{40000, -0.58}, {60000, -0.58}, {49000, -0.006}, {59960, -0.57}};
    for (Callback cb : kBoth) {
        const double ref = meanEnvelope(cb, 50000, 100);
        for (const auto &c : cases) {
            const double dB = 20 * std::log10(meanEnvelope(cb, c.f, 100) / ref);
            EXPECT_NEAR(dB, c.dB, 0.02) << c.f << " Hz";
        }
    }
}

TEST(FrontEnd, BlocksSpanBuffers) {
    for (Callback cb : kBoth) {
        fresh();
        auto b = tone(50000, 100, 80);
        cb(b.data(), 82, nullptr);  // 41 pairs: one block and one pair
        EXPECT_EQ(seen.size(), 1u);
        cb(b.data() + 82, 78, nullptr);  // 39 pairs complete the second block
        ASSERT_EQ(seen.size(), 2u);
        // The block that spanned two buffers is as good as one that did not.
        EXPECT_NEAR(seen[1], seen[0], 0.01f);

        fresh();
        auto full = tone(50000, 100, 40960);
        cb(full.data(), 81920, nullptr);
        EXPECT_EQ(seen.size(), 1024u);
    }
}

TEST(FrontEnd, OddLengthIgnoresTheLastByte) {
    for (Callback cb : kBoth) {
        fresh();
        // Exactly 81 bytes on the heap: a read past them is caught by the
        // address sanitizer.
        std::vector<unsigned char> odd(81, 200);
        cb(odd.data(), 81, nullptr);
        EXPECT_EQ(seen.size(), 1u);
        // The stray byte was not taken as the start of a pair: 40 more pairs
        // complete exactly one more block.
        std::vector<unsigned char> more(80, 127);
        cb(more.data(), 80, nullptr);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_LT(seen[1], 1e-6f);  // a block of 127s alone: nothing of the 200s got in
    }
}

TEST(FrontEnd, ConstantInputCancels) {
    for (Callback cb : kBoth) {
        fresh();
        std::vector<unsigned char> b(81920, 127);  // i = q = -0.5: a signal at the tuner centre
        cb(b.data(), 81920, nullptr);
        ASSERT_EQ(seen.size(), 1024u);
        for (float e : seen) EXPECT_LT(e, 1e-6f);
    }
}

TEST(FrontEnd, FastAndPlainGiveTheSameBits) {
    // Random bytes, cut into buffers of awkward even lengths.
    std::vector<unsigned char> b(400000);
    uint32_t s = 12345;
    for (auto &x : b) x = static_cast<unsigned char>((s = s * 1103515245u + 12345u) >> 23);
    std::vector<float> got[2];
    for (int k = 0; k < 2; ++k) {
        fresh();
        size_t at = 0, len = 2;
        while (at < b.size()) {
            const size_t n = std::min(len, b.size() - at);
            kBoth[k](b.data() + at, static_cast<uint32_t>(n), nullptr);
            at += n;
            len = len * 7 % 4094 + 2;  // 2 ... 4094 bytes, never a multiple of 80 for long
        }
        got[k] = seen;
    }
    ASSERT_EQ(got[0].size(), b.size() / 80);
    ASSERT_EQ(got[1].size(), got[0].size());
    for (size_t i = 0; i < got[0].size(); ++i)
        ASSERT_EQ(std::memcmp(&got[0][i], &got[1][i], sizeof(float)), 0) << "block " << i;
}

}  // namespace
