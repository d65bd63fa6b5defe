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

#include <string>
#include <vector>

#include "chain.h"
#include "input.h"
#include "multi.h"
#include "output.h"
#include "position.h"
#include "rtl.h"
#include "settings.h"
#include "stations.h"

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
        " -i [format:]file :\t\tread a recording instead of a dongle: IQ (cu8, cs8, cs16, cf32,\n"
        "\t\t\t\twav, sigmf) or AM audio (am); '-': 8-bit IQ on standard input\n"
        " -s rate :\t\t\tthe recording's sample rate (2048000, 1.8M)\n"
        " -c MHz :\t\t\tthe frequency the recording was tuned to\n"
        " -F format :\t\t\toutput format: plain (default) or json\n"
        " -w :\t\t\t\tweak-signal estimator: bearings from stations 5 dB weaker\n"
        " -a MHz :\t\t\tanother station, decoded at the same time (repeat for more);\n"
        "\t\t\t\twith two or more, a position fix\n"
        " -P lat,lon :\t\t\trough position: rules out far stations on a frequency\n"
        " -D file :\t\t\tstation file (default: the one installed with navdial)\n";
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

// The frequencies of several stations: MHz rounded to the hertz, in the
// band and on the channel raster; false, said on standard error, otherwise.
bool stationFrequency(const char *text, int32_t &hz) {
    char *end = nullptr;
    const double mhz = std::strtod(text, &end);
    const double h = std::round(mhz * 1e6);
    if (end == text || *end != '\0' || !(h >= kBandLow && h <= kBandLow + double{kBandWidth})) {
        std::fprintf(stderr, "navdial: '%s' is not a VOR frequency (108 to 118 MHz)\n", text);
        return false;
    }
    hz = static_cast<int32_t>(h);
    if (!onRaster(hz)) {
        std::fprintf(stderr, "navdial: %s MHz is not on the 50 kHz channel raster of VOR stations\n", text);
        return false;
    }
    return true;
}

// "47.4,8.5": degrees north and east.
bool parsePlace(const char *text, place &p) {
    char *end = nullptr;
    p.lat = std::strtod(text, &end);
    if (end == text || *end != ',') return false;
    const char *rest = end + 1;
    p.lon = std::strtod(rest, &end);
    if (end == rest || *end != '\0' || !(std::fabs(p.lat) <= 90) || !(std::fabs(p.lon) <= 180)) return false;
    p.known = true;
    return true;
}

// Streams 8-bit IQ in the dongle's layout from a file or standard input to
// the detector or its sink. Does not return.
[[noreturn]] void runLayoutFile(const recording &rec) {
    // After a prefix, the name is the rest.
    const char *path = rec.data.c_str();
    const bool useStdin = std::strcmp(path, "-") == 0;
    const int fd = useStdin ? STDIN_FILENO : open(path, O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "navdial: cannot open %s: %s\n", path, std::strerror(errno));
        std::exit(-1);
    }
    const int r = runFileSample(fd);
    if (r < 0) {
        std::fprintf(stderr, "navdial: cannot read %s: %s\n", useStdin ? "standard input" : path,
                     std::strerror(-r));
        std::exit(-1);
    }
    std::exit(0);
}

[[noreturn]] void outOfMemory() {
    std::fprintf(stderr, "navdial: out of memory for the stations' receivers\n");
    std::exit(-1);
}

