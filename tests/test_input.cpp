// Recordings from other programs, as a user runs them: vorgen writes the
// same station in each format, rate and centre, navdial reads it back;
// bad files get one line and status 255; the dongle's own layout keeps
// its path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "signal_run.h"
#include "cmdline.h"
#include "input.h"
#include "process.h"

namespace {

std::string temp(const std::string &name) {
    const std::string dir = "/tmp/navdial-in-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    return dir + "/" + name;
}

Outcome navdial(const std::vector<std::string> &args) { return run(program(NAVDIAL_BIN, args)); }

// vorgen with these arguments; false when it failed.
bool vorgen(std::vector<std::string> args) { return run(program(VORGEN_BIN, args)).status == 0; }

std::string mhz(double hz) {
    char b[32];
    std::snprintf(b, sizeof b, "%.6f", hz / 1e6);
    return b;
}

void writeText(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

TEST(Recordings, EveryFormatRateAndCentreDecodes) {
    // The station at 113.1 MHz; file names that carry the rate or the
    // centre are read without -s and -c.
    struct Case {
        std::string format;  // vorgen -F
        int rate;
        int offset;        // station above the centre, Hz
        std::string name;  // "" : x.<format>, given -s and -c
        double radial;
    } cases[] = {
        {"cu8", 250000, -90000, "", 0.0},
        {"cs8", 1024000, 400000, "", 97.3},
        {"cs16", 1800000, -850000, "", 211.7},
        {"cf32", 2400000, 900000, "", 359.9},
        {"cf32", 3200000, -900000, "", 45.0},
        {"cu8", 2000000, -300000, "", 123.4},
        {"cf32", 1800000, 300000, "gqrx_20261208_101500_112800000_1800000_fc.raw", 300.0},
        {"wav16", 2048000, -400000, "baseband_113500000Hz_10-15-00_08-12-2026.wav", 15.5},
        {"wavf", 2400000, 600000, "SDRSharp_20261208_101500Z_112500000Hz_IQ.wav", 270.2},
        {"cs16", 1024000, 200000, "rec.sigmf-data", 180.0},
        {"am", 48000, 0, "audio48k.wav", 88.8},
        {"am", 22050, 0, "audio22k.wav", 333.3},
    };
    for (const auto &c : cases) {
        const std::string path = temp(c.name.empty() ? "x." + c.format : c.name);
        const std::string what =
            c.format + " " + std::to_string(c.rate) + " " + std::to_string(c.offset) + " " + c.name;
        ASSERT_TRUE(vorgen({"-r", std::to_string(c.radial),
                            "-S", "5",
                            "-c", "1500",
                            "-M", "VRN",
                            "-t", "4.2",
                            "-F", c.format,
                            "-R", std::to_string(c.rate),
                            "-O", std::to_string(c.offset),
                            "-f", "113.1",
                            "-o", path}))
            << what;
        std::vector<std::string> args = {"-i", path};
        if (c.name.empty()) args.insert(args.end(), {"-s", std::to_string(c.rate), "-c", mhz(113100000.0 - c.offset)});
        args.push_back("113.1");
        const Outcome r = navdial(args);
        EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
        const std::vector<double> b = bearings(r.out);
        ASSERT_EQ(b.size(), 2u) << what << "\n" << r.out << r.err;
        for (double v : b) EXPECT_LE(std::fabs(angleDiff(v, c.radial)), 0.2) << what << ": read " << v;
        std::remove(path.c_str());
    }
}

TEST(Recordings, NoiseMeasuredThroughTheDownConverter) {
    // The trust measures see the down-converter's noise as it is: C/N0 as
    // generated, whatever the rate.
    for (int rate : {250000, 3200000}) {
        const std::string path = temp("noisy.cs16");
        ASSERT_TRUE(vorgen({"-r", "10", "-S", "3", "-n", "52", "-t", "6.2", "-F", "cs16", "-R", std::to_string(rate),
                            "-O", "60000", "-o", path}));
        const Outcome r = navdial({"-F", "json", "-i", path, "-s", std::to_string(rate), "-c", "113.04", "113.1"});
        std::istringstream lines(r.out);
        int n = 0;
        for (std::string l; std::getline(lines, l); ++n) {
            const auto j = nlohmann::json::parse(l);
            EXPECT_NEAR(j["cn0"].get<double>(), 52.0, 0.8) << rate << ": " << l;
            EXPECT_TRUE(j["clip"].is_null()) << l;  // only bytes clip
        }
        EXPECT_EQ(n, 3) << r.err;
        std::remove(path.c_str());
    }
}

TEST(Recordings, DongleLayoutKeepsItsPath) {
    // Said explicitly or by prefix, the dongle's own layout prints what
    // plain -i prints, byte for byte, noise and slips included.
    const std::string path = temp("dongle.cu8");
    ASSERT_TRUE(vorgen({"-r", "200", "-S", "8", "-n", "47", "-t", "8.2", "-o", path}));
    const Outcome plain = navdial({"-i", path, "113.1"});
    ASSERT_EQ(bearings(plain.out).size(), 4u);
    for (const auto &args : std::vector<std::vector<std::string>>{{"-i", "cu8:" + path, "113.1"},
                                                                  {"-i", path, "-s", "2M", "-c", "113.05", "113.1"}}) {
        const Outcome r = navdial(args);
        EXPECT_EQ(r.out, plain.out) << args[1];
        EXPECT_EQ(r.err, plain.err) << args[1];
    }
    std::remove(path.c_str());
}

TEST(Recordings, RecordedAudioDecodesDirectly) {
    // The VRN files read as AM audio agree with the generator's IQ made of them.
    const char *files[] = {"45.377740N10.880124E-211Deg.wav", "45.392627N10.905900E-181Deg.wav",
                           "45.409503N10.883784E-275Deg.wav", "45.412321N10.900993E-322Deg.wav",
                           "45.418328N10.930478E-58Deg.wav"};
    for (const char *f : files) {
        const std::string wav = std::string(TEST_DATA) + "/vrn/" + f, iq = temp("vrn.cu8");
        ASSERT_TRUE(vorgen({"-w", wav, "-o", iq}));
        const std::vector<double> direct = bearings(navdial({"-i", wav, "113.1"}).out);
        const std::vector<double> viaIq = bearings(navdial({"-i", iq, "113.1"}).out);
        ASSERT_EQ(direct.size(), viaIq.size()) << f;
        ASSERT_FALSE(direct.empty()) << f;
        for (size_t k = 0; k < direct.size(); ++k)
            EXPECT_LE(std::fabs(angleDiff(direct[k], viaIq[k])), 0.3) << f << " line " << k;
        std::remove(iq.c_str());
    }
}

TEST(Recordings, BadInputGetsOneLineAndStatus255) {
    const std::string cf = temp("ok.cf32"), mono = temp("mono.wav");
    ASSERT_TRUE(vorgen({"-t", "0.5", "-F", "cf32", "-R", "1800000", "-o", cf}));
    ASSERT_TRUE(vorgen({"-t", "3", "-F", "am", "-R", "48000", "-o", mono}));
    std::ifstream in(mono, std::ios::binary);
    const std::string wavBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    writeText(temp("text.wav"), "not a sound file\n");
    writeText(temp("empty.cs16"), "");
    writeText(temp("short.cf32"), std::string(7, '\0'));
    writeText(temp("header.wav"), wavBytes.substr(0, 30));
    writeText(temp("real.sigmf-meta"), R"({"global": {"core:datatype": "rf32_le", "core:sample_rate": 48000}})");
    writeText(temp("nocentre.sigmf-meta"), R"({"global": {"core:datatype": "cf32_le", "core:sample_rate": 1e6}})");
    writeText(temp("nonsense.sigmf-meta"), "[1, 2");
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"-i", "xyz:" + cf}, "unknown format 'xyz'"},
        {{"-i", cf}, "the sample rate is not known"},
        {{"-i", cf, "-s", "1.8M"}, "the centre frequency the recording was tuned to is not known"},
        {{"-i", cf, "-s", "1.8M", "-c", "112.0"}, "113.100 MHz is outside the recording"},
        {{"-i", cf, "-s", "100k", "-c", "113.0"}, "outside what navdial reads (225 kS/s to 3.2 MS/s)"},
        {{"-i", temp("empty.cs16"), "-s", "1M", "-c", "113"}, "holds no samples"},
        {{"-i", temp("short.cf32"), "-s", "1M", "-c", "113"}, "holds no samples"},
        {{"-i", temp("header.wav")}, "not a readable WAV file"},
        {{"-i", temp("text.wav")}, "not a readable WAV file"},
        {{"-i", temp("missing.wav")}, "cannot open"},
        {{"-i", temp("real.sigmf-meta")}, "core:datatype \"rf32_le\" is not one navdial reads"},
        {{"-i", temp("nocentre.sigmf-meta")}, "nocentre.sigmf-meta: the centre frequency"},
        {{"-i", temp("nonsense.sigmf-meta")}, "not a SigMF meta file"},
        {{"-i", temp("x.sigmf")}, "a SigMF archive"},
        {{"-i", "wav:-"}, "standard input can carry raw IQ"},
        {{"-i", "/tmp", "-s", "1M", "-c", "113"}, "/tmp: is a directory"},
    };
    for (auto c : cases) {
        c.args.push_back("113.1");
        const Outcome r = navdial(c.args);
        EXPECT_EQ(r.status, 255) << c.args[1];
        EXPECT_EQ(r.out, "") << c.args[1];
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args[1] << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
    // A WAV neither IQ nor audio, from the WAV header alone.
    const std::string stereo = temp("stereo.wav");
    ASSERT_TRUE(vorgen({"-t", "0.5", "-F", "wav16", "-R", "48000", "-o", stereo}));
    const Outcome r = navdial({"-i", stereo, "-c", "113", "113.1"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("too slow for IQ"), std::string::npos) << r.err;
}

std::string readBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Recordings, CutFilesDecodeWhatTheyHold) {
    // A recording cut short is the user's data: what it holds is decoded,
    // what is missing or left over is said once, and it ends as a whole one.
    // The stations are the same, so the bearings are the whole file's first.
    const std::string wav = temp("whole.wav"), cf = temp("whole.cf32"), cu = temp("whole.cu8");
    ASSERT_TRUE(vorgen({"-r", "77.7", "-t", "6.5", "-S", "5", "-F", "wav16", "-R", "1000000", "-o", wav}));
    ASSERT_TRUE(vorgen({"-r", "77.7", "-t", "4.5", "-S", "5", "-F", "cf32", "-R", "1000000", "-o", cf}));
    ASSERT_TRUE(vorgen({"-r", "77.7", "-t", "4.5", "-S", "5", "-o", cu}));
    const std::string wavBytes = readBytes(wav);
    // 44 header bytes, then 4-byte frames at 1 MS/s: 2.6 s kept, 3.9 s missing.
    struct Case {
        std::string name, bytes;
        std::vector<std::string> args;
        size_t lines;      // bearings from what is held
        std::string says;  // the one notice
    } cases[] = {
        {"cut.wav",
         wavBytes.substr(0, 44 + 4 * 2600000),
         {"-c", "113.05"},
         1,
         "cut.wav: cut short: 3.900 s of signal less than its header says; decoding the 2.600 s it holds"},
        {"odd.cf32",
         readBytes(cf) + "abc",
         {"-s", "1M", "-c", "113.05"},
         2,
         "odd.cf32: cut short: the last 3 of its 36000003 bytes are not a whole 8-byte cf32 sample; left out"},
        {"odd.cu8",
         readBytes(cu) + "x",
         {},
         2,
         "odd.cu8: cut short: the last byte of its 18000001 is not a whole 2-byte cu8 sample; left out"},
    };
    for (const auto &c : cases) {
        const std::string whole = c.name == "cut.wav" ? wav : c.name == "odd.cf32" ? cf : cu;
        const std::string path = temp(c.name);
        writeText(path, c.bytes);
        std::vector<std::string> args{"-i", path};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("113.1");
        std::vector<std::string> wholeArgs = args;
        wholeArgs[1] = whole;
        const Outcome r = navdial(args), w = navdial(wholeArgs);
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, "navdial: " + path + ": " + c.says.substr(c.name.size() + 2) + "\n") << c.name;
        const std::vector<double> got = bearings(r.out), full = bearings(w.out);
        ASSERT_EQ(got.size(), c.lines) << c.name << ": " << r.out;
        ASSERT_GE(full.size(), got.size()) << c.name;
        for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], full[k]) << c.name << " line " << k;
        std::remove(path.c_str());
    }
    for (const std::string &f : {wav, cf, cu}) std::remove(f.c_str());
}

