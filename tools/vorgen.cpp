// vorgen: writes a VOR test signal as 8-bit IQ at 2 MS/s, the carrier 50 kHz
// above the tuner centre, exactly as a dongle tuned to station - 50 kHz would
// deliver it. Feed it to `navdial -i`. It also writes what other programs
// record: IQ at other rates and centres as cs8, cs16, cf32, WAV or SigMF,
// and AM audio as a mono WAV.
#include <sndfile.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <fstream>
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
        " -q hz      frequency of both 30 Hz tones (30; stations keep it within 1 %)\n"
        " -u hz      subcarrier frequency (9960; within 1 %)\n"
        " -d deg/s   the radial changes at this rate, as for a moving receiver (0)\n"
        " -n dBHz    carrier to noise density C/N0, dB-Hz (no noise)\n"
        " -S seed    random start phases and noise from this seed (0: phases 0)\n"
        " -I         add the 1020 Hz ident tone, keyed on and off (0.3 s on, 0.2 s off)\n"
        " -M letters key this identifier in Morse on the ident tone instead\n"
        " -W wpm     its speed, words per minute (7)\n"
        " -P sec     seconds from one repetition to the next (10)\n"
        " -T sec     seconds to the first repetition (1); below 0 the signal starts inside one\n"
        " -K hz      the ident tone's frequency (1020)\n"
        " -G         the ident tone on all the time, not keyed\n"
        " -D depth   the ident tone's AM depth (0.1)\n"
        " -x ppm     as a dongle whose crystal is this far off hears it: the carrier\n"
        "            -ppm x the station's frequency (-f) away, every tone ppm lower\n"
        " -V depth   add speech-like noise (300-3000 Hz, in bursts) as AM of this rms depth\n"
        " -Y file    add this recorded speech (a WAV, 22.05 kHz or more) instead, repeated\n"
        "            with 0.5 s pauses, as AM of the rms depth -V (0.3)\n"
        " -L         an ILS localizer instead of a VOR: 90 and 150 Hz AM at 20 %, no subcarrier\n"
        " -N         no carrier: only the noise set by -n\n"
        " -w file    take the modulation from a 16-bit PCM WAV recording of a\n"
        "            station's AM audio instead of the synthetic tones\n"
        " -R rate    samples per second (2000000)\n"
        " -O hz      the station above the tuner centre, Hz (50000; 0 for am)\n"
        " -f MHz     the station's frequency, for a SigMF meta file and -A (113.0)\n"
        " -A MHz:radial[:dB[:ident]]  another station in the same stream, at its level\n"
        "            against the first (0 dB) and with its own Morse ident; repeatable\n"
        " -F format  cu8 (default), cs8, cs16, cf32; wav16, wavf (IQ WAV, 16-bit or float);\n"
        "            am (the AM audio an SDR program's AM mode records: mono 16-bit WAV).\n"
        "            Without -F, the extension of -o chooses; a .sigmf-data file gets its\n"
        "            .sigmf-meta beside it\n"
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

enum class outKind { cu8, cs8, cs16, cf32, wav16, wavf, am };

bool kindFromName(const std::string &s, outKind &k) {
    static const struct {
        const char *name;
        outKind kind;
    } kNames[] = {{"cu8", outKind::cu8},     {"cs8", outKind::cs8},   {"cs16", outKind::cs16}, {"cf32", outKind::cf32},
                  {"wav16", outKind::wav16}, {"wavf", outKind::wavf}, {"am", outKind::am}};
    for (const auto &n : kNames)
        if (s == n.name) {
            k = n.kind;
            return true;
        }
    return false;
}

bool endsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The SigMF meta file beside a .sigmf-data file.
bool writeMeta(const std::string &dataPath, outKind k, double rate, double centreHz) {
    const char *type = k == outKind::cs8    ? "ci8"
                       : k == outKind::cs16 ? "ci16_le"
                       : k == outKind::cf32 ? "cf32_le"
                                            : "cu8";
    nlohmann::json j;
    j["global"] = {{"core:datatype", type},
                   {"core:sample_rate", rate},
                   {"core:version", "1.0.0"},
                   {"core:description", "vorgen test signal"}};
    j["captures"] = nlohmann::json::array({{{"core:sample_start", 0}, {"core:frequency", centreHz}}});
    j["annotations"] = nlohmann::json::array();
    std::ofstream f(dataPath.substr(0, dataPath.size() - 11) + ".sigmf-meta");
    f << j.dump(2) << "\n";
    return static_cast<bool>(f);
}

int16_t toInt16(double x) { return static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, x)))); }

