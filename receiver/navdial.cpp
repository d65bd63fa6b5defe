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
#include <ctime>

#include <string>
#include <vector>

#include "chain.h"
#include "cmdline.h"
#include "dongle.h"
#include "http.h"
#include "input.h"
#include "mqtt.h"
#include "multi.h"
#include "monitor.h"
#include "nmea.h"
#include "output.h"
#include "position.h"
#include "rtl.h"
#include "settings.h"
#include "stations.h"
#include "web.h"

namespace {

// Streams 8-bit IQ in the dongle's layout from a file or standard input to
// the detector or its sink. Does not return.
[[noreturn]] void runLayoutFile(const recording &rec, span &sp) {
    std::string err;
    if (runLayoutRecording(rec, err) < 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(-1);
    }
    spanFinish(sp);
    std::exit(0);
}

[[noreturn]] void outOfMemory() {
    std::fprintf(stderr, "navdial: out of memory for the stations' receivers\n");
    std::exit(-1);
}

[[noreturn]] void dongleEnded(span &sp) {
    if (stopRequested()) {
        spanFinish(sp);
        std::exit(0);
    }
    if (streamStalled()) {
        reportStall();
    } else {
        std::fprintf(stderr,
                     "navdial: the sample stream from the dongle ended. Check the cable and the "
                     "power supply, and that no other program is using the dongle.\n");
    }
    std::exit(-1);
}

// What a run needs, whichever the source: the stations (the first the bare
// argument's), the tuner's or the recording's centre, and the span that
// decodes them.
struct runPlan {
    std::vector<int32_t> freqs;
    bool several = false;            // lines and notices name their station; the fix
    const recording *rec = nullptr;  // null: the dongle
    int32_t centre = 0;              // the tuner's (0: the stations in turn) or the recording's, Hz
    std::vector<double> offsets;     // a recording's stations above its centre, Hz
    span *sp = nullptr;
};

// The stream of a dongle or of a file in its layout reaches the stations:
// one station 50 kHz above the tuner through the front end's own detector,
// several through the span's mixing.
void connect(runPlan &p) {
    if (p.several)
        setRtlSink(spanBuffer, p.sp);
    else
        setRtlChain(p.sp->stations[0]->c);
}

void runDongle(runPlan &p) {
    connect(p);
    if (initRtl(devid, p.centre + kDongleOffset) != 0) std::exit(-1);
    runRtlSample();
    dongleEnded(*p.sp);
}

void runInTurn(runPlan &p) {
    connect(p);
    if (initRtl(devid, p.freqs[0]) != 0) std::exit(-1);
    if (spanCycle(*p.sp) < 0) {
        std::fprintf(stderr, "navdial: the dongle could not be tuned to the next station; try again, or replug it\n");
        std::exit(-1);
    }
    dongleEnded(*p.sp);
}

void runLayout(runPlan &p) {
    connect(p);
    runLayoutFile(*p.rec, *p.sp);
}

void runIq(runPlan &p) {
    // One station's clipping count comes through the front end's bytes.
    if (!p.several) setRtlChain(p.sp->stations[0]->c);
    std::string err;
    if (runRecordingStations(*p.rec, p.offsets, spanBlock, p.sp, err) < 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(-1);
    }
    spanFinish(*p.sp);
    std::exit(0);
}

void runAudio(runPlan &p) {
    setRtlChain(p.sp->stations[0]->c);
    std::string err;
    if (runAudioRecording(*p.rec, err) < 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(-1);
    }
    spanFinish(*p.sp);
    std::exit(0);
}

// The sources of samples. Each runs the plan's span until its stream ends
// and ends the process with navdial's status; it does not return.
struct sampleSource {
    const char *name;
    void (*run)(runPlan &p);
};
enum sourceIndex { kDongle, kInTurn, kLayoutFile, kIqRecording, kAmAudio };
const sampleSource kSources[] = {
    {"the dongle", runDongle},
    {"the dongle, one station in turn", runInTurn},
    {"8-bit IQ in the dongle's layout", runLayout},
    {"an IQ recording through a down-converter per station", runIq},
    {"AM audio", runAudio},
};

// Which source runs the plan, and the plan's centre and offsets; said and
// ended (status 1 or 255) where the stations do not fit it.
sourceIndex choose(runPlan &p, const char *input) {
    const std::vector<int32_t> &freqs = p.freqs;
    for (size_t k = 0; k < freqs.size(); ++k)
        for (size_t j = 0; j < k; ++j)
            if (freqs[j] == freqs[k]) {
                std::fprintf(stderr, "navdial: %s MHz is given twice\n", megahertz(freqs[k]).c_str());
                std::exit(1);
            }
    if (!input) {
        if (!p.several) {
            p.centre = freqs[0] - kDongleOffset;
            return kDongle;
        }
        p.centre = spanCentre(freqs);
        if (verbose && p.centre)
            std::fprintf(stderr, "navdial: %zu stations at once, the tuner at %s MHz\n", freqs.size(),
                         megahertz(p.centre).c_str());
        else if (verbose)
            std::fprintf(stderr, "navdial: %zu stations do not fit 2 MHz: one window on each in turn\n", freqs.size());
        return p.centre ? kDongle : kInTurn;
    }
    const recording &rec = *p.rec;
    if (!p.several) {
        p.centre = freqs[0] - kDongleOffset;
        p.offsets = {rec.offsetHz};
        if (rec.format == sampleFormat::audio) return kAmAudio;
        return rec.dongle ? kLayoutFile : kIqRecording;
    }
    if (rec.format == sampleFormat::audio) {
        std::fprintf(stderr, "navdial: %s: AM audio holds one station; several need IQ\n", rec.shown.c_str());
        std::exit(-1);
    }
    // The dongle's layout with the centre on the raster: the block sums,
    // as from the dongle itself. Otherwise a down-converter per station.
    p.centre = static_cast<int32_t>(std::lround(rec.centreHz));
    bool layout = rec.format == sampleFormat::cu8 && rec.rate == kDongleRate && onRaster(p.centre);
    const double half = rec.rate / 2 - 20000;
    for (int32_t f : freqs) {
        const int bin = (f - p.centre) / kChannelSpacing;
        layout = layout && bin != 0 && bin <= kSpanMaxBin && bin >= -kSpanMaxBin;
        p.offsets.push_back(f - rec.centreHz);
        if (std::fabs(p.offsets.back()) > half) {
            std::fprintf(stderr, "navdial: %s: %s MHz is outside the recording: %s MHz +- %.0f kHz\n",
                         rec.shown.c_str(), megahertz(f).c_str(), megahertz(p.centre).c_str(), half / 1000);
            std::exit(-1);
        }
    }
    return layout ? kLayoutFile : kIqRecording;
}

// --http and --json-dir: the web output beside the text, its server and
// its files, started before the stream (a port in use ends the run here).
void startWeb(const runOptions &opt, const runPlan &plan, const positionState *pos, outputList &outputs) {
    std::vector<station> db;  // one station's name, looked up quietly
    webConfig wc;
    wc.freqs = plan.freqs;
    wc.near = opt.near;
    wc.live = plan.rec == nullptr;
    wc.source = plan.rec ? plan.rec->shown : "dongle";
    if (opt.tiles) wc.tiles = opt.tiles;
    std::string err;
    if (pos)
        wc.db = &pos->db;
    else if (loadStations(defaultStationFile(), db, err))
        wc.db = &db;
    webState *w = webCreate(wc);
    outputAdd(outputs, webOutputOf(*w));
    if (opt.http) {
        std::string addr;
        int port = 0;
        if (!parseListen(opt.http, addr, port)) {
            std::fprintf(stderr, "navdial: --http needs [address:]port such as 8080 or 0.0.0.0:8080, not '%s'\n",
                         opt.http);
            std::exit(1);
        }
        if (!httpServe(*w, addr, port, defaultHtmlDir(), err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            std::exit(1);
        }
    }
    if (opt.jsonDir && !webWriteFiles(*w, opt.jsonDir, err)) {
        std::fprintf(stderr, "navdial: --json-dir: %s\n", err.c_str());
        std::exit(1);
    }
}

// --nmea: the fix for gpsd and navigation apps. A recording's sentences
// take its start from its name or metadata, else the time of the run.
void startNmea(const runOptions &opt, const runPlan &plan, outputList &outputs) {
    std::string addr, err;
    int port = 0;
    if (!parseListen(opt.nmea, addr, port)) {
        std::fprintf(stderr, "navdial: --nmea needs [address:]port such as 10110 or 0.0.0.0:10110, not '%s'\n",
                     opt.nmea);
        std::exit(1);
    }
    const double start =
        plan.rec && std::isfinite(plan.rec->startUtc) ? plan.rec->startUtc : static_cast<double>(std::time(nullptr));
    nmeaServer *s = nmeaServe(addr, port, plan.rec == nullptr, start, err);
    if (!s) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(1);
    }
    outputAdd(outputs, nmeaOutputOf(*s));
}

// --mqtt: the password from the environment or a file, never from the
// command line, where ps would show it.
void startMqtt(const runOptions &opt, outputList &outputs) {
    mqttTarget t;
    if (!parseMqttUrl(opt.mqtt, t)) {
        std::fprintf(stderr,
                     "navdial: --mqtt needs a URL such as mqtt://host:1883/navdial or mqtts://user@host, not '%s'\n",
                     opt.mqtt);
        std::exit(1);
    }
    std::string password;
    if (const char *p = std::getenv("NAVDIAL_MQTT_PASSWORD")) {
        password = p;
    } else if (opt.mqttPasswordFile) {
        FILE *f = std::fopen(opt.mqttPasswordFile, "r");
        char line[512] = "";
        if (!f || !std::fgets(line, sizeof line, f)) {
            std::fprintf(stderr, "navdial: --mqtt-password-file %s: %s\n", opt.mqttPasswordFile,
                         f ? "empty" : std::strerror(errno));
            std::exit(1);
        }
        std::fclose(f);
        password = line;
        while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) password.pop_back();
    }
    std::string err;
    mqttLink *l = mqttStart(t, password, opt.mqttCa ? opt.mqttCa : "", err);
    if (!l) {
        std::fprintf(stderr, "%s\n", err.c_str());
        std::exit(1);
    }
    outputAdd(outputs, mqttOutputOf(*l));
}

