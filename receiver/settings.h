// Run settings of the receiver: written by the command line before the dongle
// is opened, read-only afterwards (one thread touches them).
#pragma once

#include <cstdint>

extern int32_t gain;      // wanted tuner gain, tenths of a dB (500 = 50 dB)
extern int32_t interval;  // seconds of signal per printed bearing
extern int32_t ppm;       // crystal correction, parts per million
extern int32_t devid;     // index of the dongle among those found
extern int32_t verbose;   // 1: extra set-up lines on standard error
extern int32_t freq;      // station frequency, Hz
