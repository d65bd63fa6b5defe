// navdial run as a process: command line, messages and statuses; set-up and
// streaming against a scripted stand-in for librtlsdr; IQ file input.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "signal_run.h"
#include "process.h"

namespace {

const std::string kUsage =
    "navdial, a VOR receiver for RTL2832U dongles\n\n"
    "Usage: navdial [-g gain] [-l interval ] [-p ppm] [-r device] frequency in MHz\n\n"
    " -g gain :\t\t\tgain in tenth of db (ie : 500 = 50 db)\n"
    " -p ppm :\t\t\tppm freq shift\n"
    " -r n :\t\t\trtl device number\n"
    " -l interval :\t\t\ttime between two measurements\n"
    " -i [format:]file :\t\tread a recording instead of a dongle: IQ (cu8, cs8, cs16, cf32,\n"
    "\t\t\t\twav, sigmf) or AM audio (am); '-': 8-bit IQ on standard input\n"
    " -s rate :\t\t\tthe recording's sample rate (2048000, 1.8M)\n"
    " -c MHz :\t\t\tthe frequency the recording was tuned to\n"
    " -F format :\t\t\toutput format: plain (default) or json\n"
    " -w :\t\t\t\tweak-signal estimator: bearings from stations 5 dB weaker\n"
    " -a MHz :\t\t\tanother station, decoded at the same time (repeat for more);\n"
    "\t\t\t\twith two or more, a position fix\n"
    " -P lat,lon :\t\t\trough position: rules out far stations on a frequency\n"
    " -D file :\t\t\tstation file (default: the one installed with navdial)\n"
    " --http [addr:]port :\t\tserve the live page and its data (default address 127.0.0.1)\n"
    " --json-dir dir :\t\twrite state.json, history.json and stations.json there\n"
    " --throttle :\t\t\tread a recording (-i) at the signal's own speed\n"
    " --tiles url :\t\t\tthe map's tiles ({z}/{x}/{y}), for a page with internet\n"
    " --nmea [addr:]port :\t\tthe fix as NMEA 0183 over TCP, for gpsd (usual port 10110)\n"
    " --mqtt url :\t\t\tpublish to a broker: mqtt[s]://[user@]host[:port][/prefix]\n"
    " --mqtt-ca file :\t\tthe CA of an mqtts:// broker (default: the system's)\n"
    " --mqtt-password-file file :\tthe broker's password (or NAVDIAL_MQTT_PASSWORD)\n"
    " --monitor :\t\t\tcheck the station against the ICAO tolerances; the crystal's error\n"
    " --at lat,lon :\t\t\ta surveyed checkpoint: each radial's bias from the geometry\n";

const std::string kOpenFailed =
    "Failed to open rtlsdr device\n"
    "Check that your user may use the dongle (udev rules, plugdev group) and that no other "
    "program, nor the DVB kernel driver dvb_usb_rtl28xxu, holds it.\n";

const std::string kLost =
    "navdial: the sample stream from the dongle ended. Check the cable and the power supply, "
    "and that no other program is using the dongle.\n";

const std::string kStalled =
    "navdial: no samples from the dongle for 5 seconds; it seems wedged. Reset it with replug "
    "(see replug(1)) or plug it in again.\n";

// R820T's gain table, tenths of dB.
const char *kR820T =
    "0,9,14,27,37,77,87,125,144,157,166,197,207,229,254,280,297,328,338,364,372,386,402,421,434,439,445,480,496";

Outcome navdial(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                const std::string &input = "") {
    return run(program(NAVDIAL_BIN, args), env, input);
}

std::string tempPath(const std::string &tag) { return "/tmp/navdial-test-" + std::to_string(getpid()) + "-" + tag; }

std::string readFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Writes the generated station to a file once per radial and length.
std::string iqFile(double radial, double seconds) {
    const std::string path = tempPath("iq-" + std::to_string(radial) + "-" + std::to_string(seconds));
    if (access(path.c_str(), R_OK) != 0) {
        SigParams p;
        p.radial = radial;
        p.seconds = seconds;
        p.seed = 11;
        SigGen g;
        sigInit(g, p);
        std::vector<uint8_t> buf(81920);
        FILE *f = std::fopen(path.c_str(), "wb");
        size_t n;
        while ((n = sigNext(g, buf.data(), buf.size() / 2)) > 0) std::fwrite(buf.data(), 2, n, f);
        std::fclose(f);
    }
    return path;
}

// The stand-in library, with a fresh call log; returns its environment.
struct Fake {
    std::string log = tempPath("log");
    std::vector<std::string> env;
    explicit Fake(std::vector<std::string> extra = {}) {
        std::remove(log.c_str());
        env = {"LD_LIBRARY_PATH=" FAKE_DIR, "FAKE_RTLSDR_LOG=" + log, std::string("FAKE_RTLSDR_GAINS=") + kR820T};
        env.insert(env.end(), extra.begin(), extra.end());
    }
    std::string calls() const { return readFile(log); }
};

TEST(CommandLine, FrequencyChecks) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{}, 254, "need frequency\n"},
        {{"-v", "-g", "300"}, 254, "need frequency\n"},
        {{"107.999999"}, 254, "invalid frequency\n"},
        {{"118.000001"}, 254, "invalid frequency\n"},
        {{"abc"}, 254, "invalid frequency\n"},
        {{"1e12"}, 254, "invalid frequency\n"},
        {{"nan"}, 254, "invalid frequency\n"},
        {{"0"}, 254, "invalid frequency\n"},
    };
    for (const auto &c : cases) {
        const Outcome r = navdial(c.args);
        std::string all;
        for (const auto &a : c.args) all += a + " ";
        EXPECT_EQ(r.status, c.status) << all;
        EXPECT_EQ(r.err, c.err) << all;
        EXPECT_EQ(r.out, "") << all;
    }
}

