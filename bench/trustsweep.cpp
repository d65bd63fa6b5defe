// Calibration of the trust measures against the generator's truth: for each
// C/N0 of a sweep, many 2 s windows of generated stations with random
// radials and start phases; prints how the measures compare with the truth
// and how the flag behaves. A figure, never a pass or fail.
//
// usage: trustsweep [kind [seeds [seconds]]]
//   kind: vor (default), voice (30 % rms speech and the ident), offset (+-5 kHz),
//         noise, nocarrier-mod (carrier only), nosub, novar, ils; after "w:"
//         (w:vor, w:voice, ...) the same through the weak-signal estimator
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "trustrun.h"

namespace {

double wrap180(double d) {
    d = std::fmod(d, 360.0);
    if (d < -180) d += 360;
    if (d >= 180) d -= 360;
    return d;
}

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    std::string kind = argc > 1 ? argv[1] : "vor";
    const bool weak = kind.rfind("w:", 0) == 0;
    if (weak) kind = kind.substr(2);
    const int seeds = argc > 2 ? std::atoi(argv[2]) : 10;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 20.1;
    const bool nuisance =
        kind == "noise" || kind == "carrier" || kind == "nosub" || kind == "novar" || kind == "ils" || kind == "random";
    std::printf("%s%s: %d seeds x %.1f s per C/N0\n", weak ? "weak-signal estimator, " : "", kind.c_str(), seeds,
                seconds);
    std::printf(" C/N0   cn0 med  var%%  sub%%  devHz   in2sig  valid  valid-ok  within2  reasons\n");
    const double sweep[] = {38, 40, 42, 44, 46, 48, 50, 52, 54, 56, 60, 65, 70};
    int totalValid = 0, totalValidBad = 0, total = 0;
    for (double cn0 : sweep) {
        std::vector<double> cnErr, var, sub, dev;
        int in2 = 0, valid = 0, validOk = 0, within = 0, n = 0, slipOnly = 0, slipOnlyOk = 0;
        unsigned reasonCount[kReasonCount] = {};
        for (int s = 1; s <= seeds; ++s) {
            SigParams p;
            uint64_t rs = static_cast<uint64_t>(s) * 7919 + static_cast<uint64_t>(cn0 * 10);
            p.seed = rs;
            p.radial = std::fmod(static_cast<double>(rs * 2654435761u % 36000) / 100.0, 360.0);
            p.seconds = seconds;
            p.cn0 = cn0;
            if (kind == "voice") {
                p.voiceDepth = 0.3;
                p.ident = true;
            } else if (kind == "offset") {
                p.offsetHz = s % 2 ? 5000 : -5000;
            } else if (kind == "noise") {
                p.carrier = false;
            } else if (kind == "carrier") {
                p.varDepth = p.subDepth = 0;
            } else if (kind == "nosub") {
                p.subDepth = 0;
            } else if (kind == "novar") {
                p.varDepth = 0;
            } else if (kind == "ils") {
                p.ils = true;
            }
            for (const auto &w : measureSignal(p, 2, weak)) {
                ++n;
                const double err = wrap180(w.radial - p.radial);
                const bool ok = std::fabs(err) <= 2.0;
                within += ok;
                in2 += std::fabs(err) <= 2 * w.sigma;
                if (w.reasons == 0) {
                    ++valid;
                    validOk += ok;
                }
                if (w.slip && w.reasons == 0) {
                    ++slipOnly;
                    slipOnlyOk += ok;
                }
                for (int k = 0; k < kReasonCount; ++k) reasonCount[k] += (w.reasons >> k) & 1;
                cnErr.push_back(w.cn0 - cn0);
                var.push_back(w.varDepth);
                sub.push_back(w.subDepth);
                dev.push_back(w.deviationHz);
            }
        }
        total += n;
        totalValid += valid;
        totalValidBad += valid - validOk;
        std::string rs;
        for (int k = 0; k < kReasonCount; ++k)
            if (reasonCount[k]) rs += std::string(trustReasonName(k)) + ":" + std::to_string(reasonCount[k]) + " ";
        std::printf("%5.0f  %+7.2f  %5.1f %5.1f %6.0f  %6.1f%% %5.1f%% %7.1f%% %6.1f%%  valid slipped %d/%d ok  %s\n",
                    cn0, nuisance ? median(cnErr) + cn0 : median(cnErr), 100 * median(var), 100 * median(sub),
                    median(dev), 100.0 * in2 / n, 100.0 * valid / n, valid ? 100.0 * validOk / valid : NAN,
                    100.0 * within / n, slipOnlyOk, slipOnly, rs.c_str());
    }
    std::printf("windows %d, valid %d, valid but off by more than 2 degrees %d\n", total, totalValid, totalValidBad);
    return 0;
}
