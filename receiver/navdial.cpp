// navdial: a VOR receiver for RTL2832U dongles. Prints the radial of the
// station, in degrees, once per measurement interval.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output.h"
#include "rtl.h"
#include "settings.h"

namespace {

constexpr int32_t kBandLow = 108000000;   // VOR band, Hz
constexpr uint32_t kBandWidth = 10000000; // up to 118 MHz

void usage() {
    static const char text[] =
        "navdial, a VOR receiver for RTL2832U dongles\n\n"
        "Usage: navdial [-g gain] [-l interval ] [-p ppm] [-r device] frequency in MHz\n\n"
        " -g gain :\t\t\tgain in tenth of db (ie : 500 = 50 db)\n"
        " -p ppm :\t\t\tppm freq shift\n"
        " -r n :\t\t\trtl device number\n"
        " -l interval :\t\t\ttime between two measurements\n"
        " -i file :\t\t\tread 8-bit IQ from file ('-': standard input) instead of a dongle\n"
        " -F format :\t\t\toutput format: plain (default) or json\n";
    std::fwrite(text, 1, sizeof text - 1, stderr);
}

// strtol with base 10 and no check; the result saturates to 32 bits.
int32_t toInt(const char *text) {
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// MHz to Hz, truncated toward zero; saturates, and NaN becomes 0.
int32_t toHertz(const char *text) {
    const double hz = std::strtod(text, nullptr) * 1000000.0;
    if (std::isnan(hz)) return 0;
    if (hz >= 2147483648.0) return INT32_MAX;
    if (hz <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(hz);
}

void sighandler(int) {
    // A second signal, or one before any sample was read (nothing printed
    // yet), ends the process at once; otherwise the stream stops and main
    // leaves through exit(), which flushes standard output.
    if (stopRequested() || !requestStop()) _exit(0);
}

}  // namespace

int main(int argc, char **argv) {
    const char *input = nullptr;
    outConfig out;
    int c;
    while ((c = getopt(argc, argv, "vg:l:p:r:hi:F:")) != -1) {
        switch (c & 0xff) {
        case 'v': verbose = 1; break;
        case 'g': gain = toInt(optarg); break;
        case 'l': interval = toInt(optarg); break;
        case 'p': ppm = toInt(optarg); break;
        case 'r': devid = toInt(optarg); break;
        case 'i': input = optarg; break;
        case 'F':
            if (!parseFormat(optarg, out.format)) {
                std::fprintf(stderr, "navdial: unknown output format '%s': the formats are plain and json\n", optarg);
                usage();
                std::exit(1);
            }
            break;
        default: usage(); std::exit(1);
        }
    }
    if (optind >= argc) {
        std::fprintf(stderr, "need frequency\n");
        std::exit(-2);
    }
    freq = toHertz(argv[optind]);
    if (static_cast<uint32_t>(freq) - static_cast<uint32_t>(kBandLow) > kBandWidth) {
        std::fprintf(stderr, "invalid frequency\n");
        std::exit(-2);
    }

    struct sigaction sa {};
    sa.sa_handler = sighandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);

    out.verbose = verbose != 0;
    out.live = input == nullptr;
    out.freqHz = freq;
    outputStart(out);

    if (input) {
        const bool useStdin = std::strcmp(input, "-") == 0;
        const int fd = useStdin ? STDIN_FILENO : open(input, O_RDONLY);
        if (fd < 0) {
            std::fprintf(stderr, "navdial: cannot open %s: %s\n", input, std::strerror(errno));
            std::exit(-1);
        }
        initOsc();
        const int r = runFileSample(fd);
        if (r < 0) {
            std::fprintf(stderr, "navdial: cannot read %s: %s\n", useStdin ? "standard input" : input,
                         std::strerror(-r));
            std::exit(-1);
        }
        std::exit(0);
    }

    if (initRtl(devid, freq) != 0) std::exit(-1);
    runRtlSample();
    if (stopRequested()) std::exit(0);
    if (streamStalled()) {
        reportStall();
    } else {
        std::fprintf(stderr,
                     "navdial: the sample stream from the dongle ended. Check the cable and the "
                     "power supply, and that no other program is using the dongle.\n");
    }
    std::exit(-1);
}
