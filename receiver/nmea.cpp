#include "nmea.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "web.h"

namespace {

// 95 % of a 2-D Gaussian lies within 2.448 sigma (the chi-square of two
// degrees of freedom): the ellipse's semi-axes over it are the 1-sigma ones.
constexpr double kSigma95 = 2.448;

std::string utcFields(double when, bool withDate, std::string *date) {
    const auto whole = static_cast<std::time_t>(std::floor(when));
    std::tm tm{};
    gmtime_r(&whole, &tm);
    char b[32];
    std::snprintf(b, sizeof b, "%02d%02d%05.2f", tm.tm_hour, tm.tm_min, tm.tm_sec + (when - std::floor(when)));
    if (withDate && date) {
        char d[32];
        std::snprintf(d, sizeof d, "%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100);
        *date = d;
    }
    return b;
}

// ddmm.mmmmm,N and dddmm.mmmmm,E: five decimals of a minute, about 2 cm.
std::string latLon(double lat, double lon) {
    auto part = [](double v, int degDigits, char pos, char neg) {
        const double a = std::fabs(v);
        int deg = static_cast<int>(a);
        double min = (a - deg) * 60;
        if (min >= 59.999995) {  // rounds up to a whole degree
            min = 0;
            ++deg;
        }
        char b[32];
        std::snprintf(b, sizeof b, "%0*d%08.5f,%c", degDigits, deg, min, v < 0 ? neg : pos);
        return std::string(b);
    };
    return part(lat, 2, 'N', 'S') + "," + part(lon, 3, 'E', 'W');
}

}  // namespace

std::string nmeaSentence(const std::string &body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

std::vector<std::string> nmeaFix(const fixResult &f, int stations, double when) {
    std::string date;
    const std::string t = utcFields(when, true, &date);
    const std::string pos = latLon(f.lat, f.lon);
    char b[160];
    std::vector<std::string> out;
    // GGA: quality 6 (estimated), the stations in the fix as "satellites",
    // no HDOP and no altitude (a 2-D position).
    std::snprintf(b, sizeof b, "GPGGA,%s,%s,6,%02d,,,M,,M,,", t.c_str(), pos.c_str(), stations);
    out.push_back(nmeaSentence(b));
    // RMC: status A (V would make gpsd drop it), no speed or course, mode E.
    std::snprintf(b, sizeof b, "GPRMC,%s,A,%s,,,%s,,,E", t.c_str(), pos.c_str(), date.c_str());
    out.push_back(nmeaSentence(b));
    // GST: the 1-sigma ellipse, and the sigmas along latitude and longitude.
    const double a = f.major / kSigma95, c = f.minor / kSigma95, th = f.majorAzimuth * M_PI / 180;
    const double sn = std::sin(th), cs = std::cos(th);
    const double latSd = std::sqrt(a * a * cs * cs + c * c * sn * sn),
                 lonSd = std::sqrt(a * a * sn * sn + c * c * cs * cs);
    std::snprintf(b, sizeof b, "GPGST,%s,,%.1f,%.1f,%.1f,%.1f,%.1f,", t.c_str(), a, c, f.majorAzimuth, latSd, lonSd);
    out.push_back(nmeaSentence(b));
    return out;
}

std::string nmeaWindow(const outConfig &c, const trustWindow &w, const std::string &ident) {
    char b[160];
    auto num = [](double v, const char *fmt) {
        char s[32] = "";
        if (std::isfinite(v)) std::snprintf(s, sizeof s, fmt, v);
        return std::string(s);
    };
    std::snprintf(b, sizeof b, "PNVD,%.2f,%s,%.1f,%d,%s,%s", c.freqHz / 1e6, ident.c_str(), w.radial,
                  w.reasons == 0 ? 1 : 0, num(w.sigma, "%.3f").c_str(), num(w.cn0, "%.1f").c_str());
    return nmeaSentence(b);
}

struct nmeaServer {
    int listenFd = -1;
    int wake[2] = {-1, -1};  // the sample thread's nudge to the server's poll
    bool live = false;
    double start = 0;  // UTC of the signal's first sample
    std::mutex m;      // guards `queue` and `flushed`
    std::deque<std::string> queue;
    // The run's end: what is queued goes out first (within kNmeaFlush),
    // so that a recording's last fix is not lost to a thread not yet woken.
    std::atomic<bool> ending{false};
    bool flushed = false;
    std::condition_variable done;
};

namespace {

constexpr size_t kQueued = 256;    // sentences waiting for the server thread, at most
constexpr int kNmeaFlushMs = 500;  // the exit waits this long at most for slow clients

nmeaServer *theServer = nullptr;  // for the exit's flush; never freed (its thread may still run)

void hand(nmeaServer &s, std::vector<std::string> sentences) {
    {
        std::lock_guard<std::mutex> lock(s.m);
        for (auto &x : sentences) {
            if (s.queue.size() >= kQueued) s.queue.pop_front();
            s.queue.push_back(std::move(x));
        }
    }
    const char one = 1;
    (void)!write(s.wake[1], &one, 1);  // non-blocking: a full pipe has woken it already
}

double utcOf(const nmeaServer &s, double t) {
    if (s.live) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }
    return s.start + t;
}

void onWindow(void *self, const outConfig &c, const trustWindow &w, const std::string &ident) {
    hand(*static_cast<nmeaServer *>(self), {nmeaWindow(c, w, ident)});
}

void onFix(void *self, const fixResult &f, const std::vector<std::string> &idents, double t) {
    auto &s = *static_cast<nmeaServer *>(self);
    if (!f.ok) return;  // no fix: no position, never an old one again
    hand(s, nmeaFix(f, static_cast<int>(idents.size()), utcOf(s, t)));
}

struct client {
    int fd;
    std::string pending;
};

void serve(nmeaServer &s) {
    std::vector<client> clients;
    std::chrono::steady_clock::time_point flushUntil{};
    for (;;) {
        std::vector<pollfd> p = {{s.listenFd, POLLIN, 0}, {s.wake[0], POLLIN, 0}};
        for (const client &c : clients)
            p.push_back({c.fd, static_cast<short>(c.pending.empty() ? POLLIN : POLLIN | POLLOUT), 0});
        if (poll(p.data(), p.size(), s.ending ? 20 : -1) < 0) continue;
        if (p[0].revents & POLLIN) {
            const int fd = accept4(s.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0 && clients.size() < kNmeaClients)
                clients.push_back({fd, {}});
            else if (fd >= 0)
                close(fd);
        }
        if (p[1].revents & POLLIN) {
            char b[64];
            while (read(s.wake[0], b, sizeof b) > 0) {
            }
            std::deque<std::string> got;
            {
                std::lock_guard<std::mutex> lock(s.m);
                got.swap(s.queue);
            }
            for (const std::string &x : got)
                for (client &c : clients) c.pending += x;
        }
        // Send what each can take; a client that lets too much wait, or
        // that is gone, is dropped.
        for (size_t k = 0; k < clients.size(); ++k) {
            client &c = clients[k];
            const short ev = k + 2 < p.size() ? p[k + 2].revents : 0;
            bool drop = (ev & (POLLERR | POLLHUP)) != 0 || c.pending.size() > kNmeaClientBytes;
            if (!drop && (ev & POLLIN)) {
                char b[512];
                const ssize_t n = recv(c.fd, b, sizeof b, 0);  // what clients say is ignored
                drop = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
            }
            if (!drop && !c.pending.empty()) {
                const ssize_t n = send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
                if (n > 0)
                    c.pending.erase(0, static_cast<size_t>(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    drop = true;
            }
            if (drop) {
                close(c.fd);
                clients.erase(clients.begin() + static_cast<long>(k--));
            }
        }
        if (s.ending) {
            const auto now = std::chrono::steady_clock::now();
            if (flushUntil == std::chrono::steady_clock::time_point{})
                flushUntil = now + std::chrono::milliseconds(kNmeaFlushMs);
            bool left = false;
            {
                std::lock_guard<std::mutex> lock(s.m);
                left = !s.queue.empty();
            }
            for (const client &c : clients) left = left || !c.pending.empty();
            if (!left || now >= flushUntil) {
                std::lock_guard<std::mutex> lock(s.m);
                s.flushed = true;
                s.done.notify_all();
                return;
            }
        }
    }
}

// At exit: the server sends what is queued, then the process ends.
void flushAtExit() {
    nmeaServer &s = *theServer;
    s.ending = true;
    const char one = 1;
    (void)!write(s.wake[1], &one, 1);
    std::unique_lock<std::mutex> lock(s.m);
    s.done.wait_for(lock, std::chrono::milliseconds(2 * kNmeaFlushMs), [&s] { return s.flushed; });
}

}  // namespace

nmeaServer *nmeaServe(const std::string &addr, int port, bool live, double start, std::string &err) {
    const std::string where = addr + ":" + std::to_string(port);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
        err = "navdial: --nmea " + where + ": not an IPv4 address";
        if (fd >= 0) close(fd);
        return nullptr;
    }
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
        err = "navdial: --nmea " + where + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return nullptr;
    }
    auto *s = new nmeaServer;
    s->listenFd = fd;
    s->live = live;
    s->start = start;
    if (pipe2(s->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        err = "navdial: --nmea: " + std::string(std::strerror(errno));
        close(fd);
        delete s;
        return nullptr;
    }
    const sigset_t old = webBlockSignals();
    std::thread(serve, std::ref(*s)).detach();
    webRestoreSignals(old);
    theServer = s;
    std::atexit(flushAtExit);
    return s;
}

resultOutput nmeaOutputOf(nmeaServer &s) { return resultOutput{onWindow, onFix, nullptr, &s}; }
