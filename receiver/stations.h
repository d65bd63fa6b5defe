// The VOR stations of the world (data/vor.csv) and the rules for telling
// them apart: the same frequency serves stations a few hundred km apart, and
// idents repeat across the world.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

struct station {
    std::string ident, name, type, country;
    int32_t freqKhz = 0;
    double lat = 0, lon = 0;   // degrees, WGS 84
    double slavedVar = NAN;    // declination the radials are aligned to, degrees east; NaN: not known
    double magneticVar = NAN;  // magnetic variation at the station, degrees east; NaN: not known
};

// Reads a file of the columns of data/vor.csv (a header line, then ident,
// name, type, frequency_khz, latitude_deg, longitude_deg, elevation_ft,
// iso_country, slaved_variation_deg, magnetic_variation_deg, ...). False,
// with the file and line in err, when it cannot be read or a line is bad.
bool loadStations(const std::string &path, std::vector<station> &out, std::string &err);

// Where the database is looked for without -D: beside the program's install
// prefix (share/navdial/vor.csv), then the source tree's data/vor.csv.
std::string defaultStationFile();

// A rough position of the receiver, to rule out far stations on a frequency.
struct place {
    bool known = false;
    double lat = 0, lon = 0;
};

constexpr double kStationRangeKm = 400;  // beyond this from -P, a station is not the one heard

// The stations a frequency (and, when not empty, an ident) may be: those
// on the frequency, within kStationRangeKm of `near` when it is known,
// nearest first.
std::vector<const station *> candidates(const std::vector<station> &all, int32_t freqKhz, const std::string &ident,
                                        const place &near);

// The true bearing from the station of a radial (degrees, [0, 360)): the
// radial plus the slaved variation, or the magnetic variation where the
// slaved one is not known (then `magnetic` is set), or the radial itself
// when neither is.
double trueBearing(const station &s, double radial, bool &magnetic);
// The radial a receiver on true bearing `bearing` from the station reads.
double radialOf(const station &s, double bearing, bool &magnetic);
