#include "trustrun.h"

#include <algorithm>

#include "chain.h"
#include "rtl.h"
#include "settings.h"

namespace {

void keep(chain &, const trustWindow *w, void *user) { static_cast<std::vector<trustWindow> *>(user)->push_back(*w); }

// A chain of the measures (and with `weak` the weak-signal estimator behind
// the carrier loop) fed by the detector, writing nothing: each window's
// measures are collected.
template <class Feed>
std::vector<trustWindow> measure(int iv, Feed feed, bool weak = false) {
    interval = iv;
    resetBlock();
    initOsc();
    chainOptions opt;
    opt.ident = false;
    opt.weak = weak;
    opt.carrier = weak ? carrierUse::on : carrierUse::off;
    opt.write = false;
    std::vector<trustWindow> out;
    chain *c = chainCreate(opt, outConfig{}, nullptr);
    c->onWindow = keep;
    c->user = &out;
    setRtlChain(c);
    feed();
    setRtlChain(nullptr);
    chainDestroy(c);
    return out;
}

}  // namespace

std::vector<trustWindow> measureSignal(const SigParams &p, int iv, bool weak) {
    return measure(
        iv,
        [&] {
            SigGen g;
            sigInit(g, p);
            std::vector<uint8_t> buf(81920);
            size_t pairs;
            while ((pairs = sigNext(g, buf.data(), buf.size() / 2)) > 0)
                in_callback(buf.data(), static_cast<uint32_t>(2 * pairs), nullptr);
        },
        weak);
}

std::vector<trustWindow> measureBytes(const std::vector<uint8_t> &iq, int iv) {
    return measure(iv, [&] {
        std::vector<uint8_t> buf(81920);
        for (size_t at = 0; at < iq.size(); at += buf.size()) {
            const size_t n = std::min(buf.size(), iq.size() - at);
            std::copy(iq.begin() + static_cast<long>(at), iq.begin() + static_cast<long>(at + n), buf.begin());
            in_callback(buf.data(), static_cast<uint32_t>(n), nullptr);
        }
    });
}

identState identOfSignal(const SigParams &p, double &confirmedAt, int &changes) {
    confirmedAt = -1;
    changes = 0;
    interval = 2;
    resetBlock();
    initOsc();
    // The ident alone, hearing the coherent AM as in navdial; nothing written.
    chainOptions opt;
    opt.measures = false;
    opt.carrier = carrierUse::on;
    opt.write = false;
    chain *c = chainCreate(opt, outConfig{}, nullptr);
    setRtlChain(c);
    SigGen g;
    sigInit(g, p);
    std::vector<uint8_t> buf(81920);
    size_t pairs;
    std::string last;
    while ((pairs = sigNext(g, buf.data(), buf.size() / 2)) > 0) {
        in_callback(buf.data(), static_cast<uint32_t>(2 * pairs), nullptr);
        if (c->ident.confirmed != last) {
            if (last.empty())
                confirmedAt = static_cast<double>(g.next) / 2e6;
            else
                ++changes;
            last = c->ident.confirmed;
        }
    }
    setRtlChain(nullptr);
    identState id = c->ident;
    chainDestroy(c);
    return id;
}
