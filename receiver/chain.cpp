#include "chain.h"

#include <new>

#include "monitor.h"

namespace {

// The carrier loop costs about 5 M ARM instructions a second; the ident
// needs it only where an envelope detector starts to lose (below about
// 52 dB-Hz), the weak-signal estimator always.
constexpr double kCoherentBelow = 52.0;

void setCoherent(chain &c, bool on) {
    if (on && !c.coherent) carrierReset(c.carrier);
    c.coherent = on;
}

}  // namespace

// A window's end: its measures (and with -w the weak-signal estimator's
// figures), the line and the notices; then whether the carrier loop runs
// for the next window, and whoever else wants the window.
void chainWindowEnd(chain &c) {
    const bool heard = c.opt.ident && identTakeHeard(c.ident);
    if (!c.opt.measures) {
        if (c.onWindow) c.onWindow(c, nullptr, c.user);
        return;
    }
    trustWindow w = trustClose(c.trust, c.vor.bearing, c.vor.slip);
    if (c.weak) weakTrust(w, weakClose(*c.weak));
    if (c.monitor) monitorWindow(*c.monitor, c.trust, c.ident, c.coherent, c.ident.confirmed, w, *c.outputs);
    if (!c.ident.lastHeard.empty() && c.ident.lastHeard != c.ident.confirmed) w.identHeard = c.ident.lastHeard.c_str();
    if (c.opt.write) reportWindow(c.said, c.out, w, c.ident, heard, *c.outputs);
    if (c.opt.carrier == carrierUse::byLevel) setCoherent(c, c.weak || !(w.cn0 >= kCoherentBelow));
    if (c.onWindow) c.onWindow(c, &w, c.user);
}

chain *chainCreate(const chainOptions &opt, const outConfig &out, const outputList *outputs) {
    chain *c = new (std::nothrow) chain{};
    if (!c) return nullptr;
    c->opt = opt;
    c->out = out;
    c->outputs = outputs;
    c->identMix = identTable();
    if (opt.weak) {
        c->weak.reset(new (std::nothrow) weakState{});
        if (!c->weak) {
            delete c;
            return nullptr;
        }
    }
    if (out.monitor && !(c->monitor = monitorCreate(*out.monitor, out.freqHz))) {
        delete c;
        return nullptr;
    }
    chainReset(*c);
    return c;
}

void chainFinish(chain &c) {
    if (c.monitor) monitorFinish(*c.monitor, c.out, *c.outputs);
}

void chainReset(chain &c) {
    vorInit(c.vor);
    c.vor.measures = c.opt.measures ? &c.trust : nullptr;
    c.trust = trustState{};
    c.trust.flat = c.out.flatFront;
    c.trust.noiseShape = c.out.noiseShape;
    c.trust.farLag = c.monitor != nullptr;
    c.trust.lock = c.monitor ? monitorLock(*c.monitor) : nullptr;
    c.ident = identState{};
    c.coherent = false;
    // Until the first window tells the level, the loop runs wherever it may.
    setCoherent(c, c.opt.carrier != carrierUse::off);
    if (c.weak) weakReset(*c.weak);
    c.said = outSaid{};
}

void chainDestroy(chain *c) {
    if (c) monitorDestroy(c->monitor);
    delete c;
}

void chainValue(chain &c, float e) {
    if (c.opt.ident) identStep(c.ident, e, c.identMix);
    if (c.weak) weakStep(*c.weak, e);
    if (vorStep(c.vor, e)) chainWindowEnd(c);
}

void chainBytes(chain &c, const unsigned char *buf, uint32_t len) {
    if (c.opt.measures) trustBuffer(c.trust, buf, len);
}
