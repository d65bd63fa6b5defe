// The station list's rules and the position fix, from generated geometry.
#include <gtest/gtest.h>

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "fix.h"
#include "stations.h"

namespace {

const std::vector<station> &world() {
    static std::vector<station> all;
    if (all.empty()) {
        std::string err;
        EXPECT_TRUE(loadStations(std::string(DATA_DIR) + "/vor.csv", all, err)) << err;
    }
    return all;
}

const station &named(const std::string &ident, int32_t khz) {
    const auto c = candidates(world(), khz, ident, place{});
    EXPECT_EQ(c.size(), 1u) << ident;
    return *c.at(0);
}

// The line a receiver at (lat, lon) gets from s, its radial read with an
// error of `err` degrees, through the variation rule both ways.
bearingLine lineFrom(const station &s, double lat, double lon, double err, double sigma) {
    double azi1, azi2;
    GeographicLib::Geodesic::WGS84().Inverse(s.lat, s.lon, lat, lon, azi1, azi2);
    bool magnetic;
    const double radial = radialOf(s, azi1, magnetic) + err;
    return {s.lat, s.lon, trueBearing(s, radial, magnetic), sigma};
}

double metres(double lat1, double lon1, double lat2, double lon2) {
    double d;
    GeographicLib::Geodesic::WGS84().Inverse(lat1, lon1, lat2, lon2, d);
    return d;
}

}  // namespace

TEST(Stations, VariationAndAmbiguity) {
    const station &kloten = named("KLO", 114850), &hochwald = named("HOC", 113200);
    bool magnetic;
    EXPECT_NEAR(trueBearing(hochwald, 100, magnetic), 100.007, 1e-9);  // slaved
    EXPECT_FALSE(magnetic);
    EXPECT_NEAR(trueBearing(kloten, 359.8, magnetic), 0.314, 1e-9);  // no slaved one: magnetic
    EXPECT_TRUE(magnetic);
    EXPECT_NEAR(radialOf(kloten, 0.314, magnetic), 359.8, 1e-9);
    // 113.0 MHz is many stations; an ident, or a position, tells them apart.
    EXPECT_GT(candidates(world(), 113000, "", place{}).size(), 10u);
    EXPECT_EQ(candidates(world(), 113000, "KLO", place{}).size(), 1u);  // Kalibo
    const place zurich{true, 47.4, 8.5};
    const auto local = candidates(world(), 113000, "", zurich);
    EXPECT_LT(local.size(), candidates(world(), 113000, "", place{}).size());
    for (const station *c : local) EXPECT_LE(metres(c->lat, c->lon, zurich.lat, zurich.lon), kStationRangeKm * 1000);
    const auto near = candidates(world(), 114850, "", zurich);
    ASSERT_FALSE(near.empty());
    EXPECT_EQ(near[0]->ident, "KLO");
    std::vector<station> none;
    std::string err;
    EXPECT_FALSE(loadStations("/nonexistent.csv", none, err));
    EXPECT_NE(err.find("/nonexistent.csv"), std::string::npos) << err;
}

TEST(Fix, GeneratedGeometry) {
    // Exact bearings: the fix within a metre; a receiver on the line through
    // two stations, or bearings that point away from each other: no fix.
    const station &klo = named("KLO", 114850), &hoc = named("HOC", 113200), &wil = named("WIL", 116900),
                  &zue = named("ZUE", 110050);
    struct Case {
        const char *what;
        std::vector<const station *> s;
        double lat, lon;
    } cases[] = {
        {"KLO HOC", {&klo, &hoc}, 47.35, 8.05},
        {"KLO WIL", {&klo, &wil}, 47.05, 8.40},
        {"ZUE WIL HOC", {&zue, &wil, &hoc}, 47.60, 8.10},
        {"all four", {&klo, &hoc, &wil, &zue}, 47.30, 8.60},
    };
    for (const auto &c : cases) {
        std::vector<bearingLine> lines;
        for (const station *s : c.s) lines.push_back(lineFrom(*s, c.lat, c.lon, 0, 1));
        const fixResult f = computeFix(lines);
        ASSERT_TRUE(f.ok) << c.what << ": " << f.why;
        EXPECT_LT(metres(f.lat, f.lon, c.lat, c.lon), 1.0) << c.what;
        EXPECT_GT(f.major, f.minor);
    }
    // Midway between KLO and HOC, both lines nearly one.
    const double midLat = (klo.lat + hoc.lat) / 2 + 0.01, midLon = (klo.lon + hoc.lon) / 2;
    EXPECT_EQ(computeFix({lineFrom(klo, midLat, midLon, 0, 1), lineFrom(hoc, midLat, midLon, 0, 1)}).why,
              "poor geometry");
    bearingLine away = lineFrom(klo, 47.35, 8.05, 0, 1);
    away.bearing = std::fmod(away.bearing + 180, 360);
    EXPECT_FALSE(computeFix({away, lineFrom(hoc, 47.35, 8.05, 0, 1)}).ok);
    EXPECT_FALSE(computeFix({lineFrom(klo, 47.35, 8.05, 0, 1)}).ok);
}

TEST(Fix, ErrorRadiusIsCalibrated) {
    // Random positions around Zurich, each radial off by a normal error of
    // 1 degree: the truth lies within the larger semi-axis of the 95 %
    // ellipse in 95-99 % of fixes (a circle of that radius holds more than
    // the ellipse).
    const station *s[] = {&named("KLO", 114850), &named("HOC", 113200), &named("WIL", 116900), &named("ZUE", 110050)};
    uint64_t r = 5;
    auto uniform = [&r] {
        r = r * 6364136223846793005ull + 1442695040888963407ull;
        return (static_cast<double>(r >> 11) + 0.5) / 9007199254740992.0;
    };
    auto normal = [&] { return std::sqrt(-2 * std::log(uniform())) * std::cos(6.283185307179586 * uniform()); };
    int fixes = 0, inside = 0;
    for (int k = 0; k < 600; ++k) {
        const double lat = 47.1 + 0.5 * uniform(), lon = 7.9 + 0.9 * uniform();
        std::vector<bearingLine> lines;
        const int n = 2 + k % 3;
        for (int i = 0; i < n; ++i) lines.push_back(lineFrom(*s[(k + i) % 4], lat, lon, normal(), 1));
        const fixResult f = computeFix(lines);
        if (!f.ok) continue;
        ++fixes;
        inside += metres(f.lat, f.lon, lat, lon) <= f.major;
    }
    EXPECT_GT(fixes, 400);
    EXPECT_GE(inside, fixes * 95 / 100);
    EXPECT_LE(inside, fixes * 995 / 1000);
}
