// The receiver's two kernels written plainly, one library call per value:
// the references that the fast ones (in_callback and vor) must match bit
// for bit, for the tests and the benchmarks. They keep their own state.
#pragma once

#include <cstdint>

#include "blocks.h"

// Both back to their start state (the estimator's warm-up, an empty block);
// fills the detector's tables (initOsc) too.
void plainReset();

// The detector, pair by pair: mixes the carrier at +50 kHz down to 0 Hz and
// sums blocks of 40 pairs; each block's envelope to vorPlain(), or with
// setPlainOutput() the block sum to the sink. An unpaired last byte is
// ignored. ctx is unused.
void in_callback_plain(unsigned char *buf, uint32_t len, void *ctx);
void setPlainOutput(const blockSink *s);

// The estimator: prints each window's bearing with "%5.1f\n".
void vorPlain(float envelope);
// The last window's plain mean in degrees, before the slip check.
double plainLastMean();
