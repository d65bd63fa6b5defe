// Radio front end: the dongle's set-up and stream, the mixing table and the
// 40-sample envelope detector.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "blocks.h"

// Opens dongle `index` and sets it up for the station at `frequency` Hz:
// nearest supported gain to `gain`, crystal correction `ppm`, centre 50 kHz
// below the station, 2 MS/s; fills the mixing table. 0 on success (warnings
// included), -1 when no dongle is present, the library's error when opening fails.
int initRtl(int index, int frequency);

// Streams from the dongle into in_callback until the stream ends, a stop is
// requested or no buffer came for 5 s. Returns the library's result.
int runRtlSample();

// Async-signal-safe: asks the running stream to end. Returns false when no
// stream has started yet.
bool requestStop();
bool stopRequested();  // a stop was asked for
bool streamStalled();  // the watchdog ended the stream
void reportStall();    // says so on standard error

// Fills the mixing table Osc[i] = exp(-j 2 pi i/40): a -50 kHz oscillator at 2 MS/s.
void initOsc();

// The sample callback: takes interleaved unsigned 8-bit I/Q (zero level
// 127.5), mixes the carrier at +50 kHz down to 0 Hz, sums blocks of 40 pairs
// and hands each block's magnitude to vor(). A block may span buffers; an
// unpaired last byte is ignored. ctx is unused.
void in_callback(unsigned char *buf, uint32_t len, void *ctx);

// The mixing table, for tests: entry i as (cos, sin), single precision.
const float *oscEntry(int i);
// Byte b as the float b - 127.5, exactly: 256 entries, filled by initOsc().
const float *byteFloats();

// Empties the block accumulator (tests, several inputs in a row).
void resetBlock();

// What the detector feeds: a station's chain (chain.h), or in its place a
// sink (a test's recorder, a benchmark's stand-in). Both null, the start
// state: each block's envelope goes to vor(), and nothing else runs. They
// must outlive the stream.
struct chain;
void setRtlChain(chain *c);
void setRtlOutput(const blockSink *s);

// The same path for samples that come from elsewhere (recordings through
// input.h): an envelope value with no IQ behind it (AM audio); bytes of
// 8-bit IQ, for the clipping count.
void envelopeValue(float envelope);
void measureBytes(const unsigned char *buf, uint32_t len);

// Several stations: with `sink` set, the dongle's and rtlBuffer()'s
// buffers go to it instead of in_callback (null, the start state: the
// detector). Set before the stream starts.
using bufferSink = void (*)(void *user, unsigned char *buf, uint32_t len);
void setRtlSink(bufferSink sink, void *user);
// A buffer of 8-bit IQ in the dongle's layout from elsewhere (a file, a
// pipe) into the stream's sink, or the detector.
void rtlBuffer(unsigned char *buf, uint32_t len);
// A stream from elsewhere has started: a termination signal now ends it
// gracefully (requestStop).
void streamStarted();
// Between two streams of the open dongle: the tuner to `centre` Hz, its
// buffers emptied. False when the tuner refused (said on standard error).
bool retuneRtl(int centre);
// Ends the running dongle stream from its sink (not a stop: the caller
// starts the next one).
void endRtlStream();
