// Sensitivity of both estimators against the generator's truth: for each
// C/N0, generated stations with random radials and start phases, the share of
// 2 s windows within 2 degrees of the truth and the RMS error. Prints a
// Markdown table (the one in the README). A figure, never a pass or fail.
//
// usage: sensitivity [kind [seeds [seconds]]]
//   kind: vor (default); tone (30 Hz tones 1 % off), sub (subcarrier 1 % off),
//         index (FM index 14 and 18), offset (carrier 5 kHz off), voice (speech
//         at 30 % rms and the ident), moving (the radial changing at 5 deg/s)
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

struct figures {
    double within, rms;
};

figures run(const std::string &kind, double cn0, int seeds, double seconds, bool weak) {
    int n = 0, ok = 0;
    double e2 = 0;
    for (int s = 1; s <= seeds; ++s) {
        SigParams p;
        const uint64_t rs = static_cast<uint64_t>(s) * 7919 + static_cast<uint64_t>(cn0 * 10);
        p.seed = rs;
        p.radial = static_cast<double>(rs * 2654435761u % 36000) / 100.0;
        p.seconds = seconds;
        p.cn0 = cn0;
        const double sign = s % 2 ? 1.0 : -1.0;
        if (kind == "tone") p.toneHz = 30.0 * (1 + 0.01 * sign);
        if (kind == "sub") p.subHz = 9960.0 * (1 + 0.01 * sign);
        if (kind == "index") p.fmIndex = s % 2 ? 14.0 : 18.0;
        if (kind == "offset") p.offsetHz = 5000 * sign;
        if (kind == "voice") {
            p.voiceDepth = 0.3;
            p.ident = true;
        }
        if (kind == "moving") p.radialRate = 5 * sign;
        const std::vector<trustWindow> ws = measureSignal(p, 2, weak);
        for (const trustWindow &w : ws) {
            // The window's mean radial: the radial at its middle, 1 s before its end.
            const double truth = p.radial + p.radialRate * (w.t - 1.0);
            const double err = wrap180(w.radial - truth);
            ok += std::fabs(err) <= 2.0;
            e2 += err * err;
            ++n;
        }
    }
    return {100.0 * ok / n, std::sqrt(e2 / n)};
}

}  // namespace

int main(int argc, char **argv) {
    const std::string kind = argc > 1 ? argv[1] : "vor";
    const int seeds = argc > 2 ? std::atoi(argv[2]) : 6;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 20.1;
    const double sweep[] = {60, 56, 53, 51, 50, 49, 48, 46, 45, 44, 43, 42};
    std::vector<figures> def, weak;
    for (double c : sweep) {
        def.push_back(run(kind, c, seeds, seconds, false));
        weak.push_back(run(kind, c, seeds, seconds, true));
    }
    std::printf("%s: %d stations x %.1f s per C/N0; windows within 2 degrees, %% (RMS error, degrees)\n\n",
                kind.c_str(), seeds, seconds);
    std::printf("| C/N0 dB-Hz |");
    for (double c : sweep) std::printf(" %.0f |", c);
    std::printf("\n|---|");
    for (size_t k = 0; k < std::size(sweep); ++k) std::printf("---|");
    const char *names[2] = {"default", "-w"};
    for (int e = 0; e < 2; ++e) {
        std::printf("\n| %s |", names[e]);
        for (const figures &f : e ? weak : def) std::printf(" %.0f (%.2f) |", f.within, f.rms);
    }
    std::printf("\n");
    return 0;
}
