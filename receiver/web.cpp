#include "web.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using text = std::shared_ptr<const std::string>;

struct webStation {
    int32_t freqHz;
    text latest;                               // the last window's JSON object
    std::deque<std::pair<double, text>> past;  // (t, window) of the last ten minutes
    std::string ident;                         // confirmed so far
    const station *known = nullptr;            // what it was told apart as
};

// JSON string contents: the station file's names may hold quotes.
std::string quoted(const std::string &s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += c;
        }
    }
    return o + "\"";
}

std::string joined(const std::vector<text> &items) {
    std::string s = "[";
    for (size_t k = 0; k < items.size(); ++k) {
        if (k) s += ", ";
        s += *items[k];
    }
    return s + "]";
}

}  // namespace

struct webState {
    webConfig cfg;
    // The station file's stations on the run's frequencies: a copy, as the
    // server's threads may still read it while the process ends.
    std::vector<station> db;
    std::mutex m;  // guards everything below; held only to copy or move pointers
    std::condition_variable changed;
    std::vector<webStation> stations;
    text fix;
    std::deque<text> notices;
    std::deque<webEvent> events;
    uint64_t seq = 0;
    uint64_t stationsVersion = 1;
};

namespace {

webStation *stationOf(webState &w, int32_t freqHz) {
    for (webStation &s : w.stations)
        if (s.freqHz == freqHz) return &s;
    return nullptr;
}

// Under the lock: one more event, the oldest dropped beyond kWebEvents.
void addEvent(webState &w, const char *kind, const text &data) {
    w.events.push_back(webEvent{++w.seq, kind, data});
    if (w.events.size() > kWebEvents) w.events.pop_front();
}

// What a station is, from its frequency and confirmed ident (the nearest
// to -P first), or from its frequency alone where only one station within
// range of -P has it.
const station *tellApart(const webState &w, int32_t freqHz, const std::string &ident) {
    const auto c = candidates(w.db, freqHz / 1000, ident, w.cfg.near);
    if (!ident.empty()) return c.empty() ? nullptr : c.front();
    return w.cfg.near.known && c.size() == 1 ? c.front() : nullptr;
}

void onWindow(void *self, const outConfig &c, const trustWindow &t, const std::string &ident) {
    webState &w = *static_cast<webState *>(self);
    char utc[40];
    if (w.cfg.live) {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        std::strftime(utc, sizeof utc, "%Y-%m-%dT%H:%M:%SZ", &tm);
    }
    // Formatted before the lock: under it only pointers move.
    auto json = std::make_shared<const std::string>(windowJson(t, c, w.cfg.live ? utc : nullptr, ident));
    webStation *s = stationOf(w, c.freqHz);
    const bool named = s && ident != s->ident;
    const station *known = named ? tellApart(w, c.freqHz, ident) : nullptr;
    {
        std::lock_guard<std::mutex> lock(w.m);
        if (s) {
            s->latest = json;
            s->past.emplace_back(t.t, json);
            while (!s->past.empty() &&
                   (s->past.size() > kWebHistoryMax || s->past.front().first < t.t - kWebHistorySeconds))
                s->past.pop_front();
            if (named) {
                s->ident = ident;
                s->known = known;
                ++w.stationsVersion;
            }
        }
        addEvent(w, "window", json);
    }
    w.changed.notify_all();
}

void onFix(void *self, const fixResult &f, const std::vector<std::string> &idents, double t) {
    webState &w = *static_cast<webState *>(self);
    auto json = std::make_shared<const std::string>(fixLine(f, idents, outFormat::json, t));
    {
        std::lock_guard<std::mutex> lock(w.m);
        w.fix = json;
        addEvent(w, "fix", json);
    }
    w.changed.notify_all();
}

void onNotice(void *self, noticeKind, const std::string &line) {
    webState &w = *static_cast<webState *>(self);
    auto l = std::make_shared<const std::string>(line);
    {
        std::lock_guard<std::mutex> lock(w.m);
        w.notices.push_back(l);
        if (w.notices.size() > kWebNotices) w.notices.pop_front();
        addEvent(w, "notice", l);
    }
    w.changed.notify_all();
}

}  // namespace

