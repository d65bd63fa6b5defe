#include "http.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct pageFile {
    std::string type, body;
};

// One reader of /api/stream: where it is in the events, and what of them
// is still to be handed to the connection.
struct server;
struct streamClient {
    server *srv;
    webState *w;
    MHD_Connection *conn;
    uint64_t seq;
    std::string pending;
    size_t sent = 0;
    bool started = false;
    bool keepalive = false;  // woken by the clock, not by an event
};

struct server {
    webState *w = nullptr;
    std::map<std::string, pageFile> files;  // by URL path, read once at start
    std::mutex m;                           // guards `waiting`
    std::vector<streamClient *> waiting;    // suspended until the next event
};

const char *typeOf(const std::string &path) {
    static const std::pair<const char *, const char *> kTypes[] = {{".html", "text/html; charset=utf-8"},
                                                                   {".css", "text/css; charset=utf-8"},
                                                                   {".js", "text/javascript; charset=utf-8"},
                                                                   {".svg", "image/svg+xml"},
                                                                   {".png", "image/png"},
                                                                   {".json", "application/json"},
                                                                   {".txt", "text/plain; charset=utf-8"},
                                                                   {".ico", "image/x-icon"}};
    for (const auto &t : kTypes) {
        const size_t n = std::strlen(t.first);
        if (path.size() > n && path.compare(path.size() - n, n, t.first) == 0) return t.second;
    }
    return "application/octet-stream";
}

bool readFile(const std::string &path, std::string &body) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char b[65536];
    ssize_t n;
    body.clear();
    while ((n = read(fd, b, sizeof b)) > 0) body.append(b, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

// Every regular file under dir whose real path stays inside it (a symlink
// that leads out is left out), by its URL path. Served from memory: no
// request ever builds a path on the disk.
bool loadPage(const std::string &root, const std::string &dir, const std::string &url,
              std::map<std::string, pageFile> &files, int depth) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        const std::string path = dir + "/" + name;
        char real[PATH_MAX];
        if (!realpath(path.c_str(), real) || std::string(real).compare(0, root.size() + 1, root + "/") != 0) continue;
        struct stat st {};
        if (stat(real, &st) != 0) continue;
        if (S_ISDIR(st.st_mode) && depth < 4) {
            loadPage(root, path, url + name + "/", files, depth + 1);
        } else if (S_ISREG(st.st_mode)) {
            pageFile f{typeOf(name), {}};
            if (readFile(real, f.body)) files[url + name] = f;
        }
    }
    closedir(d);
    return true;
}

MHD_Result answer(MHD_Connection *c, unsigned status, const std::string &body, const char *type,
                  const char *cache = "no-store") {
    MHD_Response *r =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, cache);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result q = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return q;
}

// The events for one reader, as server-sent events. Nothing new: the
// connection waits (suspended) until the next event or the keep-alive.
ssize_t streamRead(void *cls, uint64_t, char *buf, size_t max) {
    auto &k = *static_cast<streamClient *>(cls);
    while (k.sent == k.pending.size()) {
        k.pending.clear();
        k.sent = 0;
        if (!k.started) {
            k.started = true;
            k.pending = "retry: 2000\n\n";  // the browser comes back 2 s after navdial does
            break;
        }
        std::vector<webEvent> ev;
        // A reader that fell this far behind has lost events: it is let go,
        // and its browser reconnects and loads the state again.
        if (!webEventsAfter(*k.w, k.seq, 16, ev)) return MHD_CONTENT_READER_END_WITH_ERROR;
        for (const webEvent &e : ev) {
            k.pending += "event: ";
            k.pending += e.kind;
            k.pending += "\ndata: ";
            k.pending += *e.data;
            k.pending += "\n\n";
            k.seq = e.seq;
        }
        if (k.pending.empty() && k.keepalive) k.pending = ":\n\n";
        k.keepalive = false;
        if (!k.pending.empty()) break;
        // Suspended under the lock the waker takes, after a last look: an
        // event that came meanwhile is not left waiting for the next one.
        std::lock_guard<std::mutex> lock(k.srv->m);
        if (webNewest(*k.w) > k.seq) continue;
        k.srv->waiting.push_back(&k);
        MHD_suspend_connection(k.conn);
        return 0;
    }
    const size_t n = std::min(max, k.pending.size() - k.sent);
    std::memcpy(buf, k.pending.data() + k.sent, n);
    k.sent += n;
    return static_cast<ssize_t>(n);
}

void streamFree(void *cls) { delete static_cast<streamClient *>(cls); }

}  // namespace

