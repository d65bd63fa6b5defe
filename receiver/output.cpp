#include "output.h"

#include "monitor.h"

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

constexpr double kClipHint = 0.01;     // share of clipped bytes worth a hint
constexpr double kQuantNoise = 0.6;    // noise per component below this many byte steps...
constexpr double kQuantLevel = -24.0;  // ...with a carrier below this (dBFS): quantisation dominates

// A JSON number with the given decimals, null when it is not finite.
void number(std::string &s, const char *name, double v, int decimals) {
    char b[64];
    if (std::isfinite(v))
        std::snprintf(b, sizeof b, ", \"%s\": %.*f", name, decimals, v);
    else
        std::snprintf(b, sizeof b, ", \"%s\": null", name);
    s += b;
}

std::string reasonList(unsigned reasons, const char *quote, const char *sep) {
    std::string s;
    for (int k = 0; k < kReasonCount; ++k) {
        if (!(reasons & (1u << k))) continue;
        if (!s.empty()) s += sep;
        s += quote;
        s += trustReasonName(k);
        s += quote;
    }
    return s;
}

void utcNow(char *b, size_t size) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm u;
    gmtime_r(&ts.tv_sec, &u);
    char d[24];
    std::strftime(d, sizeof d, "%Y-%m-%dT%H:%M:%S", &u);
    std::snprintf(b, size, "%s.%03dZ", d, static_cast<int>(ts.tv_nsec / 1000000));
}

// The figures a person reads first: C/N0, sigma, and what failed.
std::string keyFigures(const trustWindow &w) {
    char b[160];
    std::snprintf(b, sizeof b, "C/N0 %.1f dB-Hz, sigma %.2f deg, deviation %.0f Hz, level %.1f dBFS", w.cn0, w.sigma,
                  w.deviationHz, w.levelDbfs);
    return b;
}

}  // namespace

