// The web page and its server, as a user meets them: navdial replaying a
// generated recording with --throttle --http, read by raw HTTP requests and
// by a real browser (headless Chromium, driven through its DevTools
// protocol); and the files of --json-dir.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "process.h"

namespace {

using nlohmann::json;
using clk = std::chrono::steady_clock;

std::string temp(const std::string &name) { return ::testing::TempDir() + "navdial_web_" + name; }

bool vorgen(const std::vector<std::string> &args) { return run(program(VORGEN_BIN, args)).status == 0; }

void stop(Child &c) {
    if (c.pid > 0) kill(c.pid, SIGTERM);
    finish(c);
}

// The recording the page tests replay: 14 s of a station keyed KLO, 6 s of
// noise with no carrier (invalid windows), 16 s of the station again.
std::string pageRecording() {
    static std::string path;
    if (!path.empty()) return path;
    const std::string a = temp("p1.cu8"), b = temp("p2.cu8"), c = temp("p3.cu8");
    const std::vector<std::string> station = {"-r", "123", "-M", "KLO", "-W", "10", "-P", "6", "-T", "0.5", "-n", "60"};
    auto with = [&](std::vector<std::string> v, std::vector<std::string> more) {
        v.insert(v.end(), more.begin(), more.end());
        return v;
    };
    if (!vorgen(with(station, {"-t", "14", "-S", "1", "-o", a})) ||
        !vorgen({"-N", "-n", "60", "-t", "6", "-S", "2", "-o", b}) ||
        !vorgen(with(station, {"-t", "16", "-S", "3", "-o", c})))
        return "";
    path = temp("page.cu8");
    std::ofstream out(path, std::ios::binary);
    for (const std::string &p : {a, b, c}) out << std::ifstream(p, std::ios::binary).rdbuf();
    return path;
}

// A page of Chromium driven through the DevTools protocol (a WebSocket).
struct browser {
    Child proc;
    int fd = -1;
    int id = 0;
    std::string profile;