TEST(Recordings, RatesFrequenciesAndNames) {
    struct {
        const char *text;
        bool ok;
        double hz;
    } rates[] = {{"2048000", true, 2048000}, {"1.8M", true, 1800000}, {"250k", true, 250000}, {"1.8", true, 1.8},
                 {"abc", false, 0},          {"-5", false, 0},        {"2M5", false, 0},      {"", false, 0}};
    for (const auto &c : rates) {
        double hz = 0;
        EXPECT_EQ(parseRate(c.text, hz), c.ok) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(hz, c.hz) << c.text;
        }
    }
    struct {
        const char *text;
        bool ok;
        double hz;
    } freqs[] = {
        {"113.0", true, 113e6},   {"112.85", true, 112.85e6}, {"113M", true, 113e6}, {"113000000Hz", true, 113e6},
        {"113000k", true, 113e6}, {"113 MHz", false, 0},      {"x", false, 0}};
    for (const auto &c : freqs) {
        double hz = 0;
        EXPECT_EQ(parseFrequency(c.text, hz), c.ok) << c.text;
        if (c.ok) {
            EXPECT_NEAR(hz, c.hz, 1e-3) << c.text;
        }
    }
    struct {
        const char *name;
        double rate, centre;
    } names[] = {
        {"/data/gqrx_20261208_101500_112800000_1800000_fc.raw", 1800000, 112800000},
        {"baseband_113500000Hz_10-15-00_08-12-2026.wav", 0, 113500000},
        {"SDRSharp_20261208_101500Z_112500000Hz_IQ.wav", 0, 112500000},
        {"gqrx_20261208_101500_112800000_1800000.raw", 0, 0},  // not gqrx's IQ name
        {"test_100Hz.cu8", 0, 0},                              // raw files keep their defaults
        {"tone_1000Hz.wav", 0, 0},                             // not a radio frequency
    };
    for (const auto &c : names) {
        const nameFacts f = factsFromName(c.name);
        EXPECT_EQ(f.rate, c.rate) << c.name;
        EXPECT_EQ(f.centreHz, c.centre) << c.name;
    }
}

}  // namespace

TEST(Recordings, SeveralStationsInOneStream) {
    // vorgen -A puts more stations in the stream, each at its level; each
    // decodes at its own frequency, with its radial and its C/N0.
    const std::string path = temp("multi.cf32");
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
                        "-o", path}));
    struct Case {
        const char *mhz;
        double radial, cn0;
    } cases[] = {{"113.0", 123.4, 55}, {"113.6", 45.5, 52}, {"112.35", 300.2, 49}};
    for (const auto &c : cases) {
        const Outcome r = navdial({"-w", "-F", "json", "-i", path, "-s", "2.4M", "-c", "112.9", c.mhz});
        std::istringstream lines(r.out);
        int n = 0;
        for (std::string l; std::getline(lines, l); ++n) {
            const auto j = nlohmann::json::parse(l);
            EXPECT_NEAR(angleDiff(j["radial"].get<double>(), c.radial), 0.0, 1.5) << c.mhz << ": " << l;
            EXPECT_NEAR(j["cn0"].get<double>(), c.cn0, 1.5) << c.mhz << ": " << l;
        }
        EXPECT_EQ(n, 2) << c.mhz << ": " << r.err;
    }
    std::remove(path.c_str());
}
