#include "multi.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "dongle.h"
#include "rtl.h"

namespace {

// The mixing and block sums of one to four stations over a buffer, from
// block position `at`: rtl's detector loop with each station's table. In one
// pass, each pair's bytes are read and turned into floats once, and every
// station's sum stays in registers.
template <int N>
void mixJoint(span &sp, spanStation *const *st, const unsigned char *p, uint32_t pairs, int at) {
    const float *kByte = sp.bytes;
    for (int j = 0; j < N; ++j) chainBytes(*st[j]->c, p, 2 * pairs);
    float re[N], im[N];
    for (int j = 0; j < N; ++j) {
        re[j] = st[j]->D[0];
        im[j] = st[j]->D[1];
    }
    while (pairs > 0) {
        const uint32_t take = std::min<uint32_t>(pairs, static_cast<uint32_t>(kSpanBin - at));
        const float(*o[N])[2];
        for (int j = 0; j < N; ++j) o[j] = st[j]->osc + at;
#pragma GCC unroll 4
        for (uint32_t k = 0; k < take; ++k, p += 2) {
            const float i = kByte[p[0]], q = kByte[p[1]];
            for (int j = 0; j < N; ++j) {
                re[j] += i * o[j][k][0] - q * o[j][k][1];
                im[j] += q * o[j][k][0] + i * o[j][k][1];
            }
        }
        pairs -= take;
        at += static_cast<int>(take);
        if (at == kSpanBin) {
            for (int j = 0; j < N; ++j) {
                chainBlock(*st[j]->c, re[j], im[j]);
                re[j] = im[j] = 0.0f;
            }
            at = 0;
            if (sp.turnDone) return;  // cycling: the rest of the buffer is not this station's
        }
    }
    for (int j = 0; j < N; ++j) {
        st[j]->D[0] = re[j];
        st[j]->D[1] = im[j];
    }
}

// After a station's window is written: the fix, and cycling, its turn's end.
void windowDone(chain &c, const trustWindow *w, void *user) {
    spanStation &s = *static_cast<spanStation *>(user);
    span &sp = *s.owner;
    if (sp.position) {
        const size_t k = s.index;
        positionWindow(*sp.position, k, *w, c.ident.confirmed);
        // A round ends with the last station's window; cycling, its turn
        // ends the cycle.
        if (k + 1 == sp.stations.size())
            positionRound(*sp.position, sp.cycling ? static_cast<double>(sp.blocks) / kEnvelopeRate : w->t);
    }
    if (sp.cycling) {
        sp.turnDone = true;
        endRtlStream();
    }
}

// The table of a station `bin` channels above the centre: entry i is the
// 50 kHz table's entry (bin i mod 40), so that a station at +50 kHz mixes
// with the very numbers of the one-station detector.
void fillTable(spanStation &s) {
    for (int i = 0; i < kSpanBin; ++i) {
        const int m = ((s.bin * i) % kSpanBin + kSpanBin) % kSpanBin;
        s.osc[i][0] = oscEntry(m)[0];
        s.osc[i][1] = oscEntry(m)[1];
    }
}

// A station's turn begins: the estimator's warm-up again, the carrier loop
// acquiring, the measures' clock moved on by the time it was not heard.
void beginTurn(span &sp, spanStation &s) {
    vorInit(s.c->vor);
    carrierReset(s.c->carrier);
    const int64_t gap = sp.blocks - s.seenTo;
    s.c->trust.pos += static_cast<uint64_t>(gap - gap % 64);  // whole rings: the high-pass stays aligned
    s.D[0] = s.D[1] = 0.0f;
    sp.idx = 0;
    sp.turnDone = false;
    sp.discard = 1;
}

}  // namespace

bool onRaster(int32_t hz) { return hz % kChannelSpacing == 0; }