namespace {

MHD_Result onRequest(void *cls, MHD_Connection *c, const char *url, const char *method, const char *, const char *,
                     size_t *, void **) {
    server &srv = *static_cast<server *>(cls);
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return answer(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", "text/plain; charset=utf-8");
    const std::string path = url;
    if (path == "/api/stream") {
        auto *k = new streamClient{&srv, srv.w, c, webNewest(*srv.w), {}};
        MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, streamRead, k, streamFree);
        if (!r) {
            delete k;
            return MHD_NO;
        }
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
        MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        const MHD_Result q = MHD_queue_response(c, MHD_HTTP_OK, r);
        MHD_destroy_response(r);
        return q;
    }
    if (path == "/api/state.json") return answer(c, MHD_HTTP_OK, webStateJson(*srv.w), "application/json");
    if (path == "/api/history.json") return answer(c, MHD_HTTP_OK, webHistoryJson(*srv.w), "application/json");
    if (path == "/api/stations.json") return answer(c, MHD_HTTP_OK, webStationsJson(*srv.w), "application/json");
    const auto f = srv.files.find(path == "/" ? "/index.html" : path);
    if (f == srv.files.end()) return answer(c, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
    MHD_Response *r = MHD_create_response_from_buffer(f->second.body.size(), const_cast<char *>(f->second.body.data()),
                                                      MHD_RESPMEM_PERSISTENT);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, f->second.type.c_str());
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    const MHD_Result q = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return q;
}

// Wakes the waiting readers at each event, and every 15 s for a keep-alive
// (a suspended connection would not notice that its client went away).
void wake(server &srv) {
    uint64_t seen = webNewest(*srv.w);
    for (;;) {
        const uint64_t now = webWait(*srv.w, seen, 15000);
        const bool quiet = now == seen;
        seen = now;
        std::vector<streamClient *> woken;
        {
            std::lock_guard<std::mutex> lock(srv.m);
            woken.swap(srv.waiting);
            for (streamClient *k : woken) k->keepalive = quiet;
        }
        for (streamClient *k : woken) MHD_resume_connection(k->conn);
    }
}

}  // namespace

bool parseListen(const char *text, std::string &addr, int &port) {
    std::string t = text, p = t;
    addr = "127.0.0.1";
    if (!t.empty() && t[0] == '[') {
        const size_t close = t.find("]:");
        if (close == std::string::npos) return false;
        addr = t.substr(1, close - 1);
        p = t.substr(close + 2);
    } else if (t.find(':') != std::string::npos) {
        addr = t.substr(0, t.rfind(':'));
        p = t.substr(t.rfind(':') + 1);
    }
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::atoi(p.c_str());
    in6_addr a6;
    in_addr a4;
    return port > 0 && port < 65536 &&
           (inet_pton(AF_INET, addr.c_str(), &a4) == 1 || inet_pton(AF_INET6, addr.c_str(), &a6) == 1);
}

std::string defaultHtmlDir() {
    const std::string installed = std::string(NAVDIAL_DATADIR) + "/html";
    if (access((installed + "/index.html").c_str(), R_OK) == 0) return installed;
    return std::string(NAVDIAL_SOURCE_DATA) + "/html";
}

bool httpServe(webState &w, const std::string &addr, int port, const std::string &htmlDir, std::string &err) {
    const std::string where =
        (addr.find(':') != std::string::npos ? "[" + addr + "]" : addr) + ":" + std::to_string(port);
    auto *srv = new server;
    srv->w = &w;
    char root[PATH_MAX];
    if (!realpath(htmlDir.c_str(), root) || !loadPage(root, root, "/", srv->files, 0) ||
        srv->files.find("/index.html") == srv->files.end()) {
        err = "navdial: --http: no web page in " + htmlDir;
        delete srv;
        return false;
    }
    // The socket is bound here, so that a port in use is said in one line
    // before the dongle is opened.
    sockaddr_storage sa{};
    socklen_t len;
    const bool v6 = addr.find(':') != std::string::npos;
    if (v6) {
        auto *s6 = reinterpret_cast<sockaddr_in6 *>(&sa);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, addr.c_str(), &s6->sin6_addr);
        len = sizeof *s6;
    } else {
        auto *s4 = reinterpret_cast<sockaddr_in *>(&sa);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr.c_str(), &s4->sin_addr);
        len = sizeof *s4;
    }
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0 || listen(fd, 64) != 0) {
        err = "navdial: --http " + where + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        delete srv;
        return false;
    }
    const sigset_t old = webBlockSignals();
    MHD_Daemon *d = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (v6 ? MHD_USE_IPv6 : 0), 0,
        nullptr, nullptr, onRequest, srv, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kHttpConnections,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kHttpRequestBytes, MHD_OPTION_CONNECTION_TIMEOUT, kHttpIdleSeconds,
        MHD_OPTION_END);
    if (d) std::thread(wake, std::ref(*srv)).detach();
    webRestoreSignals(old);
    if (!d) {
        err = "navdial: --http " + where + ": the web server could not be started";
        close(fd);
        delete srv;
        return false;
    }
    return true;  // serves until the process ends
}
