// The feeds for other programs: the fix as NMEA 0183, read by the real
// gpsd; windows, fixes and the status over MQTT, through the real mosquitto.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#if NAVDIAL_HAVE_MQTT
#include <mosquitto.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "input.h"
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

// A recording's sentences take their time from its start, where its name
// says it in UTC; local times (gqrx's) and names without one give none.
TEST(Nmea, RecordingStartFromItsName) {
    struct Case {
        const char *name;
        double utc;  // NaN: none
    } cases[] = {
        {"SDRSharp_20261209_143000Z_113100000Hz_IQ.wav", 1796826600},
        {"/data/VOR_20261209_143000Z_114000000Hz.cu8", 1796826600},
        {"gqrx_20261209_143000_113100000_2000000_fc.raw", NAN},
        {"station.cu8", NAN},
        {"x_20261309_143000Z_y.cu8", NAN},  // month 13
    };
    for (const Case &c : cases) {
        const double got = factsFromName(c.name).startUtc;
        if (std::isnan(c.utc)) {
            EXPECT_TRUE(std::isnan(got)) << c.name << " " << got;
        } else {
            EXPECT_EQ(got, c.utc) << c.name;
        }
    }
}

namespace {

// KLO and HOC near Zurich (a fix every window), `seconds` long.
bool zurich(const std::string &rec, const char *seconds) {
    return run(program(VORGEN_BIN, {"-r", "242.22", "-t", seconds, "-n", "55", "-S", "5", "-f", "114.85", "-O",
                                    "850000", "-A", "113.2:119.28:0", "-o", rec}))
               .status == 0;
}

// navdial replaying it at signal speed, its fixes as NMEA on port.
Child replayWithNmea(const std::string &rec, int port) {
    return start(program(NAVDIAL_BIN, {"--nmea", std::to_string(port), "--throttle", "-i", rec, "-c", "114.0", "-a",
                                       "113.2", "-P", "47.3,8.1", "114.85"}));
}

}  // namespace

// A recording's last fix reaches a client too: navdial's exit sends what
// is queued before it ends.
TEST(Nmea, EveryFixReachesAClient) {
    const std::string rec = temp("last.cu8");
    ASSERT_TRUE(zurich(rec, "6.3"));
    const int port = freePort();
    Child nav = replayWithNmea(rec, port);
    ASSERT_TRUE(waitForServer(port, 10));
    const int fd = connectTo(port);
    const std::string got = readUntil(fd, "never", 15);  // until navdial closes it
    close(fd);
    const Outcome o = finish(nav);
    size_t fixes = 0, gga = 0;
    for (size_t at = 0; (at = o.out.find("fix ", at)) != std::string::npos; ++at) ++fixes;
    for (size_t at = 0; (at = got.find("GGA,", at)) != std::string::npos; ++at) ++gga;
    EXPECT_GE(fixes, 2u) << o.out << o.err;
    EXPECT_EQ(gga, fixes) << got;
}

