// navdial's outputs as a user sees them: the plain lines unchanged by the
// measures, the JSON lines read by a real JSON parser, and the notices of
// the validity flag on standard error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "signal_run.h"
#include "process.h"

namespace {

std::string temp(const std::string &tag) { return "/tmp/navdial-out-" + std::to_string(getpid()) + "-" + tag; }

// Appends the generated signal to the file.
void append(const std::string &path, const SigParams &p) {
    SigGen g;
    sigInit(g, p);
    std::vector<uint8_t> buf(81920);
    FILE *f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    size_t n;
    while ((n = sigNext(g, buf.data(), buf.size() / 2)) > 0) std::fwrite(buf.data(), 2, n, f);
    std::fclose(f);
}

SigParams station(double cn0, double seconds, bool carrier = true) {
    SigParams p;
    p.radial = 123.4;
    p.cn0 = cn0;
    p.seed = 21;
    p.seconds = seconds;
    p.carrier = carrier;
    p.ident = true;
    return p;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);) v.push_back(l);
    return v;
}

Outcome navdial(const std::vector<std::string> &args) { return run(program(NAVDIAL_BIN, args)); }

TEST(Output, MeasuresLeaveThePlainLinesAlone) {
    // Down to where windows slip, with the ident tone: the bytes the estimator
    // prints without any measures.
    for (double cn0 : {60.0, 47.0}) {
        const std::string path = temp("plain");
        std::remove(path.c_str());
        const SigParams p = station(cn0, 8.2);
        append(path, p);
        EXPECT_EQ(navdial({"-i", path, "113.1"}).out, runChain(p)) << cn0 << " dB-Hz";
        std::remove(path.c_str());
    }
}

TEST(Output, JsonLinesAndTheFlagsNotices) {
    // A station, 6 s of noise without it, then the station again; with
    // either estimator the same lines, fields and timing.
    const std::string path = temp("json");
    std::remove(path.c_str());
    append(path, station(60, 4.2));
    append(path, station(60, 6.0, false));
    append(path, station(60, 6.2));
    for (const std::vector<std::string> &estimator : {std::vector<std::string>{}, std::vector<std::string>{"-w"}}) {
        const std::string which = estimator.empty() ? "default" : "-w";
        std::vector<std::string> args = estimator, jsonArgs = estimator;
        args.insert(args.end(), {"-i", path, "113.1"});
        jsonArgs.insert(jsonArgs.end(), {"-F", "json", "-i", path, "113.1"});
        const Outcome plain = navdial(args);
        const Outcome json = navdial(jsonArgs);
        ASSERT_EQ(plain.status, 0) << which;
        ASSERT_EQ(json.status, 0) << which;

        const auto want = lines(plain.out), got = lines(json.out);
        ASSERT_EQ(got.size(), 8u) << which;
        ASSERT_EQ(want.size(), got.size()) << which;
        const std::set<std::string> keys = {"t",         "freq",         "radial",     "valid", "reasons",
                                            "sigma",     "cn0",          "level_dbfs", "clip",  "var_depth",
                                            "sub_depth", "deviation_hz", "slip",       "ident", "ident_heard"};
        std::string flags;
        for (size_t k = 0; k < got.size(); ++k) {
            const auto j = nlohmann::json::parse(got[k]);
            std::set<std::string> have;
            for (const auto &item : j.items()) have.insert(item.key());
            EXPECT_EQ(have, keys) << got[k];  // no "time": the samples came from a file
            char radial[16];
            std::snprintf(radial, sizeof radial, "%5.1f", j["radial"].get<double>());
            EXPECT_EQ(radial, want[k]) << which << ": " << got[k];
            EXPECT_NEAR(j["t"].get<double>(), 2.10002 + 2.00002 * static_cast<double>(k), 1e-9);
            EXPECT_EQ(j["freq"].get<double>(), 113.1);
            EXPECT_EQ(j["valid"].get<bool>(), j["reasons"].empty()) << got[k];
            EXPECT_TRUE(j["ident"].is_null());
            if (j["valid"].get<bool>()) {
                EXPECT_NEAR(angleDiff(j["radial"].get<double>(), 123.4), 0.0, 0.5) << which;
            }
            flags += j["valid"].get<bool>() ? 'v' : '-';
        }
        // Valid; the three windows of noise and the one that holds the
        // station's return at 10.2 s (the weak-signal estimator reads that
        // one, 1.9 s of station, right); valid again, and right again.
        EXPECT_EQ(flags, estimator.empty() ? "vv----vv" : "vv---vvv") << which;
        for (const Outcome *o : {&plain, &json}) {
            const auto err = lines(o->err);
            ASSERT_EQ(err.size(), 2u) << which << ": " << o->err;
            EXPECT_EQ(err[0].rfind("navdial: bearing not valid (", 0), 0u) << err[0];
            EXPECT_EQ(err[1].rfind("navdial: bearing valid again: C/N0 ", 0), 0u) << err[1];
        }
    }
    std::remove(path.c_str());
}

TEST(Output, TheIdentInJsonAndOnStandardError) {
    SigParams p = station(55, 0);
    p.ident = false;
    p.morse = "KLO";
    p.wpm = 10;
    p.identPeriod = morseSeconds("KLO", 10) + 1.5;
    p.identStart = 0.4;
    p.seconds = 0.4 + 3 * p.identPeriod;
    const std::string path = temp("ident");
    std::remove(path.c_str());
    append(path, p);
    const Outcome r = navdial({"-F", "json", "-i", path, "113.1"});
    const Outcome plain = navdial({"-i", path, "113.1"});
    std::remove(path.c_str());
    ASSERT_EQ(r.status, 0);
    const auto got = lines(r.out);
    ASSERT_GE(got.size(), 8u);
    // null until confirmed, then the letters, and never anything else.
    bool named = false;
    for (const auto &l : got) {
        const auto j = nlohmann::json::parse(l);
        if (j["ident"].is_null()) {
            EXPECT_FALSE(named) << l;
        } else {
            EXPECT_EQ(j["ident"].get<std::string>(), "KLO") << l;
            named = true;
        }
    }
    EXPECT_TRUE(named);
    EXPECT_EQ(r.err, "navdial: station ident KLO\n");
    EXPECT_EQ(plain.err, "navdial: station ident KLO\n");
    EXPECT_EQ(plain.out, runChain(p));  // the default output is untouched
}

TEST(Output, UnknownFormatIsABadOption) {
    const Outcome r = navdial({"-F", "xml", "113.1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("navdial: unknown output format 'xml': the formats are plain and json\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Usage: navdial"), std::string::npos);
    EXPECT_EQ(r.out, "");
}

}  // namespace
