// Radio front end. The tuner sits 50 kHz below the station, so the carrier
// lies at +50 kHz: exactly 1/40 of the 2 MS/s sample rate. A 40-entry table
// therefore holds one whole turn of the mixing oscillator, and the table index
// is also the position within a block of 40 samples.
#include "rtl.h"

#include <rtl-sdr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "chain.h"
#include "dongle.h"
#include "settings.h"
#include "vor.h"

namespace {

constexpr int kBlock = kDongleBlock;
constexpr double kPiOver40 = 0.07853981633974481;

// The detector: its tables, built once, and the described single instance
// behind in_callback.
struct detector {
    float osc[kBlock][2];  // (re, im) of exp(-j 2 pi i/40)
    float byteValue[256];  // byte b as the float b - 127.5, exactly
    // Their products, byte b at pair i of a block: (b - 127.5) osc[i], each
    // rounded to float as the multiplication would be. The loop then only
    // adds, at the same bits (80 KB; a dongle's bytes keep near the middle,
    // so the part in use stays in the cache).
    float mix[kBlock][256][2];
    int idx;               // position of the next pair in the current block
    float D[2];            // running sum of the current block (re, im)
    chain *station;        // the chain it feeds...
    const blockSink *out;  // ...or a sink in its place (both null: the described vor())
};
detector det;

// The dongle, and where its buffers go.
struct dongle {
    rtlsdr_dev_t *dev;
    bufferSink sink;  // several stations: the buffers go there (null: the detector)
    void *sinkUser;
};
dongle rtl;

// The magnitude of a block's sum.
inline float envelope(float re, float im) { return blockEnvelope(re, im); }

constexpr uint32_t kBufNum = 8;
constexpr uint32_t kBufLen = kDongleBuffer;
constexpr unsigned kStallSeconds = 5;  // no buffer for this long: the dongle is wedged

constexpr char kStallMessage[] =
    "navdial: no samples from the dongle for 5 seconds; it seems wedged. "
    "Reset it with replug (see replug(1)) or plug it in again.\n";

volatile sig_atomic_t streaming;  // a stream (dongle or file) has started
volatile sig_atomic_t stopAsked;  // a termination signal asked the stream to end
volatile sig_atomic_t stalled;    // the watchdog ended the stream

// Chooses the supported gain nearest to the wanted one; on a tie the earlier
// entry stays. 0 when the tuner reports no gains (then nothing is printed),
// or when the list cannot be had.
int chooseGain() {
    const int count = rtlsdr_get_tuner_gains(rtl.dev, nullptr);
    if (count <= 0) return 0;
    int choice = 0;
    if (int *gains = static_cast<int *>(std::malloc(sizeof(int) * static_cast<size_t>(count)))) {
        // Never walk past the list, whatever the second query claims.
        const int filled = std::min(rtlsdr_get_tuner_gains(rtl.dev, gains), count);
        if (filled > 0) choice = gains[0];
        for (int k = 0; k < filled; ++k)
            if (std::llabs(int64_t{gain} - gains[k]) < std::llabs(int64_t{gain} - choice)) choice = gains[k];
        std::free(gains);
    }
    if (verbose) std::fprintf(stderr, "Tuner gain : %f\n", static_cast<double>(static_cast<float>(choice)) * 0.1);
    return choice;
}

// A block's end: its sum to the station's chain, or its magnitude to the
// described estimator. Out of line: the block loop keeps its registers.
[[gnu::noinline]] void blockDone(float re, float im) {
    if (det.station)
        chainBlock(*det.station, re, im);
    else if (det.out)
        det.out->block(det.out->user, re, im);
    else
        vor(envelope(re, im));
}

void watchdog(int) {
    if (stalled) {
        // The cancelled read did not end either. Every printed line was
        // flushed with its buffer, so nothing is lost by leaving now.
        (void)!write(STDERR_FILENO, kStallMessage, sizeof kStallMessage - 1);
        _exit(255);
    }
    stalled = 1;
    rtlsdr_cancel_async(rtl.dev);
    alarm(kStallSeconds);
}

// The live stream's callback: rearms the watchdog, then the envelope detector.
void live_callback(unsigned char *buf, uint32_t len, void *ctx) {
    alarm(kStallSeconds);
    if (rtl.sink)
        rtl.sink(rtl.sinkUser, buf, len);
    else
        in_callback(buf, len, ctx);
    // A signal that came before the library's read was running could not
    // cancel it; it is honoured here.
    if (stopAsked) rtlsdr_cancel_async(rtl.dev);
}

}  // namespace

