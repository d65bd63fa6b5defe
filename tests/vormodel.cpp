// vormodel: a second, independent model of a VOR signal, written only to
// check that navdial's figures do not fit vorgen alone. It shares no code
// with vorgen and takes other routes on purpose: every tone from its own
// phase by the library's sine (no turning phasors), noise by Box-Muller
// from a Mersenne twister, bytes by truncation around 128 (not rounding
// around 127.5) at a fixed carrier level that may clip, random start
// phases, a random carrier offset within +-2 kHz, and a random keying of
// the ident's tone. 8-bit IQ at 2 MS/s, the station 50 kHz above centre.
//
//   vormodel -r radial -n dBHz -t seconds -S seed [-I] > file.cu8
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kFs = 2e6;
constexpr double kCarrier = 6.0;  // byte steps: -26.5 dBFS; the noise at 44 dB-Hz clips 0.1 % of the bytes

// Random keying of the 1020 Hz tone: elements of 1 or 3 units on, gaps of
// 1 or 3 units off, at 5 to 10 words per minute, from a random start.
std::vector<bool> keying(std::mt19937_64 &rng, double seconds) {
    std::uniform_real_distribution<double> u(0, 1);
    const double unit = 1.2 / (5 + 5 * u(rng));
    const size_t n = static_cast<size_t>(seconds * 1000);  // a key state per ms
    std::vector<bool> on(n, false);
    double t = u(rng) * 3;
    while (t * 1000 < static_cast<double>(n)) {
        const double len = (u(rng) < 0.5 ? 1 : 3) * unit;
        for (size_t k = static_cast<size_t>(t * 1000); k < std::min(n, static_cast<size_t>((t + len) * 1000)); ++k)
            on[k] = true;
        t += len + (u(rng) < 0.7 ? 1 : 3) * unit + (u(rng) < 0.1 ? 5 * unit : 0);
    }
    return on;
}

}  // namespace

int main(int argc, char **argv) {
    double radial = 0, cn0 = 60, seconds = 10;
    unsigned long seed = 1;
    bool ident = false;
    for (int c; (c = getopt(argc, argv, "r:n:t:S:I")) != -1;) {
        switch (c) {
        case 'r': radial = std::atof(optarg); break;
        case 'n': cn0 = std::atof(optarg); break;
        case 't': seconds = std::atof(optarg); break;
        case 'S': seed = std::strtoul(optarg, nullptr, 10); break;
        case 'I': ident = true; break;
        default: std::fputs("usage: vormodel -r radial -n dBHz -t seconds -S seed [-I]\n", stderr); return 2;
        }
    }
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    const double ph30 = 2 * kPi * u(rng), phSub = 2 * kPi * u(rng), phId = 2 * kPi * u(rng);
    const double phCar = 2 * kPi * u(rng), offset = 4000 * u(rng) - 2000;
    const std::vector<bool> key = ident ? keying(rng, seconds) : std::vector<bool>();
    // Per component, N0 fs / 2 against the carrier's power kCarrier^2.
    const double sigma = kCarrier * std::sqrt(kFs / (2 * std::pow(10.0, cn0 / 10)));
    const double cr = std::cos(radial * kPi / 180), sr = std::sin(radial * kPi / 180);
    const long total = std::lround(seconds * kFs);
    std::vector<unsigned char> buf(1 << 16);
    size_t fill = 0;
    for (long n = 0; n < total; ++n) {
        const double t = static_cast<double>(n) / kFs;
        double s30, c30, sc, cc, sn, cn;
        sincos(2 * kPi * 30 * t + ph30, &s30, &c30);
        // The variable tone lags the reference by the radial.
        double env = 1 + 0.3 * (c30 * cr + s30 * sr) + 0.3 * std::cos(2 * kPi * 9960 * t + phSub + 16 * s30);
        if (ident && key[std::min(key.size() - 1, static_cast<size_t>(t * 1000))])
            env += 0.1 * std::cos(2 * kPi * 1020 * t + phId);
        sincos(2 * kPi * (50000 + offset) * t + phCar, &sc, &cc);
        // Box-Muller: two independent normals from two uniforms in (0, 1].
        const double m = std::sqrt(-2 * std::log(1 - u(rng)));
        sincos(2 * kPi * u(rng), &sn, &cn);
        const double i = kCarrier * env * cc + sigma * m * cn;
        const double q = kCarrier * env * sc + sigma * m * sn;
        buf[fill++] = static_cast<unsigned char>(std::min(255.0, std::max(0.0, std::floor(i + 128))));
        buf[fill++] = static_cast<unsigned char>(std::min(255.0, std::max(0.0, std::floor(q + 128))));
        if (fill == buf.size()) {
            if (std::fwrite(buf.data(), 1, fill, stdout) != fill) return 1;
            fill = 0;
        }
    }
    if (fill && std::fwrite(buf.data(), 1, fill, stdout) != fill) return 1;
    return 0;
}
