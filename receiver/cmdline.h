// The command line: navdial's options and the rules that turn their text
// into frequencies, rates and a position.
#pragma once

#include <cstdint>
#include <vector>

#include "output.h"
#include "stations.h"

constexpr int32_t kBandLow = 108000000;    // the VOR band, Hz...
constexpr uint32_t kBandWidth = 10000000;  // ...up to 118 MHz

// What the options ask for, beside the run settings of settings.h.
struct runOptions {
    const char *input = nullptr;             // -i: a recording instead of the dongle
    double rateHz = 0;                       // -s; 0: not given
    double centreHz = 0;                     // -c; 0: not given
    outFormat format = outFormat::plain;     // -F
    bool weak = false;                       // -w
    std::vector<int32_t> others;             // -a, in hertz
    const char *stationFile = nullptr;       // -D
    place near;                              // -P
    bool several = false;                    // -a, -D or -P: the frequencies by the channel rule
    int32_t firstHz = 0;                     // then the bare argument's, by that rule
    const char *http = nullptr;              // --http [ADDR:]PORT: the web page
    const char *jsonDir = nullptr;           // --json-dir DIR: the web page's documents as files
    const char *tiles = nullptr;             // --tiles URL: the map's tiles, for users with internet
    bool throttle = false;                   // --throttle: a recording at the signal's own speed
    const char *nmea = nullptr;              // --nmea [ADDR:]PORT: the fix as NMEA 0183 over TCP
    const char *mqtt = nullptr;              // --mqtt URL: windows and fixes to a broker
    const char *mqttCa = nullptr;            // --mqtt-ca FILE: an mqtts:// broker's CA
    const char *mqttPasswordFile = nullptr;  // --mqtt-password-file FILE
    bool monitor = false;                    // --monitor: the station against its tolerances; the crystal
    place at;                                // --at LAT,LON: a surveyed checkpoint (and -P where none is given)
};

// Reads argv into o and the run settings (settings.h: gain, interval, ppm,
// devid, verbose, freq). A bad command line is said on standard error and
// ends the process: status 1 for an option, 254 (-2) for a frequency
// missing or outside the band.
void parseCommandLine(int argc, char **argv, runOptions &o);

// The frequency rules, side by side:
// the bare argument: MHz times 1e6 in double precision, truncated toward
// zero to the hertz; saturates to 32 bits, and NaN becomes 0 (108.0000001
// is 108000000). The band check is the caller's.
int32_t argumentHertz(const char *text);
// -a, and the bare argument of several stations: MHz rounded to the hertz,
// in the band and on the 50 kHz channel raster; false, said on standard
// error, otherwise.
bool channelHertz(const char *text, int32_t &hz);
// -c: "113.0" (MHz) or "113M", "113000000Hz", "113000k": Hz; false when not a frequency.
bool parseFrequency(const char *text, double &hz);

// -s: "2048000", "1.8M", "250k": samples per second; false when not a rate.
bool parseRate(const char *text, double &hz);
// -P: "47.4,8.5", degrees north and east; false when not a position.
bool parsePlace(const char *text, place &p);
