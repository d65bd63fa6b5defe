#include "plain_kernels.h"

#include <cmath>
#include <cstdio>

#include "rtl.h"
#include "vor.h"

namespace {

vorState startState() {
    vorState v{};
    vorInit(v);
    return v;
}

vorState est = startState();  // the estimator's state
float osc[40][2];             // the detector's mixing table, copied
int idx;                      // position of the next pair in the current block
float D[2];                   // running sum of the current block (re, im)
const blockSink *out;         // null: vorPlain()

}  // namespace

void plainReset() {
    initOsc();
    for (int i = 0; i < 40; ++i) {
        osc[i][0] = oscEntry(i)[0];
        osc[i][1] = oscEntry(i)[1];
    }
    est = startState();
    idx = 0;
    D[0] = D[1] = 0.0f;
}

void setPlainOutput(const blockSink *s) { out = s; }

void vorPlain(float envelope) {
    vorState &v = est;
    vorAdvance(v);

    const double r = envelope;
    const double c1 = std::cos(v.phase);
    const double s1 = std::sin(-v.phase);
    const cpx R = filterStep(v.flt_r, {r * c1, r * s1}, coef30);

    const double c2 = std::cos(kVorSubMul * v.phase);
    const double s2 = std::sin(-(kVorSubMul * v.phase));
    const cpx F = filterStep(v.flt_f, {r * c2, r * s2}, coefSub);

    // Phase-difference discriminator: the subcarrier's frequency, radians/sample.
    const double dy = F.im * v.fpr.re - F.re * v.fpr.im;
    const double d = vorLimit(std::atan2(dy, F.re * v.fpr.re + F.im * v.fpr.im));
    v.fpr = F;

    const cpx S = filterStep(v.flt_s, {c1 * d, s1 * d}, coef30);
    const double a = std::atan2(S.im * R.re - S.re * R.im, S.re * R.re + S.im * R.im) + kVorDelay;

    if (v.n > 0) {
        vorAccumulate(v, a);
        v.pre += std::cos(a);
        v.pim += std::sin(a);
    }
    if (vorCount(v, a, 0.0)) std::printf("%5.1f\n", v.bearing);
}

double plainLastMean() { return est.plainMean; }

void in_callback_plain(unsigned char *buf, uint32_t len, void * /*ctx*/) {
    // The sum over a block is a boxcar low-pass with decimation by 40: its
    // nulls fall on every multiple of 50 kHz from the carrier, and it costs
    // one complex multiply-add a sample.
    if (out) out->bytes(out->user, buf, len);
    for (uint32_t k = 0; k + 1 < len; k += 2) {
        const float i = static_cast<float>(buf[k]) - 127.5f;
        const float q = static_cast<float>(buf[k + 1]) - 127.5f;
        const float c = osc[idx][0];
        const float s = osc[idx][1];
        D[0] += i * c - q * s;
        D[1] += q * c + i * s;
        if (++idx == 40) {
            if (out)
                out->block(out->user, D[0], D[1]);
            else
                vorPlain(blockEnvelope(D[0], D[1]));
            D[0] = D[1] = 0.0f;
            idx = 0;
        }
    }
    std::fflush(stdout);
}