    bool sendText(const std::string &s) {
        std::string f;
        f += static_cast<char>(0x81);  // a whole text frame
        const size_t n = s.size();
        if (n < 126) {
            f += static_cast<char>(0x80 | n);
        } else {
            f += static_cast<char>(0x80 | 127);
            for (int k = 7; k >= 0; --k) f += static_cast<char>((static_cast<uint64_t>(n) >> (8 * k)) & 0xff);
        }
        const char mask[4] = {0x12, 0x34, 0x56, 0x78};  // a client masks what it sends
        f.append(mask, 4);
        for (size_t k = 0; k < n; ++k) f += static_cast<char>(s[k] ^ mask[k % 4]);
        return send(fd, f.data(), f.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(f.size());
    }
    bool readExact(char *b, size_t n) {
        size_t have = 0;
        pollfd p{fd, POLLIN, 0};
        while (have < n) {
            if (poll(&p, 1, 20000) <= 0) return false;
            const ssize_t got = recv(fd, b + have, n - have, 0);
            if (got <= 0) return false;
            have += static_cast<size_t>(got);
        }
        return true;
    }
    bool readMessage(std::string &msg) {
        msg.clear();
        for (;;) {
            unsigned char h[2];
            if (!readExact(reinterpret_cast<char *>(h), 2)) return false;
            uint64_t n = h[1] & 0x7f;
            if (n >= 126) {
                unsigned char e[8];
                const size_t bytes = n == 126 ? 2 : 8;
                if (!readExact(reinterpret_cast<char *>(e), bytes)) return false;
                n = 0;
                for (size_t k = 0; k < bytes; ++k) n = (n << 8) | e[k];
            }
            std::string part(static_cast<size_t>(n), '\0');
            if (n && !readExact(&part[0], part.size())) return false;
            msg += part;
            if (h[0] & 0x80) return true;
        }
    }
    // A method's result (events on the way are passed over).
    json call(const std::string &method, const json &params = json::object()) {
        const int my = ++id;
        if (!sendText(json{{"id", my}, {"method", method}, {"params", params}}.dump())) return nullptr;
        std::string m;
        while (readMessage(m)) {
            const json j = json::parse(m, nullptr, false);
            if (j.is_object() && j.value("id", -1) == my) return j.value("result", json());
        }
        return nullptr;
    }
    // The value of a JavaScript expression in the page.
    json eval(const std::string &expr) {
        const json r = call("Runtime.evaluate", {{"expression", expr}, {"returnByValue", true}});
        return r.is_object() && r.contains("result") ? r["result"].value("value", json()) : json();
    }
};

bool openBrowser(browser &b) {
    const int port = freePort();
    b.profile = temp("chromium" + std::to_string(port));
    b.proc = start({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=" + std::to_string(port),
                    "--user-data-dir=" + b.profile, "--window-size=1000,1400", "about:blank"});
    std::string ws;
    for (int k = 0; k < 200 && ws.empty(); ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const json list = json::parse(get(port, "/json/list"), nullptr, false);
        if (list.is_array())
            for (const json &t : list)
                if (t.value("type", "") == "page") ws = t.value("webSocketDebuggerUrl", "");
    }
    if (ws.empty()) return false;
    const std::string path = ws.substr(ws.find('/', std::string("ws://").size()));
    b.fd = connectTo(port);
    const std::string hs = "GET " + path +
                           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    send(b.fd, hs.data(), hs.size(), MSG_NOSIGNAL);
    std::string reply;
    char c;
    while (reply.find("\r\n\r\n") == std::string::npos && b.readExact(&c, 1)) reply += c;
    return reply.find(" 101 ") != std::string::npos;
}

void closeBrowser(browser &b) {
    if (b.fd >= 0) close(b.fd);
    stop(b.proc);
    run({"/bin/rm", "-rf", b.profile});
}

// NAVDIAL_SCREENSHOT=file.png: the page as the README shows it.
void screenshot(browser &b) {
    if (!getenv("NAVDIAL_SCREENSHOT")) return;
    const json shot = b.call("Page.captureScreenshot", {{"format", "png"}});
    if (!shot.is_object()) return;
    const std::string in = shot.value("data", "");
    std::string png;
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : in) {  // base64
        const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char *at = std::strchr(digits, ch);
        if (!at || !ch) continue;
        acc = (acc << 6) | static_cast<uint32_t>(at - digits);
        if ((bits += 6) >= 8) png += static_cast<char>((acc >> (bits -= 8)) & 0xff);
    }
    std::ofstream(getenv("NAVDIAL_SCREENSHOT"), std::ios::binary) << png;
}

bool haveChromium() { return access("/usr/bin/chromium", X_OK) == 0; }

// What the page shows of its first station, read from the DOM.
const char *const kProbe = R"(JSON.stringify((() => {
  const s = document.querySelector('.station');
  if (!s) return null;
  return { radial: s.querySelector('.radial').dataset.radial, off: s.querySelector('.off').dataset.off,
           ident: s.querySelector('.ident').dataset.ident, dots: s.querySelector('.needle').dataset.dots,
           tofrom: s.dataset.tofrom, fix: document.querySelector('#map').dataset.fix || '',
           ellipse: !!document.querySelector('#map .ellipse') };
})()))";

}  // namespace

