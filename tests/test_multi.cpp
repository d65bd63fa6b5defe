// Several stations: where the tuner goes, each station as it reads alone,
// the fix from a recording, and the dongle taking the stations in turn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <GeographicLib/Geodesic.hpp>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "signal_run.h"
#include "multi.h"
#include "process.h"

namespace {

std::string temp(const std::string &name) { return "/tmp/navdial-multi-" + std::to_string(getpid()) + "-" + name; }
Outcome navdial(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    return run(program(NAVDIAL_BIN, args), env);
}
bool vorgen(const std::vector<std::string> &args) { return run(program(VORGEN_BIN, args)).status == 0; }

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Metres from the fix line "fix <lat> <lon> <err95>" to the truth; -1 when it is not one.
double fixError(const std::string &line, double lat, double lon, double &err95) {
    double la = 0, lo = 0;
    if (std::sscanf(line.c_str(), "fix %lf %lf %lf", &la, &lo, &err95) != 3) return -1;
    double d = 0;
    GeographicLib::Geodesic::WGS84().Inverse(la, lo, lat, lon, d);
    return d;
}

TEST(Span, WhereTheTunerGoes) {
    struct Case {
        std::vector<int32_t> mhz50;  // the stations, in 50 kHz channels
        int32_t centre50;            // 0: they do not fit
    } cases[] = {
        {{2262}, 2261},              // one station: just below it
        {{2262, 2264}, 2261},        // the middle, 2263, would mirror one onto the other
        {{2264, 2226}, 2245},        // 113.2 and 114.85 (KLO and HOC): 33 channels apart
        {{2200, 2238}, 2219},        // 38 channels: just fits, 19 either side
        {{2200, 2239}, 0},           // 39 do not
        {{2201, 2202, 2203}, 2200},  // no centre on a station, none mirroring another
    };
    for (const Case &c : cases) {
        std::vector<int32_t> hz;
        for (int32_t m : c.mhz50) hz.push_back(m * 50000);
        const int32_t centre = spanCentre(hz);
        EXPECT_EQ(centre, c.centre50 * 50000) << hz.front();
        for (int32_t f : hz) {
            if (!centre) break;
            EXPECT_NE(f, centre);
            EXPECT_LE(std::abs(f - centre), kSpanMaxBin * 50000);
        }
    }
}

TEST(Span, EachStationReadsAsAlone) {
    // Three stations in the dongle's layout: the one at +50 kHz reads with
    // the one-station detector's numbers, to the byte; the others as the
    // down-converter reads them alone.
    const std::string path = temp("three.cu8");
    ASSERT_TRUE(vorgen({"-r", "123.4", "-t", "4.2", "-n", "55", "-S", "3", "-f", "113.0", "-A", "113.6:45.5:-1", "-A",
                        "112.35:300.2:-2", "-o", path}));
    const std::vector<std::string> all =
        lines(navdial({"-F", "json", "-i", path, "-a", "113.6", "-a", "112.35", "113.0"}).out);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0] + "\n" + all[3] + "\n", navdial({"-F", "json", "-i", path, "113.0"}).out);
    struct Alone {
        const char *mhz;
        size_t line;
    } alone[] = {{"113.6", 1}, {"112.35", 2}};
    for (const Alone &a : alone) {
        const std::vector<std::string> one = lines(navdial({"-F", "json", "-i", path, "-c", "112.95", a.mhz}).out);
        ASSERT_EQ(one.size(), 2u) << a.mhz;
        for (size_t k = 0; k < 2; ++k) {
            const auto m = nlohmann::json::parse(all[a.line + 3 * k]), s = nlohmann::json::parse(one[k]);
            EXPECT_EQ(m["freq"], s["freq"]);
            EXPECT_LE(std::fabs(angleDiff(m["radial"].get<double>(), s["radial"].get<double>())), 0.3) << a.mhz;
            EXPECT_NEAR(m["cn0"].get<double>(), s["cn0"].get<double>(), 1.0) << a.mhz;
        }
    }
    // Other recordings: a down-converter per station, each as it reads alone.
    const std::string cf32 = temp("three.cf32");
    ASSERT_TRUE(vorgen({"-r", "123.4",
                        "-t", "4.2",
                        "-n", "55",
                        "-S", "3",
                        "-f", "113.0",
                        "-O", "100000",
                        "-R", "2400000",
                        "-F", "cf32",
                        "-A", "113.6:45.5:-3",
                        "-A", "112.35:300.2:-6",
                        "-o", cf32}));
    const std::vector<std::string> rec = {"-i", cf32, "-s", "2.4M", "-c", "112.9"};
    std::vector<std::string> args = rec;
    args.insert(args.end(), {"-a", "113.6", "-a", "112.35", "113.0"});
    const std::vector<std::string> three = lines(navdial(args).out);
    ASSERT_EQ(three.size(), 6u);
    const char *mhz[] = {"113.0", "113.6", "112.35"};
    for (size_t k = 0; k < 3; ++k) {
        std::vector<std::string> a1 = rec;
        a1.push_back(mhz[k]);
        const std::vector<std::string> one = lines(navdial(a1).out);
        ASSERT_EQ(one.size(), 2u) << mhz[k];
        EXPECT_EQ(three[k].substr(7), one[0]) << mhz[k];
        EXPECT_EQ(three[k + 3].substr(7), one[1]) << mhz[k];
    }
    std::remove(cf32.c_str());

    // Plain lines name the station; the same frequency twice, or one off
    // the recording, is refused.
    EXPECT_EQ(lines(navdial({"-i", path, "-a", "113.6", "113.0"}).out)[1].substr(0, 7), "113.60 ");
    struct Bad {
        std::vector<std::string> args;
        const char *says;
    } bad[] = {
        {{"-a", "113.0", "113.0"}, "given twice"},
        {{"-a", "114.2", "113.0"}, "outside the recording"},
        {{"-a", "113.62", "113.0"}, "not on the 50 kHz channel raster"},
    };
    for (const Bad &b : bad) {
        std::vector<std::string> cmd = {"-i", path};
        cmd.insert(cmd.end(), b.args.begin(), b.args.end());
        const Outcome r = navdial(cmd);
        EXPECT_NE(r.status, 0) << b.says;
        EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << b.says;
    }
    std::remove(path.c_str());
}

