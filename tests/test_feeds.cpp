// The feeds for other programs: the fix as NMEA 0183, read by the real gpsd.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "net.h"
#include "nmea.h"
#include "process.h"

namespace {

using nlohmann::json;

std::string temp(const std::string &name) { return ::testing::TempDir() + "navdial_feeds_" + name; }

// The checksum an NMEA reader computes: the XOR of what lies between $ and *.
bool checksumRight(const std::string &s) {
    const size_t star = s.find('*');
    if (s.empty() || s[0] != '$' || star == std::string::npos || s.size() != star + 5) return false;
    unsigned sum = 0;
    for (size_t k = 1; k < star; ++k) sum ^= static_cast<unsigned char>(s[k]);
    char want[3];
    std::snprintf(want, sizeof want, "%02X", sum);
    return s.compare(star + 1, 2, want) == 0 && s.compare(star + 3, 2, "\r\n") == 0;
}

std::vector<std::string> fields(const std::string &s) {
    std::vector<std::string> f;
    std::stringstream in(s.substr(1, s.find('*') - 1));
    for (std::string x; std::getline(in, x, ',');) f.push_back(x);
    if (!s.empty() && s[s.find('*') - 1] == ',') f.push_back("");
    return f;
}

}  // namespace

TEST(Nmea, SentencesAsReadersCheckThem) {
    struct Case {
        double lat, lon;
        const char *latText, *lonText;
    } cases[] = {
        {47.29999, 8.10008, "4717.99940,N", "00806.00480,E"},
        {-33.9, -151.25, "3354.00000,S", "15115.00000,W"},
        {0.9999999999, 179.99999999, "0100.00000,N", "18000.00000,E"},  // minutes that round to 60
    };
    for (const Case &c : cases) {
        fixResult f;
        f.ok = true;
        f.lat = c.lat;
        f.lon = c.lon;
        f.major = 2448;  // 1000 m at 1 sigma
        f.minor = 1224;
        f.majorAzimuth = 90;
        const std::vector<std::string> s = nmeaFix(f, 2, 1765290000.25);  // 2025-12-09 14:20:00.25 UTC
        ASSERT_EQ(s.size(), 3u);
        for (const std::string &x : s) EXPECT_TRUE(checksumRight(x)) << x;
        const auto gga = fields(s[0]), rmc = fields(s[1]), gst = fields(s[2]);
        EXPECT_EQ(gga[0], "GPGGA");
        EXPECT_EQ(gga[1], "142000.25");
        EXPECT_EQ(gga[2] + "," + gga[3], c.latText);
        EXPECT_EQ(gga[4] + "," + gga[5], c.lonText);
        EXPECT_EQ(gga[6], "6");  // estimated
        EXPECT_EQ(rmc[0], "GPRMC");
        EXPECT_EQ(rmc[2], "A");
        EXPECT_EQ(rmc[9], "091225");
        EXPECT_EQ(rmc.back(), "E");
        EXPECT_EQ(gst[0], "GPGST");
        EXPECT_EQ(gst[3], "1000.0");  // semi-major at 1 sigma
        EXPECT_EQ(gst[4], "500.0");
        EXPECT_EQ(gst[6], "500.0");  // major axis east-west: latitude has the minor sigma
        EXPECT_EQ(gst[7], "1000.0");
    }
}

// navdial replays two stations with --nmea; the real gpsd reads it as a
// network source and reports navdial's fixes as 2-D positions, with the
// error figures of GST, and no position before the first fix.
TEST(Nmea, GpsdTakesTheFix) {
    ASSERT_EQ(access("/usr/sbin/gpsd", X_OK), 0) << "gpsd (Debian's package) is needed";
    const std::string rec = temp("zh.cu8");
    ASSERT_EQ(run(program(VORGEN_BIN, {"-r", "242.22", "-t", "8.3", "-n", "55", "-S", "5", "-f", "114.85", "-O",
                                       "850000", "-A", "113.2:119.28:0", "-o", rec}))
                  .status,
              0);
    const int nmeaPort = freePort();
    Child nav = start(program(NAVDIAL_BIN, {"--nmea", std::to_string(nmeaPort), "--throttle", "-i", rec, "-c", "114.0",
                                            "-a", "113.2", "-P", "47.3,8.1", "114.85"}));
    ASSERT_TRUE(waitForServer(nmeaPort, 10));
    const int gpsdPort = freePort();
    Child gpsd = start(
        {"/usr/sbin/gpsd", "-N", "-n", "-S", std::to_string(gpsdPort), "tcp://127.0.0.1:" + std::to_string(nmeaPort)});
    ASSERT_TRUE(waitForServer(gpsdPort, 10));
    const int fd = connectTo(gpsdPort);
    const std::string watch = "?WATCH={\"enable\":true,\"json\":true};\n";
    send(fd, watch.data(), watch.size(), MSG_NOSIGNAL);
    // Until navdial's recording ends (8.3 s at signal speed).
    std::string got = readUntil(fd, "never", 12);
    close(fd);
    kill(gpsd.pid, SIGTERM);
    finish(gpsd);
    const Outcome o = finish(nav);
    std::vector<std::pair<double, double>> fixes;
    std::istringstream out(o.out);
    for (std::string line; std::getline(out, line);) {
        double lat, lon, err;
        if (std::sscanf(line.c_str(), "fix %lf %lf %lf", &lat, &lon, &err) == 3) fixes.emplace_back(lat, lon);
    }
    ASSERT_GE(fixes.size(), 3u) << o.out << o.err;
    std::vector<json> tpv, gst;
    std::istringstream in(got);
    for (std::string line; std::getline(in, line);) {
        const json j = json::parse(line, nullptr, false);
        if (!j.is_object()) continue;
        if (j.value("class", "") == "TPV" && j.contains("lat")) tpv.push_back(j);
        if (j.value("class", "") == "GST") gst.push_back(j);
    }
    ASSERT_GE(tpv.size(), 2u) << got;
    // Each position gpsd reports is one of navdial's fixes (to the 1e-5
    // degrees navdial prints), the first the first, and a position.
    for (size_t k = 0; k < tpv.size(); ++k) {
        EXPECT_GE(tpv[k]["mode"].get<int>(), 2);
        bool found = false;
        for (size_t j = 0; j < fixes.size(); ++j)
            if (std::fabs(tpv[k]["lat"].get<double>() - fixes[j].first) <= 6e-6 &&
                std::fabs(tpv[k]["lon"].get<double>() - fixes[j].second) <= 6e-6) {
                found = true;
                if (k == 0) {
                    EXPECT_EQ(j, 0u) << "a position before the first fix";
                }
            }
        EXPECT_TRUE(found) << tpv[k].dump();
    }
    ASSERT_GE(gst.size(), 2u) << got;
    EXPECT_GT(gst[0]["major"].get<double>(), 500);  // about 2450 m at 95 %: 1000 m at 1 sigma
    EXPECT_LT(gst[0]["major"].get<double>(), 1500);
    EXPECT_GT(gst[0]["lat"].get<double>(), 0);
    EXPECT_GT(gst[0]["lon"].get<double>(), 0);
}