// --monitor and --at: what the stations' monitors share; the checkpoint
// needs the station file.
void startMonitor(const runOptions &opt, const runPlan &plan, bool live, monitorRun &m, outConfig &out) {
    m.monitor = opt.monitor;
    m.live = live;
    m.givenPpm = ppm;
    m.stations = static_cast<int>(plan.freqs.size());
    if (opt.at.known) {
        std::string err;
        if (!loadStations(opt.stationFile ? opt.stationFile : defaultStationFile(), m.db, err)) {
            std::fprintf(stderr, "%s\nnavdial: --at needs the station file: give one with -D\n", err.c_str());
            std::exit(1);
        }
        m.at = true;
        m.where = opt.at;
    }
    out.monitor = &m;
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
        rec.throttle = opt.throttle;
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
    runPlan plan;
    plan.several = several;
    plan.rec = input ? &rec : nullptr;
    static positionState pos;
    positionState *fix = nullptr;
    if (several) {
        out.tagged = true;  // lines and notices name their station
        plan.freqs = {firstHz};
        plan.freqs.insert(plan.freqs.end(), opt.others.begin(), opt.others.end());
        std::string err;
        if (!loadStations(opt.stationFile ? opt.stationFile : defaultStationFile(), pos.db, err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            if (opt.stationFile) std::exit(1);
            std::fprintf(stderr, "navdial: no position fix without a station file: give one with -D\n");
        } else {
            pos.near = opt.near.known ? opt.near : opt.at;
            pos.outputs = &outputs;
            fix = &pos;
        }
    } else {
        plan.freqs = {freq};
    }
    static monitorRun station;
    if (opt.monitor || opt.at.known) startMonitor(opt, plan, input == nullptr, station, out);
    const sourceIndex source = choose(plan, input);
    if (opt.http || opt.jsonDir) startWeb(opt, plan, fix, outputs);
    if (opt.nmea) startNmea(opt, plan, outputs);
    if (opt.mqtt) startMqtt(opt, outputs);
    // The dongle's layout read by the block sums: their front end, 8-bit.
    if (several && source == kLayoutFile) {
        out.flatFront = false;
        out.noiseShape = 0;
        out.eightBit = true;
    }
    plan.sp = spanCreate(plan.freqs, plan.centre, source == kInTurn, out, &outputs, fix);
    if (!plan.sp) outOfMemory();
    kSources[source].run(plan);
    return 0;  // not reached: each source ends the process
}
