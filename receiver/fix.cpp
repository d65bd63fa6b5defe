// The fix: iterated least squares in a gnomonic projection centred on the
// current estimate. There geodesics are straight to well within a metre over
// a few hundred km, so each station's geodesic becomes a line through its
// own image and the image of the point on it nearest the estimate; the
// position that best meets all lines (each weighted by 1 / (sigma times its
// distance)^2, the cross-track error of its bearing) is the next centre.
// Two lines meet exactly; the iteration stops when the correction is under
// a millimetre.
#include "fix.h"

#include <GeographicLib/Geodesic.hpp>
#include <GeographicLib/Gnomonic.hpp>

#include <cmath>

namespace {

constexpr double kDeg = 0.017453292519943295;  // radians per degree
constexpr double kChi95 = 5.991464547107979;   // chi-square, 2 degrees of freedom, 95 %

double angleBetween(double a, double b) {  // lines, not directions: [0, 90]
    double d = std::fmod(std::fabs(a - b), 180.0);
    return d > 90 ? 180 - d : d;
}

}  // namespace

fixResult computeFix(const std::vector<bearingLine> &lines) {
    fixResult r;
    if (lines.size() < 2) {
        r.why = "a fix needs two stations";
        return r;
    }
    const GeographicLib::Geodesic &g = GeographicLib::Geodesic::WGS84();
    const GeographicLib::Gnomonic gn(g);
    // Start between the stations.
    double lat = 0, lon = 0;
    for (const bearingLine &l : lines) {
        lat += l.lat;
        lon += l.lon;
    }
    lat /= static_cast<double>(lines.size());
    lon /= static_cast<double>(lines.size());
    double A[3] = {0, 0, 0};  // the normal matrix: xx, xy, yy
    for (int it = 0; it < 30; ++it) {
        double b[2] = {0, 0};
        A[0] = A[1] = A[2] = 0;
        for (const bearingLine &l : lines) {
            double d, azi1, azi2;
            g.Inverse(l.lat, l.lon, lat, lon, d, azi1, azi2);
            double plat, plon;
            g.Direct(l.lat, l.lon, l.bearing, d, plat, plon);
            double xs, ys, xp, yp;
            gn.Forward(lat, lon, l.lat, l.lon, xs, ys);
            gn.Forward(lat, lon, plat, plon, xp, yp);
            if (!std::isfinite(xs + ys + xp + yp) || d < 1) {
                r.why = "the stations are too far apart for a fix";
                return r;
            }
            const double dx = xp - xs, dy = yp - ys, len = std::hypot(dx, dy);
            const double nx = -dy / len, ny = dx / len, c = nx * xp + ny * yp;
            const double w = 1 / ((l.sigma * kDeg * d) * (l.sigma * kDeg * d));
            A[0] += w * nx * nx;
            A[1] += w * nx * ny;
            A[2] += w * ny * ny;
            b[0] += w * nx * c;
            b[1] += w * ny * c;
        }
        const double det = A[0] * A[2] - A[1] * A[1];
        if (!(det > 1e-12 * (A[0] * A[2]))) {
            r.why = "poor geometry";
            return r;
        }
        const double x = (A[2] * b[0] - A[1] * b[1]) / det, y = (A[0] * b[1] - A[1] * b[0]) / det;
        gn.Reverse(lat, lon, x, y, lat, lon);
        if (!std::isfinite(lat + lon)) {
            r.why = "the bearings do not meet";
            return r;
        }
        if (std::hypot(x, y) < 1e-3) break;
    }
    r.lat = lat;
    r.lon = lon;

    // Each line must point at the fix, not away from it, and two of them
    // must cross at a useful angle.
    std::vector<double> toStation;
    for (const bearingLine &l : lines) {
        double azi1, azi2, back, fwd;
        g.Inverse(l.lat, l.lon, lat, lon, azi1, azi2);
        if (std::cos((azi1 - l.bearing) * kDeg) < 0) {
            r.why = "the bearings do not meet";
            return r;
        }
        g.Inverse(lat, lon, l.lat, l.lon, back, fwd);
        toStation.push_back(back);
    }
    for (size_t i = 0; i < toStation.size(); ++i)
        for (size_t j = i + 1; j < toStation.size(); ++j)
            r.crossing = std::fmax(r.crossing, angleBetween(toStation[i], toStation[j]));
    if (r.crossing < kPoorCrossing) {
        r.why = "poor geometry";
        return r;
    }

    // The covariance, A^-1, and its 95 % ellipse (x east, y north).
    const double det = A[0] * A[2] - A[1] * A[1];
    const double cxx = A[2] / det, cxy = -A[1] / det, cyy = A[0] / det;
    const double mean = (cxx + cyy) / 2, diff = std::sqrt((cxx - cyy) * (cxx - cyy) / 4 + cxy * cxy);
    r.major = std::sqrt(kChi95 * (mean + diff));
    r.minor = std::sqrt(kChi95 * std::fmax(0.0, mean - diff));
    r.majorAzimuth = std::fmod(90 - 0.5 * std::atan2(2 * cxy, cxx - cyy) / kDeg + 360, 180.0);
    r.ok = true;
    return r;
}
