#include "trustrun.h"

#include <algorithm>

#include "output.h"
#include "rtl.h"
#include "settings.h"
#include "vor.h"

namespace {

trustState state;
weakState weakSt;
carrierLoop loop;
bool useWeak;
std::vector<trustWindow> *windows;

bool keep(double bearing, bool slip) {
    trustWindow w = trustClose(state, bearing, slip);
    if (useWeak) weakTrust(w, weakClose(weakSt));
    windows->push_back(w);
    return true;
}

template <class Feed>
std::vector<trustWindow> measure(int iv, Feed feed, bool weak = false) {
    interval = iv;
    vorReset();
    resetBlock();
    initOsc();
    state = trustState{};
    std::vector<trustWindow> out;
    windows = &out;
    useWeak = weak;
    weakReset(weakSt);
    carrierReset(loop);
    setRtlMeasures(&state, nullptr);
    setRtlWeak(weak ? &weakSt : nullptr, weak ? &loop : nullptr);
    setVorMeasures(&state, keep);
    feed();
    setRtlMeasures(nullptr, nullptr);
    setRtlWeak(nullptr, nullptr);
    setVorMeasures(nullptr, nullptr);
    return out;
}

}  // namespace

std::vector<trustWindow> measureSignal(const SigParams &p, int iv, bool weak) {
    return measure(iv, [&] {
        SigGen g;
        sigInit(g, p);
        std::vector<uint8_t> buf(81920);
        size_t pairs;
        while ((pairs = sigNext(g, buf.data(), buf.size() / 2)) > 0)
            in_callback(buf.data(), static_cast<uint32_t>(2 * pairs), nullptr);
    }, weak);
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
    static identState id;
    static carrierLoop idLoop;
    id = identState{};
    carrierReset(idLoop);
    confirmedAt = -1;
    changes = 0;
    interval = 2;
    vorReset();
    resetBlock();
    initOsc();
    setRtlMeasures(nullptr, &id);
    setRtlWeak(nullptr, &idLoop);  // as navdial: the ident hears the coherent AM
    setVorMeasures(nullptr, [](double, bool) { return true; });  // print nothing
    SigGen g;
    sigInit(g, p);
    std::vector<uint8_t> buf(81920);
    size_t pairs;
    std::string last;
    while ((pairs = sigNext(g, buf.data(), buf.size() / 2)) > 0) {
        in_callback(buf.data(), static_cast<uint32_t>(2 * pairs), nullptr);
        if (id.confirmed != last) {
            if (last.empty()) confirmedAt = static_cast<double>(g.next) / 2e6;
            else ++changes;
            last = id.confirmed;
        }
    }
    setRtlMeasures(nullptr, nullptr);
    setRtlWeak(nullptr, nullptr);
    setVorMeasures(nullptr, nullptr);
    return id;
}
