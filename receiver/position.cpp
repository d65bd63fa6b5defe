#include "position.h"

#include <cmath>

namespace {

std::string stationText(const station &s) {
    std::string t = s.ident + " (" + s.name;
    if (!s.country.empty()) t += ", " + s.country;
    return t + ")";
}

std::string identList(const std::vector<const station *> &c) {
    std::string t;
    const size_t shown = std::min<size_t>(c.size(), 6);
    for (size_t k = 0; k < shown; ++k) t += (k ? ", " : "") + c[k]->ident;
    if (c.size() > shown) t += ", ...";
    return t;
}

// Which station of the file a frequency and ident are, and what to say
// about it. Null, with the reason, while it cannot be told: never a guess.
const station *tellApart(const positionState &p, int32_t freqHz, const std::string &ident, std::string &say) {
    const std::string f = megahertz(freqHz) + " MHz";
    const std::string within = p.near.known ? " within 400 km of -P" : "";
    const std::vector<const station *> c = candidates(p.db, (freqHz + 500) / 1000, ident, p.near);
    if (c.size() == 1) {
        const station &s = *c[0];
        say = f + ": station " + stationText(s);
        if (ident.empty()) say += p.near.known ? ", the only one on it within 400 km of -P" : ", the only one on it";
        if (std::isnan(s.slavedVar) && !std::isnan(s.magneticVar)) {
            char b[96];
            std::snprintf(b, sizeof b,
                          "; its slaved variation is not known: the magnetic one "
                          "(%.1f deg %s) stands in",
                          std::fabs(s.magneticVar), s.magneticVar < 0 ? "W" : "E");
            say += b;
        } else if (std::isnan(s.slavedVar)) {
            say += "; no variation known: its radials are taken as true bearings";
        }
        return &s;
    }
    if (!ident.empty())
        say = c.empty() ? f + ": ident " + ident + " is not on it in the station file" + within
                        : f + ": " + std::to_string(c.size()) + " stations " + ident +
                              " on it in the station file; give -P lat,lon";
    else if (c.empty())
        say = f + ": no station on it in the station file" + within;
    else
        say = f + " is ambiguous: " + std::to_string(c.size()) + " stations" + within + " (" + identList(c) +
              "); waiting for its ident" + (p.near.known ? "" : " (or give -P lat,lon)");
    return nullptr;
}

}  // namespace

void positionWindow(positionState &p, size_t index, const trustWindow &w, const std::string &ident) {
    positionStation &s = p.stations[index];
    std::string say;
    s.known = tellApart(p, s.freqHz, ident, say);
    if (say != s.said) {
        outputNotice(*p.outputs, noticeKind::notice, "navdial: " + say);
        s.said = say;
    }
    s.valid = w.reasons == 0;
    s.round = p.round;
    s.radial = w.radial;
    s.sigma = w.sigma;
}

void positionRound(positionState &p, double t) {
    std::vector<bearingLine> lines;
    std::vector<std::string> idents;
    size_t known = 0;
    bool magnetic = false;
    for (const positionStation &s : p.stations) {
        known += s.known != nullptr;
        // Valid, and from this round or the one before: no older than two windows.
        if (!s.known || !s.valid || s.round < p.round - 1) continue;
        lines.push_back({s.known->lat, s.known->lon, trueBearing(*s.known, s.radial, magnetic),
                         std::hypot(s.sigma, kStationSigma)});
        idents.push_back(s.known->ident);
    }
    ++p.round;
    std::string why;
    fixResult f;
    if (known < 2) {
        why = "waiting for two stations told apart in the station file";
    } else if (lines.size() < 2) {
        why = "waiting for valid bearings from two stations";
    } else {
        f = computeFix(lines);
        if (!f.ok) why = f.why;
    }
    if (f.ok)
        outputFix(*p.outputs, f, idents, t);
    else if (why != p.said)
        outputNotice(*p.outputs, noticeKind::notice, "navdial: no fix: " + why);
    p.said = why;
}
