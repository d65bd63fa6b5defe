// One station's receiver chain: everything that follows the front end for
// one station, in one object. It takes the front end's block sums (or an AM
// recording's envelope values), runs the estimator with the trust measures,
// the ident decoder, the carrier loop and the weak-signal estimator beside
// it, and at the end of each window writes the line and the notices through
// the output. Created, reset and stepped like a liquid-dsp object; any
// number of them, one per station.
#pragma once

#include <cstdint>
#include <memory>

#include "blocks.h"
#include "carrier.h"
#include "ident.h"
#include "output.h"
#include "trust.h"
#include "vor.h"
#include "weak.h"

// When the carrier loop makes the coherent AM for the ident and the
// weak-signal estimator: never, always, or (navdial's) in the first window
// and wherever the last window's C/N0 was below 52 dB-Hz, always with -w.
enum class carrierUse { off, on, byLevel };

struct chainOptions {
    bool measures = true;  // the trust measures: a window's figures, flag and notices
    bool ident = true;     // the Morse ident decoder
    bool weak = false;     // -w: the weak-signal estimator's bearings (needs the measures)
    carrierUse carrier = carrierUse::byLevel;
    bool write = true;  // report each window to the outputs (needs the measures; else only onWindow sees it)
};

struct chain;
// Called after each window is written: w is null without the measures.
using chainWindowFn = void (*)(chain &c, const trustWindow *w, void *user);

struct chain {
    chainOptions opt;
    outConfig out;                     // how its windows are written
    const outputList *outputs;         // where they go (chainCreate's)
    vorState vor;                      // the estimator
    trustState trust;                  // the measures beside it
    identState ident;                  // the ident decoder
    const float (*identMix)[2];        // the ident's mixing table (shared, built once)
    carrierLoop carrier;               // coherent AM for the ident and -w
    bool coherent;                     // the carrier loop runs
    std::unique_ptr<weakState> weak;   // -w only: 200 KB
    struct monitorState *monitor;      // --monitor, --at only (out.monitor's)
    outSaid said;                      // what its output said last
    chainWindowFn onWindow = nullptr;  // the fix, a turn's end, a sweep's collector
    void *user = nullptr;
};

// A chain in its start state, writing as `out` says to `outputs` (which
// must outlive it); null when memory runs out.
chain *chainCreate(const chainOptions &opt, const outConfig &out, const outputList *outputs);
// Back to the start state: the estimator's warm-up, empty measures and
// ident, the carrier loop acquiring, nothing said yet. Keeps onWindow.
void chainReset(chain &c);
void chainDestroy(chain *c);

// One block sum of 40 IQ pairs in byte units (as the front end makes one).
// Inline: it runs 50000 times a second per station.
inline void chainBlock(chain &c, float re, float im);
// One envelope value with no IQ behind it (AM audio): the ident, -w and the
// estimator; the measures see it through the estimator.
void chainValue(chain &c, float envelope);
// Bytes of 8-bit IQ, for the clipping count (nothing without the measures).
void chainBytes(chain &c, const unsigned char *buf, uint32_t len);

// What happens at a window's end (out of line: once a window).
void chainWindowEnd(chain &c);
// The run is over (a recording's end, a stop by signal): the monitor's report.
void chainFinish(chain &c);

inline void chainBlock(chain &c, float re, float im) {
    if (c.opt.measures) trustBlock(c.trust, re, im);
    const float e = blockEnvelope(re, im);
    const float a = c.coherent ? static_cast<float>(carrierStep(c.carrier, re * kBlockScale, im * kBlockScale)) : e;
    if (c.opt.ident) identStep(c.ident, a, c.identMix);
    if (c.weak) weakStep(*c.weak, a);
    if (vorStep(c.vor, e)) chainWindowEnd(c);
}
