#include "mqtt.h"

#if NAVDIAL_HAVE_MQTT
#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "web.h"

struct mqttLink {
    mqttTarget t;
    mosquitto *m = nullptr;
    std::string where;              // host:port, for the messages
    std::atomic<bool> up{false};    // connected: publish; else drop
    std::atomic<bool> said{false};  // the loss was said; the return will be
    std::atomic<int> sent{0};       // the message id the library last saw through
};

namespace {

mqttLink *theLink;  // the one link, for the goodbye at exit

constexpr int kKeepAlive = 30;  // seconds: a broker gone silent is noticed within 45 s

std::string statusTopic(const mqttLink &l) { return l.t.prefix + "/status"; }

void onConnect(mosquitto *m, void *self, int rc) {
    auto &l = *static_cast<mqttLink *>(self);
    if (rc != 0) return;
    mosquitto_publish(m, nullptr, statusTopic(l).c_str(), 6, "online", 1, true);
    l.up = true;
    if (l.said.exchange(false)) std::fprintf(stderr, "navdial: MQTT broker %s is back\n", l.where.c_str());
}

void onDisconnect(mosquitto *, void *self, int rc) {
    auto &l = *static_cast<mqttLink *>(self);
    l.up = false;
    if (rc != 0 && !l.said.exchange(true))
        std::fprintf(stderr, "navdial: MQTT broker %s lost; trying again, the bearings go on\n", l.where.c_str());
}

void publish(mqttLink &l, const std::string &topic, const std::string &payload) {
    if (!l.up) return;  // dropped while the broker is away: never queued without bound
    mosquitto_publish(l.m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, false);
}

void onWindow(void *self, const outConfig &c, const trustWindow &w, const std::string &ident) {
    auto &l = *static_cast<mqttLink *>(self);
    char mhz[16];
    std::snprintf(mhz, sizeof mhz, "%.2f", c.freqHz / 1e6);
    char utc[40];
    if (c.live) {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        std::strftime(utc, sizeof utc, "%Y-%m-%dT%H:%M:%SZ", &tm);
    }
    publish(l, l.t.prefix + "/" + mhz + "/window", windowJson(w, c, c.live ? utc : nullptr, ident));
}

void onFix(void *self, const fixResult &f, const std::vector<std::string> &idents, double t) {
    auto &l = *static_cast<mqttLink *>(self);
    publish(l, l.t.prefix + "/fix", fixLine(f, idents, outFormat::json, t));
}

void onPublished(mosquitto *, void *self, int mid) { static_cast<mqttLink *>(self)->sent = mid; }

// A clean exit says "offline" itself, then goodbye, so that the broker
// drops the last will. Each step waits for the library's thread (2 s at
// most for the broker's acknowledgement, 1 s for the goodbye to go out):
// a connection closed with the acknowledgement still unread is reset, not
// closed, and a broker that sees the reset before the goodbye publishes the
// will as well, a second "offline".
void goodbye() {
    mqttLink *l = theLink;
    if (!l || !l->up) return;
    // Nothing is published after it, so the last message seen through is it.
    int mid = 0;
    if (mosquitto_publish(l->m, &mid, statusTopic(*l).c_str(), 7, "offline", 1, true) == MOSQ_ERR_SUCCESS)
        for (int i = 0; i < 200 && l->sent != mid && l->up; ++i) usleep(10000);
    if (mosquitto_disconnect(l->m) == MOSQ_ERR_SUCCESS)
        for (int i = 0; i < 100 && l->up; ++i) usleep(10000);
    mosquitto_loop_stop(l->m, false);
}

}  // namespace