TEST(Web, ServerAnswersOnlyWhatItServes) {
    const std::string rec = pageRecording();
    ASSERT_FALSE(rec.empty());
    const int port = freePort();
    Child nav = start(program(NAVDIAL_BIN, {"--http", std::to_string(port), "--throttle", "-i", rec, "113.1"}));
    ASSERT_TRUE(waitForServer(port, 10));
    struct Case {
        const char *request;
        const char *status;
    } cases[] = {
        {"GET / HTTP/1.1\r\n", " 200 "},
        {"HEAD /app.js HTTP/1.1\r\n", " 200 "},
        {"GET /api/state.json HTTP/1.1\r\n", " 200 "},
        {"POST /api/state.json HTTP/1.1\r\nContent-Length: 2\r\n", " 405 "},
        {"PUT /index.html HTTP/1.1\r\nContent-Length: 0\r\n", " 405 "},
        {"DELETE /index.html HTTP/1.1\r\n", " 405 "},
        {"GET /../../../../etc/passwd HTTP/1.1\r\n", " 404 "},
        {"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n", " 404 "},
        {"GET /..%2f..%2fetc%2fpasswd HTTP/1.1\r\n", " 404 "},
        {"GET /nothing.html HTTP/1.1\r\n", " 404 "},
    };
    for (const Case &c : cases) {
        const std::string r = request(port, std::string(c.request) + "Host: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(r.substr(0, r.find("\r\n")).find(c.status) != std::string::npos, true) << c.request << r;
        EXPECT_EQ(r.find("root:"), std::string::npos) << c.request;
    }
    // A request larger than the server takes is refused, not served.
    const std::string big =
        request(port, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(40000, 'a') + "\r\n\r\n");
    EXPECT_EQ(big.find(" 200 "), std::string::npos);
    // A port in use is one line and status 1, before any sample is read.
    const Outcome taken = run(program(NAVDIAL_BIN, {"--http", std::to_string(port), "-i", rec, "113.1"}));
    EXPECT_EQ(taken.status, 1);
    EXPECT_EQ(taken.out, "");
    EXPECT_EQ(taken.err, "navdial: --http 127.0.0.1:" + std::to_string(port) + ": Address already in use\n");
    // Ctrl-C reaches the main thread, not the server's: navdial ends at
    // once, status 0, with every window it decoded out.
    ASSERT_TRUE(waitForLines(nav, 2, 15));
    kill(nav.pid, SIGINT);
    const Outcome o = finish(nav);
    EXPECT_EQ(o.status, 0);
    EXPECT_GE(o.out.size(), 12u);
    EXPECT_EQ(o.out.back(), '\n');
}

// 200 readers of the stream and one that never reads: the radio prints every
// window of the recording, in time, and the clients are served.
TEST(Web, ClientsNeverHoldTheRadio) {
    const std::string rec = temp("clients.cu8");
    ASSERT_TRUE(vorgen({"-r", "200", "-t", "12.5", "-n", "60", "-S", "4", "-o", rec}));
    const Outcome plain = run(program(NAVDIAL_BIN, {"-l", "1", "-i", rec, "113.1"}));
    ASSERT_EQ(plain.status, 0);
    const int port = freePort();
    Child nav =
        start(program(NAVDIAL_BIN, {"-l", "1", "--http", std::to_string(port), "--throttle", "-i", rec, "113.1"}));
    ASSERT_TRUE(waitForServer(port, 10));
    std::vector<int> readers;
    const std::string sub = "GET /api/stream HTTP/1.1\r\nHost: x\r\n\r\n";
    for (int k = 0; k < 201; ++k) {
        const int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        // The last one asks, and then never reads a byte, with a tiny buffer.
        if (k == 200) {
            const int small = 1024;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        send(fd, sub.data(), sub.size(), MSG_NOSIGNAL);
        readers.push_back(fd);
    }
    // Every reader but the last drains what comes.
    std::vector<std::string> seen(200);
    const auto end = clk::now() + std::chrono::seconds(30);
    int left = 1;
    long peakKb = 0;
    while (left > 0 && clk::now() < end) {
        std::vector<pollfd> p;
        for (int k = 0; k < 200; ++k) p.push_back({readers[static_cast<size_t>(k)], POLLIN, 0});
        if (poll(p.data(), p.size(), 200) > 0)
            for (size_t k = 0; k < p.size(); ++k)
                if (p[k].revents & POLLIN) {
                    char b[8192];
                    const ssize_t n = recv(p[k].fd, b, sizeof b, 0);
                    if (n > 0) seen[k].append(b, static_cast<size_t>(n));
                }
        std::ifstream st("/proc/" + std::to_string(nav.pid) + "/status");
        for (std::string line; std::getline(st, line);)
            if (line.rfind("VmHWM:", 0) == 0) peakKb = std::max(peakKb, std::atol(line.c_str() + 6));
        int status;
        left = waitpid(nav.pid, &status, WNOHANG) == 0 ? 1 : 0;
        if (!left) nav.pid = -1;
    }
    ASSERT_EQ(left, 0) << "navdial did not end in time with 201 clients";
    const Outcome o = finish(nav);
    EXPECT_EQ(o.out, plain.out);  // every window, as without the server
    size_t served = 0;
    for (const std::string &s : seen) served += s.find("event: window") != std::string::npos;
    EXPECT_GE(served, 190u);  // the readers got windows
    // Memory stays that of a few buffers a client (13 MB in all here, 7 MB
    // with no client; more under the sanitizers).
    std::printf("navdial's peak resident memory with 201 clients: %ld KiB\n", peakKb);
    EXPECT_LT(peakKb, 128 * 1024);
    for (int fd : readers) close(fd);
}

TEST(Web, JsonDirFilesAreAlwaysWhole) {
    const std::string rec = temp("dir.cu8");
    ASSERT_TRUE(vorgen({"-r", "45", "-t", "6.5", "-n", "60", "-S", "6", "-o", rec}));
    const std::string dir = temp("jsondir");
    run({"/bin/rm", "-rf", dir});
    run({"/bin/mkdir", "-p", dir});
    Child nav = start(program(NAVDIAL_BIN, {"-l", "1", "--json-dir", dir, "-i", rec, "113.1"}));
    // Read as fast as possible while navdial writes: every read parses.
    int reads = 0, bad = 0;
    const auto end = clk::now() + std::chrono::seconds(20);
    int status = 0;
    while (clk::now() < end && waitpid(nav.pid, &status, WNOHANG) == 0) {
        for (const char *f : {"/state.json", "/history.json", "/stations.json"}) {
            std::ifstream in(dir + f);
            if (!in) continue;
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            ++reads;
            bad += json::parse(text, nullptr, false).is_discarded();
        }
    }
    nav.pid = -1;
    finish(nav);
    EXPECT_GT(reads, 100);
    EXPECT_EQ(bad, 0);
    const json state = json::parse(std::ifstream(dir + "/state.json"), nullptr, false);
    ASSERT_TRUE(state.is_object());
    EXPECT_NEAR(state["stations"][0]["window"]["radial"].get<double>(), 45.0, 0.5);
    const json hist = json::parse(std::ifstream(dir + "/history.json"), nullptr, false);
    EXPECT_EQ(hist["stations"][0]["windows"].size(), 6u);
    // A directory that cannot be written: one line, status 1.
    const Outcome r = run(program(NAVDIAL_BIN, {"--json-dir", "/proc/none", "-i", rec, "113.1"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

// The page in a real browser, against navdial replaying the recording at
// signal speed: the digits, the OFF flag through the invalid stretch, the
// ident, the needle against the OBS.
TEST(Web, PageShowsTheStationAsAnIndicator) {
    ASSERT_TRUE(haveChromium()) << "the page is tested in Debian's chromium";
    const std::string rec = pageRecording();
    ASSERT_FALSE(rec.empty());
    const int port = freePort();
    Child nav = start(program(NAVDIAL_BIN, {"--http", std::to_string(port), "--throttle", "-i", rec, "113.1"}));
    ASSERT_TRUE(waitForServer(port, 10));
    browser b;
    ASSERT_TRUE(openBrowser(b));
    b.call("Page.navigate", {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
    bool sawOff = false, clearedAfter = false, sawIdent = false, digitsMatch = false;
    int compared = 0;
    const auto end = clk::now() + std::chrono::seconds(45);
    while (clk::now() < end && !clearedAfter) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const json before = json::parse(get(port, "/api/state.json"), nullptr, false);
        const json shown = json::parse(b.eval(kProbe).get<std::string>(), nullptr, false);
        const json after = json::parse(get(port, "/api/state.json"), nullptr, false);
        if (!shown.is_object() || !after.is_object() || after["stations"][0]["window"].is_null()) continue;
        const json &w0 = before["stations"][0]["window"], &w1 = after["stations"][0]["window"];
        // The digits are the latest window's radial, as printed.
        char want0[16] = "", want1[16];
        if (w0.is_object()) std::snprintf(want0, sizeof want0, "%.1f", w0["radial"].get<double>());
        std::snprintf(want1, sizeof want1, "%.1f", w1["radial"].get<double>());
        const std::string got = shown["radial"];
        if (!got.empty()) {
            ++compared;
            digitsMatch = got == want0 || got == want1;
            ASSERT_TRUE(digitsMatch) << got << " against " << want0 << " / " << want1;
        }
        // OFF while the windows are invalid, and gone when they are valid again.
        const bool valid0 = w0.is_object() && w0["valid"].get<bool>(), valid1 = w1["valid"].get<bool>();
        if (!valid0 && !valid1 && w0.is_object()) {
            EXPECT_EQ(shown["off"], "true");
            sawOff = sawOff || shown["off"] == "true";
        }
        if (sawOff && valid0 && valid1 && w1["t"].get<double>() > 24) {
            EXPECT_EQ(shown["off"], "false");
            clearedAfter = shown["off"] == "false";
        }
        if (!w1["ident"].is_null() && !w0["ident"].is_null()) {
            EXPECT_EQ(shown["ident"], "KLO");
            sawIdent = shown["ident"] == "KLO";
        }
    }
    EXPECT_GT(compared, 10);
    EXPECT_TRUE(sawOff);
    EXPECT_TRUE(clearedAfter);
    EXPECT_TRUE(sawIdent);
    // The needle: course minus radial at 2 degrees a dot, FROM within 90
    // degrees of the radial, TO against the reciprocal; full scale at 10.
    struct Needle {
        double obsFromRadial;
        const char *dots, *tofrom;
    } needles[] = {{4, "2.00", "FROM"}, {-3, "-1.50", "FROM"}, {183, "1.50", "TO"}, {30, "5.00", "FROM"}};
    for (const Needle &n : needles) {
        const std::string set =
            "(() => { const s = document.querySelector('.station'); const i = s.querySelector('.obs input');"
            "const r = Number(s.querySelector('.radial').dataset.radial);"
            "i.value = Math.round(r + " +
            std::to_string(n.obsFromRadial) +
            ") + (r - Math.round(r)); i.dispatchEvent(new Event('change')); return r; })()";
        b.eval(set);
        const json shown = json::parse(b.eval(kProbe).get<std::string>(), nullptr, false);
        // The OBS is whole degrees: the radial's tenths move the needle by up to 0.25 dot.
        const double r = std::stod(shown["radial"].get<std::string>());
        const double obs = std::fmod(std::round(r + n.obsFromRadial) + 360, 360);
        double dev = std::remainder(obs - r, 360);
        if (std::fabs(dev) > 90) dev = std::remainder(obs - r - 180, 360);
        EXPECT_NEAR(std::stod(shown["dots"].get<std::string>()), std::max(-5.0, std::min(5.0, dev / 2)), 0.01)
            << n.obsFromRadial;
        EXPECT_EQ(shown["tofrom"], n.tofrom) << n.obsFromRadial;
    }
    closeBrowser(b);
    stop(nav);
}

// Two stations: the map draws the fix and its ellipse.
TEST(Web, MapDrawsTheFixOfTwoStations) {
    ASSERT_TRUE(haveChromium()) << "the page is tested in Debian's chromium";
    const std::string rec = temp("zh.cu8");
    ASSERT_TRUE(vorgen({"-r", "242.22", "-t", "12.3", "-n", "55", "-S", "5", "-f", "114.85", "-O", "850000", "-A",
                        "113.2:119.28:0", "-o", rec}));
    const int port = freePort();
    Child nav = start(program(NAVDIAL_BIN, {"--http", std::to_string(port), "--throttle", "-i", rec, "-c", "114.0",
                                            "-a", "113.2", "-P", "47.3,8.1", "114.85"}));
    ASSERT_TRUE(waitForServer(port, 10));
    browser b;
    ASSERT_TRUE(openBrowser(b));
    b.call("Page.navigate", {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
    json shown;
    const auto end = clk::now() + std::chrono::seconds(20);
    while (clk::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        shown = json::parse(b.eval(kProbe).get<std::string>(), nullptr, false);
        if (shown.is_object() && shown["fix"] == "drawn") break;
    }
    ASSERT_TRUE(shown.is_object());
    EXPECT_EQ(shown["fix"], "drawn");
    EXPECT_EQ(shown["ellipse"], true);
    const json fix = json::parse(get(port, "/api/state.json"), nullptr, false)["fix"];
    ASSERT_TRUE(fix.is_object());
    EXPECT_GT(fix["fix"]["major_m"].get<double>(), 0);
    EXPECT_GE(fix["fix"]["major_m"].get<double>(), fix["fix"]["minor_m"].get<double>());
    EXPECT_EQ(fix["fix"]["err95_m"], fix["fix"]["major_m"]);
    screenshot(b);
    closeBrowser(b);
    stop(nav);
}
