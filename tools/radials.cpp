// radials: the radials a receiver at a position reads from chosen stations,
// by the same station list and variation rule as navdial. For generating
// test signals of a known position (vorgen -r each radial).
//
// usage: radials [-D stations.csv] LAT,LON IDENT[@MHz] ...
#include <unistd.h>

#include <GeographicLib/Geodesic.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stations.h"

int main(int argc, char **argv) {
    std::string file = defaultStationFile();
    int c;
    while ((c = getopt(argc, argv, "D:")) != -1) {
        if (c != 'D') return 1;
        file = optarg;
    }
    place at;
    if (optind + 2 > argc || std::sscanf(argv[optind], "%lf,%lf", &at.lat, &at.lon) != 2) {
        std::fprintf(stderr, "usage: radials [-D stations.csv] LAT,LON IDENT[@MHz] ...\n");
        return 1;
    }
    at.known = true;
    std::vector<station> all;
    std::string err;
    if (!loadStations(file, all, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    const GeographicLib::Geodesic &g = GeographicLib::Geodesic::WGS84();
    int status = 0;
    for (int k = optind + 1; k < argc; ++k) {
        std::string ident = argv[k];
        int32_t khz = 0;
        const size_t atSign = ident.find('@');
        if (atSign != std::string::npos) {
            khz = static_cast<int32_t>(std::lround(std::atof(ident.c_str() + atSign + 1) * 1000));
            ident.resize(atSign);
        }
        // The nearest station of that ident (on that frequency, if given).
        const station *best = nullptr;
        double bestD = 0;
        for (const station &s : all) {
            if (s.ident != ident || (khz && s.freqKhz != khz)) continue;
            double d;
            g.Inverse(at.lat, at.lon, s.lat, s.lon, d);
            if (!best || d < bestD) {
                best = &s;
                bestD = d;
            }
        }
        if (!best) {
            std::fprintf(stderr, "radials: no station %s in %s\n", argv[k], file.c_str());
            status = 1;
            continue;
        }
        double d, azi1, azi2;
        g.Inverse(best->lat, best->lon, at.lat, at.lon, d, azi1, azi2);
        bool magnetic;
        const double radial = radialOf(*best, azi1, magnetic);
        std::printf("%s %.2f %.2f %.1f km%s\n", best->ident.c_str(), best->freqKhz / 1000.0, radial, d / 1000,
                    magnetic ? " (magnetic variation: no slaved one known)" : "");
    }
    return status;
}