int32_t spanCentre(const std::vector<int32_t> &freqs) {
    if (freqs.empty()) return 0;
    const auto [lo, hi] = std::minmax_element(freqs.begin(), freqs.end());
    const int64_t reach = int64_t{kSpanMaxBin} * kChannelSpacing;
    int32_t best = 0;
    int64_t bestScore = INT64_MAX;
    for (int64_t c = *hi - reach; c <= *lo + reach; c += kChannelSpacing) {
        bool onDc = false;
        int images = 0;
        for (int32_t f : freqs) {
            onDc |= f == c;
            for (int32_t g : freqs) images += g != f && g == 2 * c - f;
        }
        if (onDc) continue;
        // Mirror images first, then the distance from the middle.
        const int64_t score = images * 100000000LL + std::llabs(2 * c - *lo - *hi);
        if (score < bestScore) {
            bestScore = score;
            best = static_cast<int32_t>(c);
        }
    }
    return best;
}

span *spanCreate(const std::vector<int32_t> &freqs, int32_t centre, bool cycling, const outConfig &base,
                 const outputList *outputs, positionState *pos) {
    initOsc();
    auto sp = std::make_unique<span>();
    sp->bytes = byteFloats();
    sp->position = pos;
    sp->cycling = cycling;
    for (int32_t f : freqs) {
        auto s = std::make_unique<spanStation>();
        s->owner = sp.get();
        s->index = sp->stations.size();
        s->freqHz = f;
        s->bin = cycling ? 1 : (f - centre) / kChannelSpacing;
        fillTable(*s);
        s->D[0] = s->D[1] = 0.0f;
        outConfig config = base;
        config.freqHz = f;
        chainOptions opt;
        opt.weak = base.weak;
        s->c = chainCreate(opt, config, outputs);
        if (!s->c) return nullptr;
        s->c->onWindow = windowDone;
        s->c->user = s.get();
        sp->stations.push_back(std::move(s));
    }
    if (pos) {
        pos->stations.clear();
        for (int32_t f : freqs) {
            positionStation p;
            p.freqHz = f;
            pos->stations.push_back(p);
        }
    }
    return sp.release();
}

void spanDestroy(span *sp) { delete sp; }

void spanBuffer(void *user, unsigned char *buf, uint32_t len) {
    span &sp = *static_cast<span *>(user);
    const uint32_t pairs = len / 2;  // an unpaired last byte is ignored
    if (sp.cycling) {
        sp.blocks += pairs / kSpanBin;  // buffers are whole blocks
        if (sp.turnDone) return;        // in flight when the turn ended
        if (sp.discard > 0) {           // from before the retune, or while the tuner settled
            --sp.discard;
            return;
        }
        spanStation *one = sp.stations[sp.active].get();
        mixJoint<1>(sp, &one, buf, pairs, sp.idx);
    } else {
        // In groups of up to four.
        for (size_t k = 0; k < sp.stations.size();) {
            spanStation *group[4];
            const size_t n = std::min<size_t>(4, sp.stations.size() - k);
            for (size_t j = 0; j < n; ++j) group[j] = sp.stations[k + j].get();
            if (n == 4)
                mixJoint<4>(sp, group, buf, pairs, sp.idx);
            else if (n == 3)
                mixJoint<3>(sp, group, buf, pairs, sp.idx);
            else if (n == 2)
                mixJoint<2>(sp, group, buf, pairs, sp.idx);
            else
                mixJoint<1>(sp, group, buf, pairs, sp.idx);
            k += n;
        }
    }
    sp.idx = static_cast<int>((static_cast<uint32_t>(sp.idx) + pairs) % kSpanBin);
    std::fflush(stdout);
}

void spanBlock(void *user, size_t k, float re, float im) {
    chainBlock(*static_cast<span *>(user)->stations[k]->c, re, im);
}

int spanCycle(span &sp) {
    for (bool first = true;; first = false) {
        for (size_t k = 0; k < sp.stations.size(); ++k) {
            if (stopRequested() || streamStalled()) return 0;
            spanStation &s = *sp.stations[k];
            // The first station's tuning is the dongle's set-up.
            if (!(first && k == 0) && !retuneRtl(s.freqHz - kDongleOffset)) return -1;
            sp.active = k;
            beginTurn(sp, s);
            runRtlSample();
            s.seenTo = sp.blocks;
            if (!sp.turnDone) return 0;  // a stop, a stall, or the stream ended
        }
    }
}

void spanFinish(span &sp) {
    for (auto &s : sp.stations) chainFinish(*s->c);
}