// MHz without trailing zeros: 113.1, 114.85.
std::string megahertz(int32_t hz) {
    char b[32];
    std::snprintf(b, sizeof b, "%.6f", hz / 1e6);
    std::string s = b;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

void weakTrust(trustWindow &t, const weakResult &r) {
    if (r.segments == 0) return;  // windows under 0.1 s: the default estimator's figures stand
    t.radial = r.bearing;
    t.sigma = r.sigma;
    t.slip = false;
    // The reference check and the deviation are the fit's (the measures'
    // deviation comes from a discriminator, noisy at the lowest levels);
    // the other checks are the measures' own.
    t.refSnr = r.fitSnr;
    t.deviationHz = r.index * r.toneHz;
    unsigned reasons = trustFlag(t) & ~static_cast<unsigned>(kNoRef30);
    if (!(r.fitSnr >= kWeakFitMin)) reasons |= kNoRef30;
    t.reasons = reasons;
}

bool parseFormat(const char *text, outFormat &f) {
    if (std::strcmp(text, "plain") == 0) {
        f = outFormat::plain;
    } else if (std::strcmp(text, "json") == 0) {
        f = outFormat::json;
    } else {
        return false;
    }
    return true;
}

std::string windowJson(const trustWindow &w, const outConfig &c, const char *utc, const std::string &ident) {
    char b[64];
    std::snprintf(b, sizeof b, "{\"t\": %.5f", w.t);
    std::string s = b;
    if (utc) s += std::string(", \"time\": \"") + utc + "\"";
    s += ", \"freq\": " + megahertz(c.freqHz);
    // The plain line's rounding; -0.0 (a negative interval) is kept as it is printed.
    std::snprintf(b, sizeof b, ", \"radial\": %.1f", w.radial);
    s += b;
    s += w.reasons == 0 ? ", \"valid\": true" : ", \"valid\": false";
    s += ", \"reasons\": [" + reasonList(w.reasons, "\"", ", ") + "]";
    number(s, "sigma", w.sigma, 3);
    number(s, "cn0", w.cn0, 1);
    number(s, "level_dbfs", w.levelDbfs, 1);
    number(s, "clip", w.clip, 5);
    number(s, "var_depth", w.varDepth, 3);
    number(s, "sub_depth", w.subDepth, 3);
    number(s, "deviation_hz", w.deviationHz, 1);
    s += w.slip ? ", \"slip\": true" : ", \"slip\": false";
    // Identifiers are letters and digits only: nothing to escape.
    s += ident.empty() ? ", \"ident\": null" : ", \"ident\": \"" + ident + "\"";
    s += w.identHeard ? std::string(", \"ident_heard\": \"") + w.identHeard + "\"" : ", \"ident_heard\": null";
    if (const monitorFigures *m = w.monitor) {
        if (m->monitor) {
            number(s, "f30_hz", m->f30Hz, 4);
            number(s, "sub_hz", m->subHz, 1);
            number(s, "fm_index", m->fmIndex, 2);
            number(s, "ident_hz", m->identHz, 1);
            number(s, "ident_depth", m->identDepth, 3);
            number(s, "ident_period_s", m->identPeriodS, 2);
            number(s, "carrier_offset_hz", m->carrierOffsetHz, 1);
            number(s, "ppm", m->ppm, 1);
        }
        if (m->checkpoint) {
            number(s, "expected_radial", m->expectedRadial, 1);
            number(s, "bias", m->bias, 2);
        }
    }
    return s + "}";
}

namespace {

// A notice, formatted as printf does, to every output.
[[gnu::format(printf, 3, 4)]] void say(const outputList &l, noticeKind kind, const char *fmt, ...) {
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    std::string line;
    if (static_cast<size_t>(n) < sizeof b) {
        line.assign(b, static_cast<size_t>(n));
    } else {
        line.resize(static_cast<size_t>(n) + 1);
        va_start(ap, fmt);
        std::vsnprintf(&line[0], line.size(), fmt, ap);
        va_end(ap);
        line.pop_back();
    }
    outputNotice(l, kind, line);
}

void textWindow(void *self, const outConfig &c, const trustWindow &w, const std::string &ident) {
    FILE *out = static_cast<textOutput *>(self)->out;
    if (c.format == outFormat::json) {
        char utc[40];
        if (c.live) utcNow(utc, sizeof utc);
        std::fputs(windowJson(w, c, c.live ? utc : nullptr, ident).c_str(), out);
        std::fputc('\n', out);
    } else if (c.tagged) {
        std::fprintf(out, "%.2f %5.1f\n", c.freqHz / 1e6, w.radial);
    } else {
        std::fprintf(out, "%5.1f\n", w.radial);
    }
}

void textFix(void *self, const fixResult &f, const std::vector<std::string> &idents, double t) {
    const textOutput &o = *static_cast<textOutput *>(self);
    std::fputs(fixLine(f, idents, o.format, t).c_str(), o.out);
    std::fputc('\n', o.out);
}

void textNotice(void *self, noticeKind, const std::string &line) {
    FILE *err = static_cast<textOutput *>(self)->err;
    std::fputs(line.c_str(), err);
    std::fputc('\n', err);
}

}  // namespace

bool outputAdd(outputList &l, const resultOutput &o) {
    if (l.count == kMaxOutputs) return false;
    l.item[l.count++] = o;
    return true;
}

void outputWindow(const outputList &l, const outConfig &c, const trustWindow &w, const std::string &ident) {
    for (int k = 0; k < l.count; ++k)
        if (l.item[k].window) l.item[k].window(l.item[k].self, c, w, ident);
}

void outputFix(const outputList &l, const fixResult &f, const std::vector<std::string> &idents, double t) {
    for (int k = 0; k < l.count; ++k)
        if (l.item[k].fix) l.item[k].fix(l.item[k].self, f, idents, t);
}

void outputNotice(const outputList &l, noticeKind kind, const std::string &line) {
    for (int k = 0; k < l.count; ++k)
        if (l.item[k].notice) l.item[k].notice(l.item[k].self, kind, line);
}

resultOutput textOutputOf(textOutput &t) { return resultOutput{textWindow, textFix, textNotice, &t}; }

void reportWindow(outSaid &s, const outConfig &c, const trustWindow &w, const identState &ident, bool heard,
                  const outputList &o) {
    outputWindow(o, c, w, ident.confirmed);

    // With several stations, each notice names its own.
    const std::string who = c.tagged ? "navdial: " + megahertz(c.freqHz) + " MHz: " : "navdial: ";
    const char *n = who.c_str();
    constexpr noticeKind notice = noticeKind::notice, verbose = noticeKind::verbose;
    const bool valid = w.reasons == 0;
    if (!valid && s.lastValid != 0)
        say(o, notice, "%sbearing not valid (%s): %s", n, reasonList(w.reasons, "", ", ").c_str(),
            keyFigures(w).c_str());
    else if (valid && s.lastValid == 0)
        say(o, notice, "%sbearing valid again: %s", n, keyFigures(w).c_str());
    s.lastValid = valid;

    const bool clip = w.clip > kClipHint;
    if (clip && !s.clipHint)
        say(o, notice, "%s%.1f %% of the I/Q bytes are clipped at 0 or 255; lower the gain with -g", n, 100 * w.clip);
    s.clipHint = clip;
    const bool quant = c.eightBit && w.noiseLsb < kQuantNoise && w.levelDbfs < kQuantLevel;
    if (quant && !s.quantHint)
        say(o, notice,
            "%sthe carrier is at %.1f dBFS and the noise %.2f steps of the 8-bit samples: "
            "quantisation dominates; raise the gain with -g",
            n, w.levelDbfs, w.noiseLsb);
    s.quantHint = quant;

    if (heard && c.verbose) {
        if (ident.lastHeard.empty())
            say(o, verbose, "%sident heard, not readable", n);
        else
            say(o, verbose, "%sident heard: %s (dot %.0f ms, %.1f words per minute)", n, ident.lastHeard.c_str(),
                1000 * ident.lastDot, 1.2 / ident.lastDot);
    }
    if (ident.confirmed != s.ident) {
        say(o, notice, "%sstation ident %s", n, ident.confirmed.c_str());
        s.ident = ident.confirmed;
    }

    if (c.verbose)
        say(o, verbose,
            "%st %.2f s, radial %5.1f, %s%s%s; C/N0 %.1f dB-Hz, level %.1f dBFS, clip %.3f %%, "
            "var %.1f %%, sub %.1f %%, deviation %.0f Hz, sigma %.2f deg, SNR var %.1f sub %.1f ref %.1f dB%s",
            n, w.t, w.radial, valid ? "valid" : "not valid (", reasonList(w.reasons, "", ", ").c_str(),
            valid ? "" : ")", w.cn0, w.levelDbfs, 100 * w.clip, 100 * w.varDepth, 100 * w.subDepth, w.deviationHz,
            w.sigma, w.varSnr, w.subSnr, w.refSnr, w.slip ? ", slip" : "");
}

std::string fixLine(const fixResult &f, const std::vector<std::string> &idents, outFormat format, double t) {
    char b[256];
    if (format == outFormat::plain) {
        std::snprintf(b, sizeof b, "fix %.5f %.5f %.0f", f.lat, f.lon, f.major);
        return b;
    }
    std::snprintf(b, sizeof b,
                  "{\"t\": %.5f, \"fix\": {\"lat\": %.5f, \"lon\": %.5f, "
                  "\"err95_m\": %.0f, \"major_m\": %.0f, \"minor_m\": %.0f, \"azimuth_deg\": %.1f, "
                  "\"stations\": [",
                  t, f.lat, f.lon, f.major, f.major, f.minor, f.majorAzimuth);
    std::string s = b;
    // Idents from the station file: letters and digits, nothing to escape.
    for (size_t k = 0; k < idents.size(); ++k) s += (k ? ", \"" : "\"") + idents[k] + "\"";
    return s + "]}}";
}