TEST(CommandLine, BandEdgesAreAccepted) {
    // Accepted frequencies go on to open a dongle: the stand-in has none.
    for (const char *f : {"108", "108.0000001", "113.1", "118"}) {
        const Outcome r = navdial({f}, {"LD_LIBRARY_PATH=" FAKE_DIR, "FAKE_RTLSDR_COUNT=0"});
        EXPECT_EQ(r.status, 255) << f;
        EXPECT_EQ(r.err, "No supported devices found.\n") << f;
    }
}

TEST(CommandLine, UsageAndBadOptions) {
    Outcome r = navdial({"-h", "113.1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
    r = navdial({"-x", "113.1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(NAVDIAL_NAME ": invalid option -- 'x'\n") + kUsage);
    r = navdial({"113.1", "-g"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(NAVDIAL_NAME ": option requires an argument -- 'g'\n") + kUsage);
    EXPECT_EQ(r.out, "");
    // The long options: each mistake one line and status 1, before any dongle.
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--http", "80a", "113.1"}, "navdial: --http needs [address:]port such as 8080 or 0.0.0.0:8080, not '80a'\n"},
        {{"--http", "1.2.3:8080", "113.1"},
         "navdial: --http needs [address:]port such as 8080 or 0.0.0.0:8080, not '1.2.3:8080'\n"},
        {{"--http", "70000", "113.1"},
         "navdial: --http needs [address:]port such as 8080 or 0.0.0.0:8080, not '70000'\n"},
        {{"--throttle", "113.1"}, "navdial: --throttle paces a recording: use it with -i\n"},
        {{"--nothing", "113.1"}, std::string(NAVDIAL_NAME ": unrecognized option '--nothing'\n") + kUsage},
    };
    for (const Case &c : cases) {
        r = navdial(c.args, {"LD_LIBRARY_PATH=" FAKE_DIR});
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST(CommandLine, OptionValuesReachTheDongle) {
    struct Case {
        std::vector<std::string> args;
        std::string want;
    } cases[] = {
        {{"-p", "-3", "113.1"}, "set_freq_correction -3\n"},
        {{"-p", "2a", "113.1"}, "set_freq_correction 2\n"},                    // trailing text ignored
        {{"-p", "99999999999", "113.1"}, "set_freq_correction 2147483647\n"},  // saturates
        {{"-r", "3", "-v", "113.1", "extra"}, "open 3\n"},                     // -v taken, 2nd argument ignored
        {{"118", "-r", "2"}, "open 2\n"},                                      // options after the frequency
        {{"-g", "abc", "113.1"}, "set_tuner_gain 0\n"},                        // not a number: 0
    };
    for (const auto &c : cases) {
        Fake fake({"FAKE_RTLSDR_FAIL=read_async"});
        navdial(c.args, fake.env);
        EXPECT_NE(fake.calls().find(c.want), std::string::npos) << c.args[0] << " " << c.args[1] << "\n"
                                                                << fake.calls();
    }
}

TEST(Dongle, SetUpSequence) {
    Fake fake({"FAKE_RTLSDR_FAIL=read_async"});
    const Outcome r = navdial({"-v", "113.1"}, fake.env);
    EXPECT_EQ(fake.calls(),
              "get_device_count -> 1\n"
              "get_device_name 0\n"
              "open 0\n"
              "set_tuner_gain_mode 1\n"
              "get_tuner_gains NULL -> 29\n"
              "get_tuner_gains list -> 29\n"
              "set_tuner_gain 496\n"
              "set_center_freq 113050000\n"
              "set_sample_rate 2000000\n"
              "reset_buffer\n"
              "read_async 8 81920\n");
    EXPECT_EQ(r.err, "Using device 0: Fake RTL2832U\nTuner gain : 49.600000\n" + kLost);
    EXPECT_EQ(r.status, 255);
}

TEST(Dongle, NearestGain) {
    struct Case {
        const char *gains;
        const char *want;
        const char *wanted;
    } cases[] = {
        {kR820T, "496", "1000"},   {kR820T, "496", "500"},           {kR820T, "0", "0"},
        {kR820T, "280", "270"},    {"100,200", "100", "150"},  // a tie keeps the earlier entry
        {"200,100", "200", "150"}, {"-10,50", "-10", "-2147483648"},
    };
    for (const auto &c : cases) {
        Fake fake({std::string("FAKE_RTLSDR_GAINS=") + c.gains, "FAKE_RTLSDR_FAIL=read_async"});
        navdial({"-g", c.wanted, "113.1"}, fake.env);
        EXPECT_NE(fake.calls().find(std::string("set_tuner_gain ") + c.want + "\n"), std::string::npos)
            << "gains " << c.gains << ", wanted " << c.wanted << "\n"
            << fake.calls();
    }
    // No gains reported (no gain line), or none delivered by the second query: gain 0.
    struct Empty {
        const char *env, *line;
    } empty[] = {{"FAKE_RTLSDR_GAINS=", ""}, {"FAKE_RTLSDR_GAINS2=0", "Tuner gain : 0.000000\n"}};
    for (const auto &e : empty) {
        Fake fake({e.env, "FAKE_RTLSDR_FAIL=read_async"});
        const Outcome r = navdial({"-v", "113.1"}, fake.env);
        EXPECT_NE(fake.calls().find("set_tuner_gain 0\n"), std::string::npos) << e.env;
        EXPECT_EQ(r.err, "Using device 0: Fake RTL2832U\n" + std::string(e.line) + kLost) << e.env;
    }
}

TEST(Dongle, SetUpFailures) {
    Fake none({"FAKE_RTLSDR_COUNT=0"});
    Outcome r = navdial({"113.1"}, none.env);
    EXPECT_EQ(r.err, "No supported devices found.\n");
    EXPECT_EQ(r.status, 255);

    for (const char *how : {"FAKE_RTLSDR_FAIL=open", "FAKE_RTLSDR_OPEN_NULL=1"}) {
        Fake fake({how});
        r = navdial({"113.1"}, fake.env);
        EXPECT_EQ(r.err, kOpenFailed) << how;
        EXPECT_EQ(r.status, 255) << how;
        EXPECT_EQ(fake.calls().find("set_"), std::string::npos) << how;
    }

    // Warnings: set-up goes on, and streaming starts.
    Fake warn(
        {"FAKE_RTLSDR_FAIL=set_tuner_gain,set_freq_correction,set_center_freq,set_sample_rate,"
         "reset_buffer,read_async"});
    r = navdial({"-p", "5", "113.1"}, warn.env);
    EXPECT_EQ(r.err,
              "WARNING: Failed to set gain.\n"
              "WARNING: Failed to set freq. correction\n"
              "WARNING: Failed to set center freq.\n"
              "WARNING: Failed to set sample rate.\n"
              "WARNING: Failed to reset buffers.\n" +
                  kLost);
    EXPECT_NE(warn.calls().find("read_async"), std::string::npos);
    EXPECT_EQ(warn.calls().find("set_freq_correction 0"), std::string::npos);
}

TEST(Dongle, StreamedBearingsAndALostStream) {
    Fake fake({"FAKE_RTLSDR_IQ=" + iqFile(212.5, 4.3)});
    const Outcome r = navdial({"113.1"}, fake.env);
    EXPECT_EQ(r.out, "212.5\n212.5\n");
    EXPECT_EQ(r.err, kLost);
    EXPECT_EQ(r.status, 255);
}

TEST(Dongle, StallEndsThroughTheWatchdog) {
    Fake fake({"FAKE_RTLSDR_IQ=" + iqFile(212.5, 2.2), "FAKE_RTLSDR_END=stall"});
    Outcome r = navdial({"113.1"}, fake.env);
    EXPECT_EQ(r.out, "212.5\n");
    EXPECT_EQ(r.err, kStalled);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(fake.calls().find("cancelled"), std::string::npos);

    // A library that ignores the cancel as well: navdial gives up 5 s later.
    Fake wedged({"FAKE_RTLSDR_IQ=" + iqFile(212.5, 2.2), "FAKE_RTLSDR_END=wedged"});
    r = navdial({"113.1"}, wedged.env);
    EXPECT_EQ(r.out, "212.5\n");
    EXPECT_EQ(r.err, kStalled);
    EXPECT_EQ(r.status, 255);
}

TEST(Dongle, TerminationSignalsKeepEveryLine) {
    // 1 s windows at about four times real time; the signal comes after two lines.
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        Fake fake({"FAKE_RTLSDR_IQ=" + iqFile(33.3, 30), "FAKE_RTLSDR_PACE_MS=5"});
        Child c = start(program(NAVDIAL_BIN, {"-l", "1", "113.1"}), fake.env);
        ASSERT_TRUE(waitForLines(c, 2, 30)) << "signal " << sig << ": " << c.outText << c.errText;
        kill(c.pid, sig);
        const Outcome r = finish(c);
        EXPECT_EQ(r.status, 0) << "signal " << sig;
        EXPECT_EQ(r.err, "") << "signal " << sig;
        // Every window completed in the buffers delivered was printed.
        const std::string calls = fake.calls();
        const size_t at = calls.find("delivered ");
        ASSERT_NE(at, std::string::npos);
        const long buffers = std::stol(calls.substr(at + 10));
        const long lines = (buffers * 1024 - 5000) / 50001;
        std::string want;
        for (long k = 0; k < lines; ++k) want += " 33.3\n";
        EXPECT_EQ(r.out, want) << "signal " << sig << " after " << buffers << " buffers";
    }
}

TEST(Dongle, SignalDuringSetUpEndsAtOnce) {
    // Nothing has been printed yet: the process ends with 0 before streaming.
    Fake fake({"FAKE_RTLSDR_IQ=" + iqFile(33.3, 30), "FAKE_RTLSDR_OPEN_MS=3000"});
    Child c = start(program(NAVDIAL_BIN, {"113.1"}), fake.env);
    for (int k = 0; k < 1000 && fake.calls().find("open 0") == std::string::npos; ++k) usleep(10000);
    kill(c.pid, SIGTERM);
    const Outcome r = finish(c);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(fake.calls().find("read_async"), std::string::npos) << fake.calls();
}

TEST(Dongle, RealLibraryWithoutADongle) {
    const Outcome r = navdial({"113.1"});
    EXPECT_EQ(r.err, "No supported devices found.\n");
    EXPECT_EQ(r.status, 255);
}

TEST(FileInput, FileAndPipe) {
    const std::string path = iqFile(301.2, 4.3);
    Outcome r = navdial({"-i", path, "113.1"});
    EXPECT_EQ(r.out, "301.2\n301.2\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    r = navdial({"-i", "-", "-l", "1", "113.1"}, {}, readFile(path));
    EXPECT_EQ(r.out, "301.2\n301.2\n301.2\n301.2\n");
    EXPECT_EQ(r.status, 0);

    // Straight from the generator through a pipe that delivers short reads.
    std::string cmd;
    for (const auto &w : program(VORGEN_BIN, {"-r", "77.7", "-t", "4.3"})) cmd += "'" + w + "' ";
    cmd += "|";
    for (const auto &w : program(NAVDIAL_BIN, {"-i", "-", "113.1"})) cmd += " '" + w + "'";
    r = run({"/bin/sh", "-c", cmd});
    EXPECT_EQ(r.out, " 77.7\n 77.7\n");
    EXPECT_EQ(r.status, 0);
}

TEST(FileInput, FrequencyStillCheckedAndMissingFile) {
    Outcome r = navdial({"-i", "/nonexistent/capture.cu8", "113.1"});
    EXPECT_EQ(r.err, "navdial: cannot open /nonexistent/capture.cu8: No such file or directory\n");
    EXPECT_EQ(r.status, 255);
    r = navdial({"-i", "/dev/null", "120"});
    EXPECT_EQ(r.err, "invalid frequency\n");
    EXPECT_EQ(r.status, 254);
    r = navdial({"-i", "/", "113.1"});
    EXPECT_EQ(r.err, "navdial: cannot read /: Is a directory\n");
    EXPECT_EQ(r.status, 255);
    r = navdial({"-i", "/dev/null", "113.1"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
