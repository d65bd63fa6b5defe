// vorgen: writes a VOR test signal as 8-bit IQ at 2 MS/s, the carrier 50 kHz
// above the tuner centre, exactly as a dongle tuned to station - 50 kHz would
// deliver it. Feed it to `navdial -i`.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "siggen.h"

namespace {

void usage() {
    std::fputs(
        "vorgen, a VOR test-signal generator: 8-bit IQ, 2 MS/s, carrier at +50 kHz\n\n"
        "Usage: vorgen [options]\n"
        " -r deg     radial, degrees (0)\n"
        " -t sec     duration, seconds (5)\n"
        " -a depth   30 Hz variable-tone AM depth (0.3)\n"
        " -s depth   9960 Hz subcarrier AM depth (0.3)\n"
        " -m index   FM index of the subcarrier, deviation / 30 Hz (16: +-480 Hz)\n"
        " -c hz      carrier frequency error, Hz (0)\n"
        " -n dBHz    carrier to noise density C/N0, dB-Hz (no noise)\n"
        " -S seed    random start phases and noise from this seed (0: phases 0)\n"
        " -I         add the 1020 Hz ident tone, keyed on and off (0.3 s on, 0.2 s off)\n"
        " -M letters key this identifier in Morse on the ident tone instead\n"
        " -W wpm     its speed, words per minute (7)\n"
        " -P sec     seconds from one repetition to the next (10)\n"
        " -T sec     seconds to the first repetition (1)\n"
        " -K hz      the ident tone's frequency (1020)\n"
        " -G         the ident tone on all the time, not keyed\n"
        " -V depth   add speech-like noise (300-3000 Hz, in bursts) as AM of this rms depth\n"
        " -L         an ILS localizer instead of a VOR: 90 and 150 Hz AM at 20 %, no subcarrier\n"
        " -N         no carrier: only the noise set by -n\n"
        " -w file    take the modulation from a 16-bit PCM WAV recording of a\n"
        "            station's AM audio instead of the synthetic tones\n"
        " -o file    output file ('-' or none: standard output)\n",
        stderr);
}

// A number within [lo, hi], or a message and status 1.
double number(const char *opt, const char *text, double lo = -1e9, double hi = 1e9) {
    char *end;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !(v >= lo && v <= hi)) {
        std::fprintf(stderr, "vorgen: %s needs a number from %.15g to %.15g, not '%s'\n", opt, lo, hi, text);
        std::exit(1);
    }
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    SigParams p;
    const char *outPath = "-";
    const char *wav = nullptr;
    int c;
    while ((c = getopt(argc, argv, "r:t:a:s:m:c:n:S:IM:W:P:T:K:GV:LNw:o:h")) != -1) {
        switch (c) {
        case 'r': p.radial = number("-r", optarg); break;
        case 't': p.seconds = number("-t", optarg, 0, 1e6); break;
        case 'a': p.varDepth = number("-a", optarg); break;
        case 's': p.subDepth = number("-s", optarg); break;
        case 'm': p.fmIndex = number("-m", optarg); break;
        case 'c': p.offsetHz = number("-c", optarg); break;
        case 'n': p.cn0 = number("-n", optarg, 0, 200); break;
        case 'S': p.seed = static_cast<uint64_t>(number("-S", optarg, 0, 4294967295.0)); break;
        case 'I': p.ident = true; break;
        case 'M': p.morse = optarg; break;
        case 'W': p.wpm = number("-W", optarg, 1, 60); break;
        case 'P': p.identPeriod = number("-P", optarg, 0, 1e6); break;
        case 'T': p.identStart = number("-T", optarg, 0, 1e6); break;
        case 'K': p.identHz = number("-K", optarg, 0, 20000); break;
        case 'G': p.identSteady = true; break;
        case 'V': p.voiceDepth = number("-V", optarg, 0, 1); break;
        case 'L': p.ils = true; break;
        case 'N': p.carrier = false; break;
        case 'w': wav = optarg; break;
        case 'o': outPath = optarg; break;
        default: usage(); return 1;
        }
    }
    if (wav) {
        std::string err;
        p.audio = loadAudio(wav, err);
        if (p.audio.empty()) {
            std::fprintf(stderr, "vorgen: %s\n", err.c_str());
            return 1;
        }
    }
    FILE *out = stdout;
    if (std::strcmp(outPath, "-") != 0 && !(out = std::fopen(outPath, "wb"))) {
        std::fprintf(stderr, "vorgen: cannot write %s: %s\n", outPath, std::strerror(errno));
        return 1;
    }
    SigGen g;
    sigInit(g, p);
    std::vector<uint8_t> buf(2 * 40960);
    size_t n;
    while ((n = sigNext(g, buf.data(), buf.size() / 2)) > 0) {
        if (std::fwrite(buf.data(), 2, n, out) != n) {
            // A reader that went away (navdial stopped) is not an error worth a message.
            if (errno != EPIPE) std::fprintf(stderr, "vorgen: write failed: %s\n", std::strerror(errno));
            return 1;
        }
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "vorgen: write failed: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
