// Several stations from one dongle. VOR channels lie on a 50 kHz raster,
// so with the tuner's centre on it, every station within 950 kHz of the
// centre sits at k x 50 kHz: a 40-entry table of exp(-j 2 pi k i/40) and
// the same 40-pair block sum give its envelope (the block sum's nulls fall
// on the other channels). Each station then has its own estimator,
// measures, ident and output. Stations further apart share the dongle in
// turn: one window on each, the tuner retuned between them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "chain.h"
#include "dongle.h"
#include "output.h"
#include "position.h"

constexpr int kSpanBin = kDongleBlock;  // pairs per block, and entries of each table
constexpr int kSpanMaxBin = 19;         // 950 kHz: 20 kHz inside the 2 MS/s span's edge

// One station decoded beside others: its mixing and block sum, and its chain.
struct span;
struct spanStation {
    span *owner = nullptr;
    size_t index = 0;  // in the span's order
    int32_t freqHz = 0;
    int bin = 0;             // the station at centre + bin x 50 kHz
    float osc[kSpanBin][2];  // (re, im) of exp(-j 2 pi bin i/40)
    float D[2];              // the running block sum
    chain *c = nullptr;
    int64_t seenTo = 0;  // cycling: the block count when its last turn ended
    ~spanStation() { chainDestroy(c); }
};

// The stations of one stream.
struct span {
    std::vector<std::unique_ptr<spanStation>> stations;
    const float *bytes = nullptr;  // byte b as the float b - 127.5 (rtl's table)
    positionState *position = nullptr;
    bool cycling = false;
    int idx = 0;            // position in the current block, the same for every station
    size_t active = 0;      // cycling: the station whose turn it is
    bool turnDone = false;  // cycling: its window is out, the stream is ending
    int discard = 0;        // cycling: buffers still to throw away after a retune
    int64_t blocks = 0;     // cycling: blocks of 40 pairs streamed, every station's included
};

// Whether hz is on the 50 kHz channel raster.
bool onRaster(int32_t hz);

// A centre on the raster that puts every station within kSpanMaxBin
// channels and none on the tuner's DC, preferring centres where no
// station's mirror image (the dongle's IQ imbalance) falls on another, then
// the middle. 0 when they do not fit.
int32_t spanCentre(const std::vector<int32_t> &freqs);

// Sets up the stations (the first is the bare argument's) at `centre`, or
// each in its turn when `cycling`, reporting to `outputs`; with `position`,
// each window also goes to the fix. Null when memory runs out. A stream
// reaches the stations through spanBuffer (setRtlSink) or spanBlock; one
// station 50 kHz above the tuner needs neither: the front end's own
// detector mixes it with the same table (setRtlChain).
span *spanCreate(const std::vector<int32_t> &freqs, int32_t centre, bool cycling, const outConfig &base,
                 const outputList *outputs, positionState *position);
void spanDestroy(span *sp);
// The run is over: each station's closing report (chainFinish).
void spanFinish(span &sp);

// The stream's sink (user: the span): 8-bit IQ at 2 MS/s, the tuner at the centre.
void spanBuffer(void *user, unsigned char *buf, uint32_t len);

// A block sum of station k (in spanCreate's order) from elsewhere: a
// recording's down-converter (user: the span).
void spanBlock(void *user, size_t k, float re, float im);

// The dongle, cycling: a window on each station in turn, the tuner 50 kHz
// below it, the first buffer after each retune thrown away. Until a stop or
// a stall, or the end of a stream: 0; -1 when the tuner refused a retune.
int spanCycle(span &sp);