[[noreturn]] void dongleEnded() {
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

// Several stations: each in the recording or the dongle's span at once,
// else (the dongle only) in turn. Does not return.
[[noreturn]] void runStations(const std::vector<int32_t> &freqs, const char *input, const recording &rec,
                              const outConfig &out, const outputList &outputs, positionState *pos) {
    for (size_t k = 0; k < freqs.size(); ++k)
        for (size_t j = 0; j < k; ++j)
            if (freqs[j] == freqs[k]) {
                std::fprintf(stderr, "navdial: %s MHz is given twice\n", megahertz(freqs[k]).c_str());
                std::exit(1);
            }
    if (input) {
        if (rec.format == sampleFormat::audio) {
            std::fprintf(stderr, "navdial: %s: AM audio holds one station; several need IQ\n", rec.shown.c_str());
            std::exit(-1);
        }
        // The dongle's layout with the centre on the raster: the block sums,
        // as from the dongle itself. Otherwise a down-converter per station.
        const int32_t centre = static_cast<int32_t>(std::lround(rec.centreHz));
        bool layout = rec.format == sampleFormat::cu8 && rec.rate == 2000000.0 && onRaster(centre);
        std::vector<double> offsets;
        const double half = rec.rate / 2 - 20000;
        for (int32_t f : freqs) {
            const int bin = (f - centre) / 50000;
            layout = layout && bin != 0 && bin <= kSpanMaxBin && bin >= -kSpanMaxBin;
            offsets.push_back(f - rec.centreHz);
            if (std::fabs(offsets.back()) > half) {
                std::fprintf(stderr, "navdial: %s: %s MHz is outside the recording: %s MHz +- %.0f kHz\n",
                             rec.shown.c_str(), megahertz(f).c_str(), megahertz(centre).c_str(), half / 1000);
                std::exit(-1);
            }
        }
        if (layout) {
            outConfig o = out;  // the block sum's front end, 8-bit
            o.flatFront = false;
            o.noiseShape = 0;
            o.eightBit = true;
            if (!spanStart(freqs, centre, false, o, &outputs, pos)) outOfMemory();
            runLayoutFile(rec);
        }
        if (!spanStart(freqs, centre, false, out, &outputs, pos)) outOfMemory();
        std::string err;
        if (runRecordingStations(rec, offsets, spanBlock, err) < 0) {
            std::fprintf(stderr, "%s\n", err.c_str());
            std::exit(-1);
        }
        std::exit(0);
    }
    const int32_t centre = spanCentre(freqs);
    if (verbose && centre)
        std::fprintf(stderr, "navdial: %zu stations at once, the tuner at %s MHz\n", freqs.size(),
                     megahertz(centre).c_str());
    else if (verbose)
        std::fprintf(stderr, "navdial: %zu stations do not fit 2 MHz: one window on each in turn\n", freqs.size());
    if (!spanStart(freqs, centre, centre == 0, out, &outputs, pos)) outOfMemory();
    if (initRtl(devid, centre ? centre + 50000 : freqs[0]) != 0) std::exit(-1);
    if (centre) {
        runRtlSample();
    } else if (spanCycle() < 0) {
        std::fprintf(stderr, "navdial: the dongle could not be tuned to the next station; try again, or replug it\n");
        std::exit(-1);
    }
    dongleEnded();
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
    double rateHz = 0, centreHz = 0;
    outConfig out;
    std::vector<int32_t> others;  // -a
    const char *stationFile = nullptr;
    place near;
    int c;
    while ((c = getopt(argc, argv, "vwg:l:p:r:hi:F:s:c:a:D:P:")) != -1) {
        switch (c & 0xff) {
        case 'a': {
            int32_t hz = 0;
            if (!stationFrequency(optarg, hz)) std::exit(1);
            others.push_back(hz);
            break;
        }
        case 'D': stationFile = optarg; break;
        case 'P':
            if (!parsePlace(optarg, near)) {
                std::fprintf(stderr, "navdial: -P needs a position in degrees as lat,lon such as 47.45,8.55, not '%s'\n",
                             optarg);
                std::exit(1);
            }
            break;
        case 'v': verbose = 1; break;
        case 'w': out.weak = true; break;
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
        case 's':
            if (!parseRate(optarg, rateHz)) {
                std::fprintf(stderr, "navdial: -s needs a sample rate such as 2048000 or 1.8M, not '%s'\n", optarg);
                std::exit(1);
            }
            break;
        case 'c':
            if (!parseFrequency(optarg, centreHz)) {
                std::fprintf(stderr, "navdial: -c needs a frequency in MHz such as 113.0, not '%s'\n", optarg);
                std::exit(1);
            }
            break;
        default: usage(); std::exit(1);
        }
    }
    if ((rateHz > 0 || centreHz > 0) && !input) {
        std::fprintf(stderr, "navdial: -s and -c describe a recording: use them with -i\n");
        std::exit(1);
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

    // Several stations, or what only they use: the frequencies to the hertz.
    const bool several = !others.empty() || stationFile || near.known;
    int32_t firstHz = 0;
    if (several && !stationFrequency(argv[optind], firstHz)) std::exit(1);

    recording rec;
    if (input) {
        std::string err;
        if (!openRecording(input, rateHz, centreHz, several ? firstHz : freq, rec, err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            std::exit(-1);
        }
        if (!rec.notice.empty()) std::fprintf(stderr, "%s\n", rec.notice.c_str());
        if (!rec.dongle) {
            out.flatFront = true;
            out.noiseShape = noiseShape(rec);
            out.eightBit = rec.eightBit;
        }
        if (verbose && rec.format == sampleFormat::audio)
            std::fprintf(stderr, "navdial: %s: AM audio at %.0f Hz\n", rec.shown.c_str(), rec.rate);
        else if (verbose && !rec.dongle)
            std::fprintf(stderr, "navdial: %s: %s IQ at %.0f S/s, the station %+.0f Hz from the centre\n",
                         rec.shown.c_str(), formatName(rec.format), rec.rate, rec.offsetHz);
    }
    // What is reported goes to standard output and standard error.
    textOutput text;
    text.format = out.format;
    outputList outputs;
    outputAdd(outputs, textOutputOf(text));

    out.verbose = verbose != 0;
    out.live = input == nullptr;
    out.freqHz = freq;
    if (several) {
        std::vector<int32_t> freqs{firstHz};
        freqs.insert(freqs.end(), others.begin(), others.end());
        static positionState pos;
        positionState *p = nullptr;
        std::string err;
        if (!loadStations(stationFile ? stationFile : defaultStationFile(), pos.db, err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            if (stationFile) std::exit(1);
            std::fprintf(stderr, "navdial: no position fix without a station file: give one with -D\n");
        } else {
            pos.near = near;
            pos.outputs = &outputs;
            p = &pos;
        }
        runStations(freqs, input, rec, out, outputs, p);
    }
    // One station: its chain behind the detector, or behind a recording's
    // down-converter or audio.
    chainOptions opt;
    opt.weak = out.weak;
    chain *station = chainCreate(opt, out, &outputs);
    if (!station) outOfMemory();
    const blockSink feed = chainSink(*station);
    setRtlOutput(&feed);

    if (input && !rec.dongle) {
        std::string err;
        const int r = runRecording(rec, err);
        if (r < 0) {
            std::fprintf(stderr, "%s\n", err.c_str());
            std::exit(-1);
        }
        std::exit(0);
    }
    if (input) {
        // The dongle's own layout: the 40-pair detector reads it.
        initOsc();
        runLayoutFile(rec);
    }

    if (initRtl(devid, freq) != 0) std::exit(-1);
    runRtlSample();
    dongleEnded();
}
