// Carrier loop.
//
// Acquisition: the lag products D[k] conj(D[k-L]) of the block sums hold the
// carrier's turn per L samples (the AM is real and positive, so it adds no
// phase). Lag 1 is unambiguous to +-25 kHz; each longer lag's estimate is
// taken near the one before it, so lag 256 refines the frequency to under a
// hertz at 44 dB-Hz in 2500 samples. The phase then comes from the last 256
// sums turned back by that frequency.
//
// Tracking: a second-order loop; the phase detector is the quadrature part
// over the carrier's amplitude, which needs no arctangent. The oscillator is
// a table. Every 0.1 s the in-phase part is checked against the magnitude:
// a loop that lost the carrier acquires it again.
#include "carrier.h"

#include <algorithm>
#include <cmath>

#include "cpxops.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kLockLen = 5000;             // lock check every 0.1 s
constexpr int kNco = 4096;                 // oscillator table: 1.5 mrad steps, a gain of 1 - 3e-7
constexpr int kAcquire = 2500;             // samples of acquisition, half the warm-up: the loop settles
                                           // (1/20 Hz) before the first window
constexpr int kLags[4] = {1, 4, 32, 256};  // each lag's estimate resolves the next one's turns;
                                           // lag 4 alone is unambiguous to +-6.25 kHz
// Loop noise bandwidth 20 Hz, damping 0.707: omega_n = 2 B/(zeta + 1/(4 zeta)) = 37.7 rad/s;
// per sample kp = 2 zeta omega_n / 50000, ki = (omega_n / 50000)^2. At 44 dB-Hz the
// loop's phase jitter is sqrt(20/10^4.4) = 0.03 rad.
constexpr double kLoopP = 1.0663e-3, kLoopI = 5.685e-7;
constexpr double kAmpRate = 1.0 / 5000;  // the amplitude's average, time constant 0.1 s
constexpr double kLockMin = 0.1;         // in-phase over total magnitude below this: lost (locked at
                                         // 35 dB-Hz it is 0.3, unlocked 0.01)

struct Tables {
    float nco[kNco][2];  // exp(j 2 pi i/4096)
    Tables() {
        for (int i = 0; i < kNco; ++i) {
            nco[i][0] = static_cast<float>(std::cos(kTwoPi * i / kNco));
            nco[i][1] = static_cast<float>(std::sin(kTwoPi * i / kNco));
        }
    }
};

const Tables &tables() {
    static const Tables t;
    return t;
}

// The carrier's frequency from the lag products, each lag refining the last,
// and its phase at the newest sample from the last 256 block sums.
void acquire(carrierLoop &w) {
    double omega = std::atan2(w.lagSum[0].im, w.lagSum[0].re);
    for (int k = 1; k < 4; ++k) {
        if (norm(w.lagSum[k]) == 0) break;
        const double predicted = omega * kLags[k];
        omega = (predicted + wrapPi(std::atan2(w.lagSum[k].im, w.lagSum[k].re) - predicted)) / kLags[k];
    }
    cpx sum{0, 0}, r{1, 0};
    const cpx step{std::cos(omega), std::sin(omega)};
    for (int i = 0; i < kCarrierLagRing; ++i) {
        const cpx t = mul(w.past[(w.pastAt - 1 - static_cast<uint32_t>(i)) & (kCarrierLagRing - 1)], r);
        sum.re += t.re;
        sum.im += t.im;
        r = mul(r, step);
    }
    w.omega = omega;
    w.theta = std::atan2(sum.im, sum.re) + omega;  // the next sample's
    w.theta -= kTwoPi * std::floor(w.theta / kTwoPi);
    w.amp = std::max(1e-9, std::sqrt(norm(sum)) / kCarrierLagRing);
    w.invAmp = 1 / w.amp;
    w.tracking = true;
    w.lockIn = w.lockAll = 0;
    w.lockCount = 0;
}

}  // namespace

void carrierReset(carrierLoop &w) {
    w = carrierLoop{};
    w.amp = w.invAmp = 1;
}

double carrierStep(carrierLoop &w, double re, double im) {
    const cpx d{re, im};
    if (!w.tracking) {
        for (int k = 0; k < 4; ++k) {
            if (w.acquired < kLags[k]) break;
            const cpx t = mulConj(d, w.past[(w.pastAt - static_cast<uint32_t>(kLags[k])) & (kCarrierLagRing - 1)]);
            w.lagSum[k].re += t.re;
            w.lagSum[k].im += t.im;
        }
        w.past[w.pastAt++ & (kCarrierLagRing - 1)] = d;
        if (++w.acquired == kAcquire) acquire(w);
        return std::sqrt(re * re + im * im);  // the envelope meanwhile
    }
    // Coherent detection: the block sum turned back by the carrier's phase.
    const Tables &tb = tables();
    const int i = static_cast<int>(w.theta * (kNco / kTwoPi)) & (kNco - 1);
    const double c = tb.nco[i][0], s = tb.nco[i][1];
    const double yr = re * c + im * s, yi = im * c - re * s;
    const double err = std::clamp(yi * w.invAmp, -1.0, 1.0);
    w.omega += kLoopI * err;
    w.theta += w.omega + kLoopP * err;
    if (w.theta >= kTwoPi) w.theta -= kTwoPi;
    if (w.theta < 0) w.theta += kTwoPi;
    w.past[w.pastAt++ & (kCarrierLagRing - 1)] = d;
    // The amplitude and the lock check from one sample in eight: both are
    // averages over 0.1 s.
    if ((++w.lockCount & 7) == 0) {
        w.amp = std::max(1e-9, w.amp + (yr - w.amp) * (8 * kAmpRate));
        w.invAmp = 1 / w.amp;
        w.lockIn += yr;
        w.lockAll += std::sqrt(re * re + im * im);
    }
    if (w.lockCount == kLockLen) {
        if (w.lockIn < kLockMin * w.lockAll) {
            // Lost (or never had) the carrier: acquire it again.
            w.tracking = false;
            w.acquired = 0;
            for (cpx &l : w.lagSum) l = cpx{0, 0};
        }
        w.lockIn = w.lockAll = 0;
        w.lockCount = 0;
    }
    return yr;
}
