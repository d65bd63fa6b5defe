// The command line: the options, the run settings, and the rules that turn
// text into frequencies, rates and a position.
#include "cmdline.h"

#include <getopt.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "multi.h"
#include "settings.h"

namespace {

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
        " -D file :\t\t\tstation file (default: the one installed with navdial)\n"
        " --http [addr:]port :\t\tserve the live page and its data (default address 127.0.0.1)\n"
        " --json-dir dir :\t\twrite state.json, history.json and stations.json there\n"
        " --throttle :\t\t\tread a recording (-i) at the signal's own speed\n"
        " --tiles url :\t\t\tthe map's tiles ({z}/{x}/{y}), for a page with internet\n"
        " --nmea [addr:]port :\t\tthe fix as NMEA 0183 over TCP, for gpsd (usual port 10110)\n"
        " --mqtt url :\t\t\tpublish to a broker: mqtt[s]://[user@]host[:port][/prefix]\n"
        " --mqtt-ca file :\t\tthe CA of an mqtts:// broker (default: the system's)\n"
        " --mqtt-password-file file :\tthe broker's password (or NAVDIAL_MQTT_PASSWORD)\n"
        " --monitor :\t\t\tcheck the station against the ICAO tolerances; the crystal's error\n"
        " --at lat,lon :\t\t\ta surveyed checkpoint: each radial's bias from the geometry\n";
    std::fwrite(text, 1, sizeof text - 1, stderr);
}

// strtol with base 10 and no check; the result saturates to 32 bits.
int32_t toInt(const char *text) {
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace

int32_t argumentHertz(const char *text) {
    const double hz = std::strtod(text, nullptr) * 1000000.0;
    if (std::isnan(hz)) return 0;
    if (hz >= 2147483648.0) return INT32_MAX;
    if (hz <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(hz);
}

bool channelHertz(const char *text, int32_t &hz) {
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

bool parseRate(const char *text, double &hz) {
    char *end;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || errno == ERANGE) return false;
    if (*end == 'k' || *end == 'K') {
        v *= 1e3;
        ++end;
    } else if (*end == 'M') {
        v *= 1e6;
        ++end;
    }
    if (*end != '\0' || !(v > 0 && v < 1e9)) return false;
    hz = v;
    return true;
}

bool parseFrequency(const char *text, double &hz) {
    char *end;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || errno == ERANGE) return false;
    const std::string unit = end;
    if (unit.empty() || unit == "M" || unit == "MHz")
        v *= 1e6;
    else if (unit == "k" || unit == "kHz")
        v *= 1e3;
    else if (unit == "G" || unit == "GHz")
        v *= 1e9;
    else if (unit != "Hz")
        return false;
    if (!(v > 0 && v < 1e11)) return false;
    hz = v;
    return true;
}

void parseCommandLine(int argc, char **argv, runOptions &o) {
    enum { kHttp = 256, kJsonDir, kThrottle, kTiles, kNmea, kMqtt, kMqttCa, kMqttPass, kMonitor, kAt };
    static const option kLong[] = {{"http", required_argument, nullptr, kHttp},
                                   {"json-dir", required_argument, nullptr, kJsonDir},
                                   {"throttle", no_argument, nullptr, kThrottle},
                                   {"tiles", required_argument, nullptr, kTiles},
                                   {"nmea", required_argument, nullptr, kNmea},
                                   {"mqtt", required_argument, nullptr, kMqtt},
                                   {"mqtt-ca", required_argument, nullptr, kMqttCa},
                                   {"mqtt-password-file", required_argument, nullptr, kMqttPass},
                                   {"monitor", no_argument, nullptr, kMonitor},
                                   {"at", required_argument, nullptr, kAt},
                                   {nullptr, 0, nullptr, 0}};  // beside the short ones, which stay as they were
    int c;
    while ((c = getopt_long(argc, argv, "vwg:l:p:r:hi:F:s:c:a:D:P:", kLong, nullptr)) != -1) {
        if (c >= kHttp) {
            if (c == kHttp) o.http = optarg;
            if (c == kJsonDir) o.jsonDir = optarg;
            if (c == kThrottle) o.throttle = true;
            if (c == kTiles) o.tiles = optarg;
            if (c == kNmea) o.nmea = optarg;
            if (c == kMqtt) o.mqtt = optarg;
            if (c == kMqttCa) o.mqttCa = optarg;
            if (c == kMqttPass) o.mqttPasswordFile = optarg;
            if (c == kMonitor) o.monitor = true;
            if (c == kAt && !parsePlace(optarg, o.at)) {
                std::fprintf(stderr,
                             "navdial: --at needs the checkpoint in degrees as lat,lon such as 47.45,8.55, not '%s'\n",
                             optarg);
                std::exit(1);
            }
            continue;
        }
        switch (c & 0xff) {
        case 'a': {
            int32_t hz = 0;
            if (!channelHertz(optarg, hz)) std::exit(1);
            o.others.push_back(hz);
            break;
        }
        case 'D': o.stationFile = optarg; break;
        case 'P':
            if (!parsePlace(optarg, o.near)) {
                std::fprintf(stderr,
                             "navdial: -P needs a position in degrees as lat,lon such as 47.45,8.55, not '%s'\n",
                             optarg);
                std::exit(1);
            }
            break;
        case 'v': verbose = 1; break;
        case 'w': o.weak = true; break;
        case 'g': gain = toInt(optarg); break;
        case 'l': interval = toInt(optarg); break;
        case 'p': ppm = toInt(optarg); break;
        case 'r': devid = toInt(optarg); break;
        case 'i': o.input = optarg; break;
        case 'F':
            if (!parseFormat(optarg, o.format)) {
                std::fprintf(stderr, "navdial: unknown output format '%s': the formats are plain and json\n", optarg);
                usage();
                std::exit(1);
            }
            break;
        case 's':
            if (!parseRate(optarg, o.rateHz)) {
                std::fprintf(stderr, "navdial: -s needs a sample rate such as 2048000 or 1.8M, not '%s'\n", optarg);
                std::exit(1);
            }
            break;
        case 'c':
            if (!parseFrequency(optarg, o.centreHz)) {
                std::fprintf(stderr, "navdial: -c needs a frequency in MHz such as 113.0, not '%s'\n", optarg);
                std::exit(1);
            }
            break;
        default: usage(); std::exit(1);
        }
    }
    if (o.throttle && !o.input) {
        std::fprintf(stderr, "navdial: --throttle paces a recording: use it with -i\n");
        std::exit(1);
    }
    if ((o.rateHz > 0 || o.centreHz > 0) && !o.input) {
        std::fprintf(stderr, "navdial: -s and -c describe a recording: use them with -i\n");
        std::exit(1);
    }
    if (optind >= argc) {
        std::fprintf(stderr, "need frequency\n");
        std::exit(-2);
    }
    freq = argumentHertz(argv[optind]);
    if (static_cast<uint32_t>(freq) - static_cast<uint32_t>(kBandLow) > kBandWidth) {
        std::fprintf(stderr, "invalid frequency\n");
        std::exit(-2);
    }

    // Several stations, or what only they use: the frequencies to the hertz.
    o.several = !o.others.empty() || o.stationFile || o.near.known;
    if (o.several && !channelHertz(argv[optind], o.firstHz)) std::exit(1);
}
