// What a front end hands on for one station: the bytes of each buffer (for
// the clipping count) and each block sum of 40 IQ pairs, or, from AM audio,
// envelope values. A front end feeds whatever sits behind this table (a
// station's chain, a test's recorder) without knowing it.
#pragma once

#include <cmath>
#include <cstdint>

struct blockSink {
    void (*bytes)(void *user, const unsigned char *buf, uint32_t len);
    void (*block)(void *user, float re, float im);  // byte units: 40 x 128 for a full-scale carrier
    void (*value)(void *user, float envelope);      // about 1 for a full-scale carrier
    void *user;
};

// A block sum of 40 pairs in byte units to the envelope (about 1 for a
// full-scale carrier): its magnitude, squares and root in double precision.
constexpr double kBlockScale = 0.0001953125;  // 1/(40*128)
inline float blockEnvelope(float re, float im) {
    const double r = re, i = im;
    return static_cast<float>(std::sqrt(i * i + r * r) * kBlockScale);
}
