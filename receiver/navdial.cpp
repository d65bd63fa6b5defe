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
#include "cmdline.h"
#include "dongle.h"
#include "input.h"
#include "multi.h"
#include "output.h"
#include "position.h"
#include "rtl.h"
#include "settings.h"
#include "stations.h"

namespace {

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
        std::fprintf(stderr, "navdial: cannot read %s: %s\n", useStdin ? "standard input" : path, std::strerror(-r));
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
        bool layout = rec.format == sampleFormat::cu8 && rec.rate == kDongleRate && onRaster(centre);
        std::vector<double> offsets;
        const double half = rec.rate / 2 - 20000;
        for (int32_t f : freqs) {
            const int bin = (f - centre) / kChannelSpacing;
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
            span *sp = spanCreate(freqs, centre, false, o, &outputs, pos);
            if (!sp) outOfMemory();
            setRtlSink(spanBuffer, sp);
            runLayoutFile(rec);
        }
        span *sp = spanCreate(freqs, centre, false, out, &outputs, pos);
        if (!sp) outOfMemory();
        std::string err;
        if (runRecordingStations(rec, offsets, spanBlock, sp, err) < 0) {
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
    span *sp = spanCreate(freqs, centre, centre == 0, out, &outputs, pos);
    if (!sp) outOfMemory();
    setRtlSink(spanBuffer, sp);
    if (initRtl(devid, centre ? centre + kDongleOffset : freqs[0]) != 0) std::exit(-1);
    if (centre) {
        runRtlSample();
    } else if (spanCycle(*sp) < 0) {
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
    runOptions opt;
    parseCommandLine(argc, argv, opt);
    outConfig out;
    out.format = opt.format;
    out.weak = opt.weak;
    const char *input = opt.input;

    struct sigaction sa {};
    sa.sa_handler = sighandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);

    const bool several = opt.several;
    const int32_t firstHz = opt.firstHz;

    recording rec;
    if (input) {
        std::string err;
        if (!openRecording(input, opt.rateHz, opt.centreHz, several ? firstHz : freq, rec, err)) {
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
        out.tagged = true;  // lines and notices name their station
        std::vector<int32_t> freqs{firstHz};
        freqs.insert(freqs.end(), opt.others.begin(), opt.others.end());
        static positionState pos;
        positionState *p = nullptr;
        std::string err;
        if (!loadStations(opt.stationFile ? opt.stationFile : defaultStationFile(), pos.db, err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            if (opt.stationFile) std::exit(1);
            std::fprintf(stderr, "navdial: no position fix without a station file: give one with -D\n");
        } else {
            pos.near = opt.near;
            pos.outputs = &outputs;
            p = &pos;
        }
        runStations(freqs, input, rec, out, outputs, p);
    }
    // One station: a span of one, the tuner 50 kHz below it; its chain
    // behind the front end's own detector (whose table is this station's),
    // or behind a recording's down-converter or audio.
    span *one = spanCreate({freq}, freq - kDongleOffset, false, out, &outputs, nullptr);
    if (!one) outOfMemory();
    setRtlChain(one->stations[0]->c);

    if (input && !rec.dongle) {
        std::string err;
        const int r = runRecording(rec, err);
        if (r < 0) {
            std::fprintf(stderr, "%s\n", err.c_str());
            std::exit(-1);
        }
        std::exit(0);
    }
    if (input) runLayoutFile(rec);  // the dongle's own layout

    if (initRtl(devid, freq) != 0) std::exit(-1);
    runRtlSample();
    dongleEnded();
}
