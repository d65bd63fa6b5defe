// Helpers for tests that run signals through the receiver's chain in-process.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "siggen.h"

// Feeds the generated signal through in_callback in buffers of `bufBytes`
// (even; default: the dongle's 81920) from a fresh start (interval as given);
// returns what was printed.
// plain: use the plainly written detector and estimator instead of the fast ones.
std::string runChain(const SigParams &p, int interval = 2, size_t bufBytes = 81920, bool plain = false);

// Calls vor() with each value from a fresh start; returns what was printed.
std::string runVor(const std::vector<float> &env, int interval);

// The printed lines as numbers.
std::vector<double> bearings(const std::string &out);

// a - b wrapped into [-180, 180).
inline double angleDiff(double a, double b) {
    double d = std::fmod(a - b, 360.0);
    if (d < -180.0) d += 360.0;
    if (d >= 180.0) d -= 360.0;
    return d;
}