bool parseMqttUrl(const char *text, mqttTarget &t) {
    std::string s = text;
    if (s.rfind("mqtt://", 0) == 0) {
        s = s.substr(7);
    } else if (s.rfind("mqtts://", 0) == 0) {
        s = s.substr(8);
        t.tls = true;
        t.port = 8883;
    } else {
        return false;
    }
    const size_t slash = s.find('/');
    if (slash != std::string::npos) {
        t.prefix = s.substr(slash + 1);
        s = s.substr(0, slash);
        while (!t.prefix.empty() && t.prefix.back() == '/') t.prefix.pop_back();
        if (t.prefix.empty()) t.prefix = "navdial";
        if (t.prefix.find_first_of("+#") != std::string::npos) return false;
    }
    const size_t at = s.rfind('@');
    if (at != std::string::npos) {
        t.user = s.substr(0, at);
        s = s.substr(at + 1);
        if (t.user.empty() || t.user.find(':') != std::string::npos) return false;  // no password in the URL
    }
    const size_t colon = s.rfind(':');
    if (colon != std::string::npos && s.find(']') == std::string::npos) {
        const std::string p = s.substr(colon + 1);
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
        t.port = std::atoi(p.c_str());
        s = s.substr(0, colon);
    }
    t.host = s;
    return !t.host.empty() && t.port > 0 && t.port < 65536;
}

mqttLink *mqttStart(const mqttTarget &t, const std::string &password, const std::string &caFile, std::string &err) {
    mosquitto_lib_init();
    auto *l = new mqttLink;
    l->t = t;
    l->where = t.host + ":" + std::to_string(t.port);
    l->m = mosquitto_new(nullptr, true, l);
    auto failed = [l, &err](const std::string &why) -> mqttLink * {
        err = why;
        if (l->m) mosquitto_destroy(l->m);
        delete l;
        return nullptr;
    };
    if (!l->m) return failed("navdial: --mqtt: out of memory");
    if (!t.user.empty()) mosquitto_username_pw_set(l->m, t.user.c_str(), password.empty() ? nullptr : password.c_str());
    const std::string status = statusTopic(*l);
    mosquitto_will_set(l->m, status.c_str(), 7, "offline", 1, true);
    if (t.tls) {
        if (!caFile.empty() && access(caFile.c_str(), R_OK) != 0)
            return failed("navdial: --mqtt-ca " + caFile + ": cannot be read");
        const int rc = caFile.empty() ? mosquitto_tls_set(l->m, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                                      : mosquitto_tls_set(l->m, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return failed("navdial: --mqtt: TLS could not be set up: " + std::string(mosquitto_strerror(rc)));
    }
    mosquitto_connect_callback_set(l->m, onConnect);
    mosquitto_disconnect_callback_set(l->m, onDisconnect);
    mosquitto_publish_callback_set(l->m, onPublished);
    mosquitto_reconnect_delay_set(l->m, 1, 30, false);  // 1, 2, 3 ... s: back soon after the broker is
    const int rc = mosquitto_connect_async(l->m, t.host.c_str(), t.port, kKeepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        l->said = true;
        std::fprintf(stderr, "navdial: MQTT broker %s not reached (%s); trying again, the bearings go on\n",
                     l->where.c_str(), rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    }
    // The library's thread takes no termination signal either.
    const sigset_t old = webBlockSignals();
    const int started = mosquitto_loop_start(l->m);
    webRestoreSignals(old);
    if (started != MOSQ_ERR_SUCCESS) return failed("navdial: --mqtt: " + std::string(mosquitto_strerror(started)));
    theLink = l;
    std::atexit(goodbye);
    return l;
}

resultOutput mqttOutputOf(mqttLink &l) { return resultOutput{onWindow, onFix, nullptr, &l}; }

#else  // built without libmosquitto

struct mqttLink {};

bool parseMqttUrl(const char *, mqttTarget &) { return true; }

mqttLink *mqttStart(const mqttTarget &, const std::string &, const std::string &, std::string &err) {
    err = "navdial: --mqtt: this navdial was built without libmosquitto";
    return nullptr;
}

resultOutput mqttOutputOf(mqttLink &l) { return resultOutput{nullptr, nullptr, nullptr, &l}; }

#endif