// navdial replays two stations with --nmea; the real gpsd reads it as a
// network source and reports navdial's fixes as 2-D positions, with the
// error figures of GST, and no position before the first fix.
TEST(Nmea, GpsdTakesTheFix) {
    ASSERT_EQ(access("/usr/sbin/gpsd", X_OK), 0) << "gpsd (Debian's package) is needed";
    const std::string rec = temp("zh.cu8");
    ASSERT_TRUE(zurich(rec, "8.3"));
    const int nmeaPort = freePort();
    Child nav = replayWithNmea(rec, nmeaPort);
    ASSERT_TRUE(waitForServer(nmeaPort, 10));
    // The port is now taken: one line and status 1 for a second navdial.
    const Outcome taken = run(program(NAVDIAL_BIN, {"--nmea", std::to_string(nmeaPort), "-i", rec, "114.85"}));
    EXPECT_EQ(taken.status, 1);
    EXPECT_EQ(taken.err, "navdial: --nmea 127.0.0.1:" + std::to_string(nmeaPort) + ": Address already in use\n");
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

#if NAVDIAL_HAVE_MQTT
namespace {

// A broker (Debian's mosquitto) on free loopback ports: `port` plain, and
// with `tls` a second listener with the test certificate.
struct broker {
    Child proc;
    int port = 0, tlsPort = 0;
    std::string conf;
};

bool startBroker(broker &b, const std::string &tlsDir = "") {
    if (!b.port) b.port = freePort();
    b.conf = temp("mosquitto" + std::to_string(b.port) + ".conf");
    std::ofstream c(b.conf);
    c << "per_listener_settings false\nallow_anonymous true\npersistence false\nlistener " << b.port << " 127.0.0.1\n";
    if (!tlsDir.empty()) {
        if (!b.tlsPort) b.tlsPort = freePort();
        c << "listener " << b.tlsPort << " 127.0.0.1\ncafile " << tlsDir << "/ca.pem\ncertfile " << tlsDir
          << "/server.pem\nkeyfile " << tlsDir << "/server.key\n";
    }
    c.close();
    b.proc = start({"/usr/sbin/mosquitto", "-c", b.conf});
    return waitForServer(b.port, 10) && (tlsDir.empty() || waitForServer(b.tlsPort, 10));
}

void stopBroker(broker &b) {
    kill(b.proc.pid, SIGTERM);
    finish(b.proc);
}

// A subscriber to navdial/#, reconnecting by itself, keeping every message.
struct subscriber {
    mosquitto *m = nullptr;
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> got;  // topic, payload (" (retained)" marked)
    std::vector<std::pair<std::string, std::string>> take() {
        std::lock_guard<std::mutex> g(lock);
        return got;
    }
};

void subscribe(subscriber &s, int port) {
    mosquitto_lib_init();
    s.m = mosquitto_new(nullptr, true, &s);
    mosquitto_connect_callback_set(s.m,
                                   [](mosquitto *m, void *, int) { mosquitto_subscribe(m, nullptr, "navdial/#", 1); });
    mosquitto_message_callback_set(s.m, [](mosquitto *, void *u, const mosquitto_message *msg) {
        auto &me = *static_cast<subscriber *>(u);
        std::lock_guard<std::mutex> g(me.lock);
        me.got.emplace_back(msg->topic,
                            std::string(static_cast<const char *>(msg->payload), static_cast<size_t>(msg->payloadlen)) +
                                (msg->retain ? " (retained)" : ""));
    });
    mosquitto_reconnect_delay_set(s.m, 1, 1, false);
    mosquitto_connect(s.m, "127.0.0.1", port, 10);
    mosquitto_loop_start(s.m);
}

void unsubscribe(subscriber &s) {
    mosquitto_disconnect(s.m);
    mosquitto_loop_stop(s.m, true);
    mosquitto_destroy(s.m);
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

std::vector<std::string> payloads(const std::vector<std::pair<std::string, std::string>> &got,
                                  const std::string &topic) {
    std::vector<std::string> v;
    for (const auto &g : got)
        if (g.first == topic) v.push_back(g.second);
    return v;
}

void wait(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

}  // namespace

// Each window's object on its topic is the -F json line; the status is
// online (retained) while navdial runs, offline after a clean exit, and
// offline by the last will when it is killed.
TEST(Mqtt, WindowsStatusAndWill) {
    const std::string rec = temp("mq.cu8");
    ASSERT_EQ(run(program(VORGEN_BIN, {"-r", "77", "-t", "6.3", "-n", "60", "-S", "7", "-o", rec})).status, 0);
    broker b;
    ASSERT_TRUE(startBroker(b));
    subscriber s;
    subscribe(s, b.port);
    wait(0.5);
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(b.port);
    Child nav = start(program(NAVDIAL_BIN, {"-F", "json", "--mqtt", url, "--throttle", "-i", rec, "113.1"}));
    wait(2);
    subscriber late;  // comes in later: the retained status tells it
    subscribe(late, b.port);
    const Outcome o = finish(nav);
    wait(0.5);
    const auto got = s.take();
    EXPECT_EQ(payloads(got, "navdial/113.10/window"), lines(o.out));
    EXPECT_EQ(payloads(got, "navdial/status"), (std::vector<std::string>{"online", "offline"}));
    EXPECT_EQ(payloads(late.take(), "navdial/status").at(0), "online (retained)");
    unsubscribe(late);
    // Killed: the broker says offline for it.
    Child killed = start(program(NAVDIAL_BIN, {"--mqtt", url, "--throttle", "-i", rec, "113.1"}));
    wait(1.5);
    kill(killed.pid, SIGKILL);
    finish(killed);
    wait(1);
    const auto after = payloads(s.take(), "navdial/status");
    EXPECT_EQ(after.back(), "offline");
    EXPECT_EQ(after.size(), 4u);
    unsubscribe(s);
    stopBroker(b);
}

// The broker goes away for 5 s: navdial prints every window as without
// it, says so once, comes back by itself and publishes again.
TEST(Mqtt, BrokerAwayCostsNoBearing) {
    const std::string rec = temp("away.cu8");
    ASSERT_EQ(run(program(VORGEN_BIN, {"-r", "300", "-t", "14.5", "-n", "60", "-S", "8", "-o", rec})).status, 0);
    const Outcome plain = run(program(NAVDIAL_BIN, {"-l", "1", "-i", rec, "113.1"}));
    broker b;
    ASSERT_TRUE(startBroker(b));
    subscriber s;
    subscribe(s, b.port);
    wait(0.5);
    Child nav = start(program(NAVDIAL_BIN, {"-l", "1", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(b.port),
                                            "--throttle", "-i", rec, "113.1"}));
    wait(3);
    stopBroker(b);
    wait(5);
    ASSERT_TRUE(startBroker(b));
    const Outcome o = finish(nav);
    EXPECT_EQ(o.out, plain.out);
    EXPECT_NE(o.err.find("navdial: MQTT broker 127.0.0.1:" + std::to_string(b.port) + " lost"), std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find(" is back"), std::string::npos) << o.err;
    // Windows published after the broker came back.
    double last = 0;
    for (const std::string &p : payloads(s.take(), "navdial/113.10/window"))
        last = std::max(last, json::parse(p, nullptr, false).value("t", 0.0));
    EXPECT_GT(last, 12.0);
    unsubscribe(s);
    stopBroker(b);
}

// mqtts:// with the broker's test certificate, and the messages a bad URL
// or CA file gets.
TEST(Mqtt, TlsAndMistakes) {
    ASSERT_EQ(access("/usr/bin/openssl", X_OK), 0) << "openssl makes the test certificate";
    const std::string dir = temp("tls");
    run({"/bin/mkdir", "-p", dir});
    ASSERT_EQ(run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=navdial test CA", "-keyout", dir + "/ca.key", "-out", dir + "/ca.pem"})
                  .status,
              0);
    ASSERT_EQ(run({"/usr/bin/openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                   dir + "/server.key", "-out", dir + "/server.csr"})
                  .status,
              0);
    std::ofstream(dir + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
    ASSERT_EQ(run({"/usr/bin/openssl", "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem", "-CAkey",
                   dir + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile", dir + "/san.ext", "-out",
                   dir + "/server.pem"})
                  .status,
              0);
    // Readable to the broker, which drops root for its own user.
    run({"/bin/chmod", "644", dir + "/server.key", dir + "/ca.pem", dir + "/server.pem"});
    const std::string rec = temp("tls.cu8");
    ASSERT_EQ(run(program(VORGEN_BIN, {"-r", "10", "-t", "4.3", "-n", "60", "-S", "9", "-o", rec})).status, 0);
    broker b;
    ASSERT_TRUE(startBroker(b, dir));
    subscriber s;
    subscribe(s, b.port);
    wait(0.5);
    const Outcome o =
        run(program(NAVDIAL_BIN, {"-F", "json", "--mqtt", "mqtts://127.0.0.1:" + std::to_string(b.tlsPort), "--mqtt-ca",
                                  dir + "/ca.pem", "--throttle", "-i", rec, "113.1"}));
    wait(0.5);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(payloads(s.take(), "navdial/113.10/window"), lines(o.out));
    unsubscribe(s);
    stopBroker(b);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--mqtt", "http://x"},
         "navdial: --mqtt needs a URL such as mqtt://host:1883/navdial or mqtts://user@host, not 'http://x'\n"},
        {{"--mqtt", "mqtt://u:pw@host"},
         "navdial: --mqtt needs a URL such as mqtt://host:1883/navdial or mqtts://user@host, not 'mqtt://u:pw@host'\n"},
        {{"--mqtt", "mqtts://127.0.0.1:1", "--mqtt-ca", dir + "/none.pem"},
         "navdial: --mqtt-ca " + dir + "/none.pem: cannot be read\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", rec, "113.1"});
        const Outcome r = run(program(NAVDIAL_BIN, args));
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    // A broker that is not there: a warning, and the bearings as ever.
    const Outcome away =
        run(program(NAVDIAL_BIN, {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(freePort()), "-i", rec, "113.1"}));
    EXPECT_EQ(away.status, 0);
    EXPECT_EQ(away.out, run(program(NAVDIAL_BIN, {"-i", rec, "113.1"})).out);
    EXPECT_NE(away.err.find("not reached"), std::string::npos) << away.err;
}
#endif  // NAVDIAL_HAVE_MQTT
