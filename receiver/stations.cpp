#include "stations.h"

#include <GeographicLib/Geodesic.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

// Splits a CSV line without quotes (the file has none).
std::vector<std::string> fields(const std::string &line) {
    std::vector<std::string> f;
    std::string cur;
    for (char c : line) {
        if (c == ',') {
            f.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur += c;
        }
    }
    f.push_back(cur);
    return f;
}

bool number(const std::string &s, double &v) {
    if (s.empty()) return false;
    char *end;
    v = std::strtod(s.c_str(), &end);
    return *end == '\0' && std::isfinite(v);
}

double wrap360(double x) {
    x = std::fmod(x, 360.0);
    if (x < 0) x += 360.0;
    return x >= 360.0 ? x - 360.0 : x;
}

double variation(const station &s, bool &magnetic) {
    magnetic = !std::isfinite(s.slavedVar);
    if (!magnetic) return s.slavedVar;
    return std::isfinite(s.magneticVar) ? s.magneticVar : 0.0;
}

}  // namespace

bool loadStations(const std::string &path, std::vector<station> &out, std::string &err) {
    std::ifstream in(path);
    if (!in) {
        err = "navdial: cannot read the station list " + path;
        return false;
    }
    out.clear();
    std::string line;
    int no = 0;
    while (std::getline(in, line)) {
        if (++no == 1 || line.empty()) continue;  // the header
        const std::vector<std::string> f = fields(line);
        station s;
        double khz = 0;
        if (f.size() < 10 || f[0].empty() || !number(f[3], khz) || !number(f[4], s.lat) || !number(f[5], s.lon) ||
            std::fabs(s.lat) > 90 || std::fabs(s.lon) > 180) {
            err = "navdial: " + path + " line " + std::to_string(no) +
                  ": not a station (ident, name, type, frequency_khz, latitude_deg, longitude_deg, ...)";
            return false;
        }
        s.ident = f[0];
        s.name = f[1];
        s.type = f[2];
        s.country = f[7];
        s.freqKhz = static_cast<int32_t>(std::lround(khz));
        double v;
        if (number(f[8], v)) s.slavedVar = v;
        if (number(f[9], v)) s.magneticVar = v;
        out.push_back(s);
    }
    if (out.empty()) {
        err = "navdial: " + path + " holds no station";
        return false;
    }
    return true;
}

std::string defaultStationFile() {
    const std::string installed = std::string(NAVDIAL_DATADIR) + "/vor.csv";
    if (access(installed.c_str(), R_OK) == 0) return installed;
    return std::string(NAVDIAL_SOURCE_DATA) + "/vor.csv";
}

std::vector<const station *> candidates(const std::vector<station> &all, int32_t freqKhz, const std::string &ident,
                                        const place &near) {
    const GeographicLib::Geodesic &g = GeographicLib::Geodesic::WGS84();
    std::vector<std::pair<double, const station *>> found;
    for (const station &s : all) {
        if (s.freqKhz != freqKhz || (!ident.empty() && s.ident != ident)) continue;
        double d = 0;
        if (near.known) {
            g.Inverse(near.lat, near.lon, s.lat, s.lon, d);
            if (d > kStationRangeKm * 1000) continue;
        }
        found.emplace_back(d, &s);
    }
    std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<const station *> out;
    for (const auto &f : found) out.push_back(f.second);
    return out;
}

double trueBearing(const station &s, double radial, bool &magnetic) { return wrap360(radial + variation(s, magnetic)); }

double radialOf(const station &s, double bearing, bool &magnetic) { return wrap360(bearing - variation(s, magnetic)); }