// A WAV file's audio at 50 kHz into `to`; false (and why, on standard
// error) where it cannot be read.
bool loaded(const char *path, std::vector<float> &to) {
    std::string err;
    to = loadAudio(path, err);
    // (The reader's messages are the receiver's own: named as vorgen's.)
    if (err.rfind("navdial: ", 0) == 0) err.erase(0, 9);
    if (to.empty()) std::fprintf(stderr, "vorgen: %s\n", err.c_str());
    return !to.empty();
}

}  // namespace

int main(int argc, char **argv) {
    SigParams p;
    const char *outPath = "-";
    const char *wav = nullptr;
    const char *said = nullptr;
    const char *kindText = nullptr;
    std::vector<std::string> more;
    double stationMhz = 113.0;
    bool offsetGiven = false;
    double crystalPpm = 0;
    int c;
    while ((c = getopt(argc, argv, "r:t:a:s:m:c:q:u:d:n:S:IM:W:P:T:K:GD:x:V:Y:LNw:o:hR:O:f:F:A:")) != -1) {
        switch (c) {
        case 'r': p.radial = number("-r", optarg); break;
        case 't': p.seconds = number("-t", optarg, 0, 1e6); break;
        case 'a': p.varDepth = number("-a", optarg); break;
        case 's': p.subDepth = number("-s", optarg); break;
        case 'm': p.fmIndex = number("-m", optarg); break;
        case 'c': p.offsetHz = number("-c", optarg); break;
        case 'q': p.toneHz = number("-q", optarg, 1, 1000); break;
        case 'u': p.subHz = number("-u", optarg, 1000, 20000); break;
        case 'd': p.radialRate = number("-d", optarg, -360, 360); break;
        case 'n': p.cn0 = number("-n", optarg, 0, 200); break;
        case 'S': p.seed = static_cast<uint64_t>(number("-S", optarg, 0, 4294967295.0)); break;
        case 'I': p.ident = true; break;
        case 'M': p.morse = optarg; break;
        case 'W': p.wpm = number("-W", optarg, 1, 60); break;
        case 'P': p.identPeriod = number("-P", optarg, 0, 1e6); break;
        case 'T': p.identStart = number("-T", optarg, -1e6, 1e6); break;
        case 'K': p.identHz = number("-K", optarg, 0, 20000); break;
        case 'G': p.identSteady = true; break;
        case 'D': p.identDepth = number("-D", optarg, 0, 1); break;
        case 'x': crystalPpm = number("-x", optarg, -1000, 1000); break;
        case 'V': p.voiceDepth = number("-V", optarg, 0, 1); break;
        case 'Y': said = optarg; break;
        case 'L': p.ils = true; break;
        case 'N': p.carrier = false; break;
        case 'w': wav = optarg; break;
        case 'o': outPath = optarg; break;
        case 'R': p.rate = static_cast<uint32_t>(number("-R", optarg, 8000, 20000000)); break;
        case 'O':
            p.carrierHz = number("-O", optarg, -1e7, 1e7);
            offsetGiven = true;
            break;
        case 'f': stationMhz = number("-f", optarg, 1, 1e5); break;
        case 'F': kindText = optarg; break;
        case 'A': more.push_back(optarg); break;
        default: usage(); return 1;
        }
    }
    // A crystal e off tunes the dongle e x (station - 50 kHz) off, and its
    // sample clock runs e fast: the carrier lands -e x the station's
    // frequency from where it should, and every tone reads e lower.
    const double xtal = crystalPpm * 1e-6;
    p.offsetHz -= xtal * stationMhz * 1e6;
    p.toneHz /= 1 + xtal;
    p.subHz /= 1 + xtal;
    p.identHz /= 1 + xtal;
    // The other stations: their carriers where their frequencies fall
    // against the first one's.
    for (const std::string &m : more) {
        double mhz, radial, db = 0;
        char ident[16] = "";
        const int got = std::sscanf(m.c_str(), "%lf:%lf:%lf:%15[A-Za-z0-9]", &mhz, &radial, &db, ident);
        if (got < 2) {
            std::fprintf(stderr, "vorgen: -A needs MHz:radial[:dB[:ident]], not '%s'\n", m.c_str());
            return 1;
        }
        SigParams o = p;
        o.others.clear();
        o.radial = radial;
        o.levelDb = db;
        o.morse = ident;
        o.identStart = p.identStart + 1.3 * static_cast<double>(p.others.size() + 1);
        o.seed = 0;
        o.carrierHz = p.carrierHz + (mhz - stationMhz) * 1e6;
        o.offsetHz -= xtal * (mhz - stationMhz) * 1e6;
        p.others.push_back(o);
    }
    if (wav && !loaded(wav, p.audio)) return 1;
    if (said) {
        if (!loaded(said, p.speech)) return 1;
        if (p.voiceDepth == 0) p.voiceDepth = 0.3;
    }
    const std::string path = outPath;
    outKind kind = outKind::cu8;
    if (kindText) {
        if (!kindFromName(kindText, kind)) {
            std::fprintf(stderr, "vorgen: unknown format '%s'\n", kindText);
            return 1;
        }
    } else {
        for (const char *e : {"cs8", "cs16", "cf32"})
            if (endsWith(path, std::string(".") + e)) kindFromName(e, kind);
        if (endsWith(path, ".wav")) kind = outKind::wav16;
    }
    const bool meta = endsWith(path, ".sigmf-data");
    if (meta && kind != outKind::cu8 && kind != outKind::cs8 && kind != outKind::cs16 && kind != outKind::cf32) {
        std::fprintf(stderr, "vorgen: SigMF data is cu8, cs8, cs16 or cf32\n");
        return 1;
    }
    // AM audio: the envelope detector's output, the carrier at 0 Hz.
    if (kind == outKind::am && !offsetGiven) p.carrierHz = 0;
    const bool wavOut = kind == outKind::wav16 || kind == outKind::wavf || kind == outKind::am;
    if (wavOut && path == "-") {
        std::fprintf(stderr, "vorgen: a WAV file needs -o FILE\n");
        return 1;
    }

    SigGen g;
    sigInit(g, p);
    const size_t chunk = 40960;
    std::vector<double> iq(2 * chunk);
    if (wavOut) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(p.rate);
        info.channels = kind == outKind::am ? 1 : 2;
        info.format = SF_FORMAT_WAV | (kind == outKind::wavf ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
        SNDFILE *sf = sf_open(path.c_str(), SFM_WRITE, &info);
        if (!sf) {
            std::fprintf(stderr, "vorgen: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
            return 1;
        }
        std::vector<float> frames(2 * chunk);
        const double amp = sigAmplitude(g);
        size_t n;
        while ((n = sigNextIQ(g, iq.data(), chunk)) > 0) {
            if (kind == outKind::am) {
                // Half scale: the modulation's peaks stay clear of the 16-bit limits.
                for (size_t k = 0; k < n; ++k)
                    frames[k] = static_cast<float>(0.5 * (std::hypot(iq[2 * k], iq[2 * k + 1]) / amp - 1.0));
            } else {
                for (size_t k = 0; k < 2 * n; ++k) frames[k] = static_cast<float>(iq[k] / 127.5);
            }
            if (sf_writef_float(sf, frames.data(), static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n)) {
                std::fprintf(stderr, "vorgen: write failed: %s\n", sf_strerror(sf));
                sf_close(sf);
                return 1;
            }
        }
        if (sf_close(sf) != 0) {
            std::fprintf(stderr, "vorgen: write failed: %s\n", path.c_str());
            return 1;
        }
        return 0;
    }

    FILE *out = stdout;
    if (path != "-" && !(out = std::fopen(path.c_str(), "wb"))) {
        std::fprintf(stderr, "vorgen: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    if (meta && !writeMeta(path, kind, p.rate, stationMhz * 1e6 - p.carrierHz)) {
        std::fprintf(stderr, "vorgen: cannot write the SigMF meta file beside %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> buf(8 * chunk);
    size_t n;
    for (;;) {
        size_t bytes = 0;
        if (kind == outKind::cu8) {
            n = sigNext(g, buf.data(), chunk);
            bytes = 2 * n;
        } else {
            n = sigNextIQ(g, iq.data(), chunk);
            for (size_t k = 0; k < 2 * n; ++k) {
                const double v = iq[k] / 127.5;  // full scale 1
                if (kind == outKind::cs8) {
                    buf[k] = static_cast<uint8_t>(
                        static_cast<int8_t>(std::lround(std::fmax(-128.0, std::fmin(127.0, v * 128)))));
                } else if (kind == outKind::cs16) {
                    const int16_t s16 = toInt16(v * 32767);
                    std::memcpy(&buf[2 * k], &s16, 2);
                } else {
                    const float f = static_cast<float>(v);
                    std::memcpy(&buf[4 * k], &f, 4);
                }
            }
            bytes = n * (kind == outKind::cs8 ? 2 : kind == outKind::cs16 ? 4 : 8);
        }
        if (n == 0) break;
        if (std::fwrite(buf.data(), 1, bytes, out) != bytes) {
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
