// A position from the bearings of two or more stations, on the WGS 84
// ellipsoid (GeographicLib's geodesics).
#pragma once

#include <string>
#include <vector>

// One station's line of position: the geodesic from the station on the
// true bearing to the receiver, with its standard uncertainty.
struct bearingLine {
    double lat, lon;  // the station, degrees
    double bearing;   // true bearing from the station to the receiver, degrees
    double sigma;     // degrees: the window's and the station's own, combined
};

constexpr double kStationSigma = 1.0;   // a station's own error, degrees (the usual VOR figure)
constexpr double kPoorCrossing = 15.0;  // crossing angles below this: no fix

struct fixResult {
    bool ok = false;
    std::string why;              // when not ok: "poor geometry", ...
    double lat = 0, lon = 0;      // degrees
    double major = 0, minor = 0;  // the 95 % error ellipse's semi-axes, metres
    double majorAzimuth = 0;      // direction of the major axis, degrees from north
    double crossing = 0;          // the largest crossing angle of two lines, degrees
};

// Two lines: their intersection; three or more: weighted least squares (the
// weights from sigma and the distances). The ellipse from the lines'
// uncertainties, linearised at the fix.
fixResult computeFix(const std::vector<bearingLine> &lines);
