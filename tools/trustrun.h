// Runs a generated signal (or raw bytes) through the receiver's chain with the
// trust measures on, and returns every window's measures: for tests and the
// calibration sweep.
#pragma once

#include <cstdint>
#include <vector>

#include "siggen.h"
#include "trust.h"

// From a fresh start, with the given interval in seconds.
std::vector<trustWindow> measureSignal(const SigParams &p, int interval = 2);
std::vector<trustWindow> measureBytes(const std::vector<uint8_t> &iq, int interval = 2);