TEST(Span, FixFromOneRecording) {
    // KLO (114.85) and HOC (113.2) near Zurich, 33 channels apart: one span.
    const double lat = 47.30, lon = 8.10;  // KLO 242.22, HOC 119.28 (tools/radials)
    const std::string path = temp("zh.cu8");
    ASSERT_TRUE(vorgen({"-r", "242.22", "-t", "4.3", "-n", "55", "-S", "5", "-f", "114.85", "-O", "850000", "-A",
                        "113.2:119.28:0", "-o", path}));
    const Outcome r = navdial({"-i", path, "-c", "114.0", "-a", "113.2", "-P", "47.3,8.1", "114.85"});
    const std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 6u) << r.err;
    for (size_t k : {2u, 5u}) {
        double err95 = 0;
        const double d = fixError(out[k], lat, lon, err95);
        EXPECT_GE(d, 0) << out[k];
        EXPECT_LT(d, 1000) << out[k];
        EXPECT_LT(d, err95) << out[k];
    }
    EXPECT_NE(r.err.find("station KLO (Kloten, CH)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("magnetic"), std::string::npos) << r.err;  // KLO has no slaved variation

    // Without -P, neither frequency tells its station, and nothing is guessed.
    const Outcome blind = navdial({"-i", path, "-c", "114.0", "-a", "113.2", "114.85"});
    EXPECT_EQ(blind.out.find("fix"), std::string::npos) << blind.out;
    EXPECT_NE(blind.err.find("114.85 MHz is ambiguous"), std::string::npos) << blind.err;
    EXPECT_NE(blind.err.find("no fix"), std::string::npos) << blind.err;

    // Their idents tell them apart: fixes once both are confirmed, not before.
    ASSERT_TRUE(vorgen({"-r",     "242.22", "-t",  "18.3", "-n", "55", "-S", "5",  "-f", "114.85", "-O",
                        "850000", "-M",     "KLO", "-W",   "10", "-P", "6",  "-T", "1",  "-A",     "113.2:119.28:0:HOC",
                        "-o",     path}));
    const Outcome named = navdial({"-i", path, "-c", "114.0", "-a", "113.2", "114.85"});
    const std::vector<std::string> all = lines(named.out);
    size_t fixes = 0;
    for (const std::string &l : all) {
        double err95 = 0;
        if (l.rfind("fix ", 0) != 0) continue;
        ++fixes;
        EXPECT_LT(fixError(l, lat, lon, err95), 1000) << l;
    }
    EXPECT_EQ(all.size() - fixes, 18u) << named.out;  // 9 windows of each
    EXPECT_GE(fixes, 2u);
    EXPECT_LT(fixes, 9u);  // none in the first rounds
    EXPECT_NE(named.err.find("114.85 MHz is ambiguous"), std::string::npos) << named.err;
    EXPECT_NE(named.err.find("114.85 MHz: station KLO (Kloten, CH);"), std::string::npos) << named.err;
    EXPECT_NE(named.err.find("113.2 MHz: station HOC (Hochwald, CH)"), std::string::npos) << named.err;
    std::remove(path.c_str());
}

TEST(Span, StationsInTurnOnTheDongle) {
    // KLO (114.85) and ZUE (110.05) are 4.8 MHz apart: the dongle takes them
    // in turn, a file per tuning from the stand-in.
    const double lat = 47.40, lon = 8.70;  // KLO 118.02, ZUE 202.57
    const std::string pattern = temp("turn-%u.cu8"), log = temp("turn.log");
    const std::string klo = temp("turn-114800000.cu8"), zue = temp("turn-110000000.cu8");
    ASSERT_TRUE(vorgen({"-r", "118.02", "-t", "2.5", "-n", "55", "-S", "7", "-o", klo}));
    ASSERT_TRUE(vorgen({"-r", "202.57", "-t", "2.5", "-n", "55", "-S", "8", "-o", zue}));
    Child c = start(program(NAVDIAL_BIN, {"-a", "110.05", "-P", "47.4,8.7", "114.85"}),
                    {"LD_LIBRARY_PATH=" FAKE_DIR, "FAKE_RTLSDR_IQ=" + pattern, "FAKE_RTLSDR_LOG=" + log});
    const bool got = waitForLines(c, 6, 60);
    kill(c.pid, SIGTERM);
    const Outcome r = finish(c);
    ASSERT_TRUE(got) << r.out << r.err;
    const std::vector<std::string> out = lines(r.out);
    EXPECT_EQ(out[0].substr(0, 7), "114.85 ");
    EXPECT_NEAR(std::stod(out[0].substr(7)), 118.0, 0.3);
    EXPECT_EQ(out[1].substr(0, 7), "110.05 ");
    EXPECT_NEAR(std::stod(out[1].substr(7)), 202.6, 0.3);
    double err95 = 0;
    const double d = fixError(out[2], lat, lon, err95);
    EXPECT_GE(d, 0) << out[2];
    EXPECT_LT(d, 1000) << out[2];
    // Each turn retunes, empties the buffers and starts a new stream.
    std::ifstream in(log);
    std::vector<std::string> tunes;
    for (std::string l; std::getline(in, l);)
        if (l.rfind("set_center_freq", 0) == 0 || l == "reset_buffer" || l.rfind("read_async", 0) == 0)
            tunes.push_back(l);
    ASSERT_GE(tunes.size(), 9u);
    EXPECT_EQ(tunes[0], "set_center_freq 114800000");
    EXPECT_EQ(tunes[3], "set_center_freq 110000000");
    EXPECT_EQ(tunes[4], "reset_buffer");
    EXPECT_EQ(tunes[5].substr(0, 10), "read_async");
    EXPECT_EQ(tunes[6], "set_center_freq 114800000");
    // A tuner that refuses the next station: said, status 255, the first
    // station's lines kept.
    const Outcome refused =
        navdial({"-a", "110.05", "114.85"}, {"LD_LIBRARY_PATH=" FAKE_DIR, "FAKE_RTLSDR_IQ=" + pattern,
                                             "FAKE_RTLSDR_FAIL=set_center_freq", "FAKE_RTLSDR_FAIL_AFTER=1"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out.substr(0, 7), "114.85 ") << refused.out;
    EXPECT_NE(refused.err.find("could not be tuned to the next station"), std::string::npos) << refused.err;
    for (const std::string &f : {klo, zue, log}) std::remove(f.c_str());
}

}  // namespace