int initRtl(int index, int frequency) {
    if (rtlsdr_get_device_count() == 0) {
        std::fprintf(stderr, "No supported devices found.\n");
        return -1;
    }
    if (verbose)
        std::fprintf(stderr, "Using device %d: %s\n", index, rtlsdr_get_device_name(static_cast<uint32_t>(index)));
    int r = rtlsdr_open(&rtl.dev, static_cast<uint32_t>(index));
    // Some builds return 0 without a handle when the kernel driver cannot be detached.
    if (r < 0 || !rtl.dev) {
        std::fprintf(stderr, "Failed to open rtlsdr device\n");
        std::fprintf(stderr,
                     "Check that your user may use the dongle (udev rules, plugdev group) and that "
                     "no other program, nor the DVB kernel driver dvb_usb_rtl28xxu, holds it.\n");
        rtl.dev = nullptr;
        return r < 0 ? r : -1;
    }
    rtlsdr_set_tuner_gain_mode(rtl.dev, 1);
    const int chosen = chooseGain();
    if (rtlsdr_set_tuner_gain(rtl.dev, chosen) < 0) std::fprintf(stderr, "WARNING: Failed to set gain.\n");
    if (ppm != 0 && rtlsdr_set_freq_correction(rtl.dev, ppm) < 0)
        std::fprintf(stderr, "WARNING: Failed to set freq. correction\n");
    if (rtlsdr_set_center_freq(rtl.dev, static_cast<uint32_t>(frequency - kDongleOffset)) < 0)
        std::fprintf(stderr, "WARNING: Failed to set center freq.\n");
    if (rtlsdr_set_sample_rate(rtl.dev, kDongleRate) < 0) std::fprintf(stderr, "WARNING: Failed to set sample rate.\n");
    if (rtlsdr_reset_buffer(rtl.dev) < 0) std::fprintf(stderr, "WARNING: Failed to reset buffers.\n");
    initOsc();
    return 0;
}

int runRtlSample() {
    struct sigaction sa {};
    sa.sa_handler = watchdog;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    alarm(kStallSeconds);
    streaming = 1;
    const int r = rtlsdr_read_async(rtl.dev, live_callback, nullptr, kBufNum, kBufLen);
    alarm(0);
    return r;
}

bool requestStop() {
    stopAsked = 1;
    if (!streaming) return false;
    if (rtl.dev) rtlsdr_cancel_async(rtl.dev);  // only sets two integers
    return true;
}

void rtlBuffer(unsigned char *buf, uint32_t len) {
    if (rtl.sink)
        rtl.sink(rtl.sinkUser, buf, len);
    else
        in_callback(buf, len, nullptr);
}

void streamStarted() { streaming = 1; }

void setRtlSink(bufferSink s, void *user) {
    rtl.sink = s;
    rtl.sinkUser = user;
}

bool retuneRtl(int centre) {
    if (rtlsdr_set_center_freq(rtl.dev, static_cast<uint32_t>(centre)) < 0) {
        std::fprintf(stderr, "WARNING: Failed to set center freq.\n");
        return false;
    }
    if (rtlsdr_reset_buffer(rtl.dev) < 0) std::fprintf(stderr, "WARNING: Failed to reset buffers.\n");
    return true;
}

void endRtlStream() {
    if (rtl.dev) rtlsdr_cancel_async(rtl.dev);
}

void reportStall() { std::fputs(kStallMessage, stderr); }

bool stopRequested() { return stopAsked != 0; }
bool streamStalled() { return stalled != 0; }

void initOsc() {
    for (int b = 0; b < 256; ++b) det.byteValue[b] = static_cast<float>(b) - 127.5f;
    det.osc[0][0] = 1.0f;
    det.osc[0][1] = 0.0f;
    for (int i = 1; i < kBlock; ++i) {
        const float ang = static_cast<float>(static_cast<double>(static_cast<float>(i) * -2.0f) * kPiOver40);
        sincosf(ang, &det.osc[i][1], &det.osc[i][0]);
    }
    for (int i = 0; i < kBlock; ++i)
        for (int b = 0; b < 256; ++b) {
            det.mix[i][b][0] = det.byteValue[b] * det.osc[i][0];
            det.mix[i][b][1] = det.byteValue[b] * det.osc[i][1];
        }
}

const float *oscEntry(int i) { return det.osc[i]; }

const float *byteFloats() { return det.byteValue; }

void setRtlChain(chain *c) { det.station = c; }

void setRtlOutput(const blockSink *s) { det.out = s; }

void envelopeValue(float e) {
    if (det.station)
        chainValue(*det.station, e);
    else if (det.out)
        det.out->value(det.out->user, e);
    else
        vor(e);
}

void measureBytes(const unsigned char *buf, uint32_t len) {
    if (det.station)
        chainBytes(*det.station, buf, len);
    else if (det.out)
        det.out->bytes(det.out->user, buf, len);
}

void resetBlock() {
    det.idx = 0;
    det.D[0] = det.D[1] = 0.0f;
}

// The same sums, cheaper: each byte's product with the oscillator comes
// from a table, and the pairs up to the end of a block (or of the buffer)
// run in one loop with the sum in registers.
void in_callback(unsigned char *buf, uint32_t len, void * /*ctx*/) {
    measureBytes(buf, len);
    const unsigned char *p = buf;
    uint32_t pairs = len / 2;  // an unpaired last byte is ignored
    while (pairs > 0) {
        const uint32_t take = std::min<uint32_t>(pairs, static_cast<uint32_t>(kBlock - det.idx));
        const float(*m)[256][2] = det.mix + det.idx;
        float re = det.D[0], im = det.D[1];
#pragma GCC unroll 8
        for (uint32_t k = 0; k < take; ++k, p += 2) {
            // i o - q o' and q o + i o', as products of the table
            const float *i = m[k][p[0]], *q = m[k][p[1]];
            re += i[0] - q[1];
            im += q[0] + i[1];
        }
        pairs -= take;
        det.idx += static_cast<int>(take);
        if (det.idx == kBlock) {
            blockDone(re, im);
            re = im = 0.0f;
            det.idx = 0;
        }
        det.D[0] = re;
        det.D[1] = im;
    }
    // A bearing printed from this buffer reaches a pipe now, not when a few
    // kilobytes have piled up (a buffer is 20 ms of signal).
    std::fflush(stdout);
}
