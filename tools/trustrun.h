// Runs a generated signal (or raw bytes) through the receiver's chain with the
// trust measures on, and returns every window's measures: for tests and the
// calibration sweep.
#pragma once

#include <cstdint>
#include <vector>

#include "ident.h"
#include "siggen.h"
#include "trust.h"

// From a fresh start, with the given interval in seconds.
// With `weak`, the weak-signal estimator's bearings and flag.
std::vector<trustWindow> measureSignal(const SigParams &p, int interval = 2, bool weak = false);
std::vector<trustWindow> measureBytes(const std::vector<uint8_t> &iq, int interval = 2);

// The ident decoder's state after the whole signal, from a fresh start;
// `confirmedAt` gets the seconds of signal at which the first identifier was
// confirmed (-1: none), `changes` how many times it changed after that.
identState identOfSignal(const SigParams &p, double &confirmedAt, int &changes);