webState *webCreate(const webConfig &c) {
    auto *w = new webState;
    w->cfg = c;
    if (c.db)
        for (const station &s : *c.db)
            for (int32_t f : c.freqs)
                if (s.freqKhz == f / 1000) w->db.push_back(s);
    w->cfg.db = nullptr;
    for (int32_t f : c.freqs) {
        webStation s;
        s.freqHz = f;
        s.known = tellApart(*w, f, "");
        w->stations.push_back(s);
    }
    return w;
}

resultOutput webOutputOf(webState &w) { return resultOutput{onWindow, onFix, onNotice, &w}; }

std::string webStateJson(webState &w) {
    std::vector<text> latest, notices;
    std::vector<int32_t> freqs;
    text fix;
    {
        std::lock_guard<std::mutex> lock(w.m);
        for (const webStation &s : w.stations) {
            latest.push_back(s.latest);
            freqs.push_back(s.freqHz);
        }
        notices.assign(w.notices.begin(), w.notices.end());
        fix = w.fix;
    }
    std::string s = "{\"source\": " + quoted(w.cfg.source) + (w.cfg.live ? ", \"live\": true" : ", \"live\": false");
    s += ", \"tiles\": " + (w.cfg.tiles.empty() ? std::string("null") : quoted(w.cfg.tiles));
    s += ", \"stations\": [";
    for (size_t k = 0; k < latest.size(); ++k) {
        s += k ? ", {\"freq\": " : "{\"freq\": ";
        s += megahertz(freqs[k]) + ", \"window\": " + (latest[k] ? *latest[k] : "null") + "}";
    }
    s += "], \"fix\": " + (fix ? *fix : std::string("null"));
    s += ", \"notices\": [";
    for (size_t k = 0; k < notices.size(); ++k) s += (k ? ", " : "") + quoted(*notices[k]);
    return s + "]}";
}

std::string webHistoryJson(webState &w) {
    std::vector<std::vector<text>> windows;
    std::vector<int32_t> freqs;
    {
        std::lock_guard<std::mutex> lock(w.m);
        for (const webStation &s : w.stations) {
            freqs.push_back(s.freqHz);
            windows.emplace_back();
            for (const auto &p : s.past) windows.back().push_back(p.second);
        }
    }
    std::string s = "{\"stations\": [";
    for (size_t k = 0; k < freqs.size(); ++k) {
        s += k ? ", {\"freq\": " : "{\"freq\": ";
        s += megahertz(freqs[k]) + ", \"windows\": " + joined(windows[k]) + "}";
    }
    return s + "]}";
}

std::string webStationsJson(webState &w) {
    std::vector<webStation> copy;
    {
        std::lock_guard<std::mutex> lock(w.m);
        for (const webStation &s : w.stations) copy.push_back(webStation{s.freqHz, nullptr, {}, s.ident, s.known});
    }
    std::string s = "{\"stations\": [";
    for (size_t k = 0; k < copy.size(); ++k) {
        const webStation &st = copy[k];
        s += k ? ", {\"freq\": " : "{\"freq\": ";
        s += megahertz(st.freqHz);
        s += ", \"ident\": " + (st.ident.empty() ? std::string("null") : quoted(st.ident));
        if (st.known) {
            bool magnetic;
            char b[160];
            std::snprintf(b, sizeof b, ", \"lat\": %.5f, \"lon\": %.5f, \"variation\": %.1f", st.known->lat,
                          st.known->lon, trueBearing(*st.known, 0, magnetic));
            s += ", \"name\": " + quoted(st.known->name) + ", \"known_ident\": " + quoted(st.known->ident) + b;
        } else {
            s += ", \"name\": null";
        }
        s += "}";
    }
    return s + "]}";
}

bool webEventsAfter(webState &w, uint64_t after, size_t max, std::vector<webEvent> &out) {
    out.clear();
    std::lock_guard<std::mutex> lock(w.m);
    if (w.events.empty()) return true;
    const uint64_t oldest = w.events.front().seq;
    if (after + 1 < oldest) return false;
    for (const webEvent &e : w.events)
        if (e.seq > after && out.size() < max) out.push_back(e);
    return true;
}

uint64_t webNewest(webState &w) {
    std::lock_guard<std::mutex> lock(w.m);
    return w.seq;
}

uint64_t webWait(webState &w, uint64_t seen, int ms) {
    std::unique_lock<std::mutex> lock(w.m);
    w.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return w.seq > seen; });
    return w.seq;
}

uint64_t webStationsVersion(webState &w) {
    std::lock_guard<std::mutex> lock(w.m);
    return w.stationsVersion;
}

sigset_t webBlockSignals() {
    sigset_t block, old;
    sigemptyset(&block);
    for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGALRM, SIGPIPE}) sigaddset(&block, s);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    return old;
}

void webRestoreSignals(const sigset_t &old) { pthread_sigmask(SIG_SETMASK, &old, nullptr); }

namespace {

// The whole document to a temporary file beside `path`, then renamed over
// it: a reader sees the old file or the new one, never a part.
bool writeWhole(const std::string &path, const std::string &body, std::string &err) {
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < body.size()) {
        const ssize_t n = write(fd, body.data() + done, body.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = tmp + ": " + std::strerror(errno);
            close(fd);
            unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        err = path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool writeAll(webState &w, const std::string &dir, uint64_t &stationsWritten, std::string &err) {
    const uint64_t version = webStationsVersion(w);
    if (version != stationsWritten) {
        if (!writeWhole(dir + "/stations.json", webStationsJson(w), err)) return false;
        stationsWritten = version;
    }
    return writeWhole(dir + "/state.json", webStateJson(w), err) &&
           writeWhole(dir + "/history.json", webHistoryJson(w), err);
}

}  // namespace

namespace {

// The files' writer: the thread that follows the windows, and the exit,
// which writes the last windows once more so that none is lost to a
// thread that had not woken yet. Never freed: the thread may still hold
// it while the process ends.
struct jsonDirWriter {
    webState *w = nullptr;
    std::string dir;
    std::mutex m;  // one writer at a time; the exit takes it for good
    uint64_t stationsWritten = 0;
    bool said = false;  // a full disk later on costs the files, never the radio: said once
};
jsonDirWriter *theWriter = nullptr;

void writeNow(jsonDirWriter &j) {
    std::string e;
    if (!writeAll(*j.w, j.dir, j.stationsWritten, e) && !j.said) {
        j.said = true;
        std::fprintf(stderr, "navdial: --json-dir: %s\n", e.c_str());
    }
}

void writeLast() {
    theWriter->m.lock();  // kept: the thread writes no more
    writeNow(*theWriter);
}

}  // namespace

bool webWriteFiles(webState &w, const std::string &dir, std::string &err) {
    jsonDirWriter *j = new jsonDirWriter;
    j->w = &w;
    j->dir = dir;
    // Written once now, so that a directory that cannot be written is said
    // before the stream starts.
    if (!writeAll(w, dir, j->stationsWritten, err)) {
        delete j;
        return false;
    }
    theWriter = j;
    std::atexit(writeLast);
    const sigset_t old = webBlockSignals();
    std::thread([j] {
        uint64_t seen = 0;
        for (;;) {
            seen = webWait(*j->w, seen, 60000);
            std::lock_guard<std::mutex> lock(j->m);
            writeNow(*j);
        }
    }).detach();
    webRestoreSignals(old);
    return true;
}
