// Bearing estimator: the VOR phase comparison at 50000 envelope samples/s.
#pragma once

#include <cstdint>

#include "filter.h"

// Takes one envelope sample (about 1 for a full-scale carrier). Once a window
// of `interval` seconds is complete, prints the bearing in degrees with
// "%5.1f\n" on standard output. Keeps its state in this module (the
// instance behind vor(); see vorState for more stations).
void vor(float envelope);

// The number printed for a window: v is the plain mean (degrees, [0, 360)),
// `circular` the angle of the sum of the unit phasors of the summed phase
// differences (radians). When the two disagree by more than 2 degrees the
// unwrap slipped a turn inside the window, and the circular mean is returned
// instead.
double windowBearing(double v, double circular);

// The last window's plain mean in degrees, before the slip check (tests).
double lastPlainMean();

// Puts the estimator back to its start state (tests, several inputs in a row).
void vorReset();

// The estimator's state, one instance per station (a station's chain holds
// one; vor() keeps its own). Value-initialise (`vorState v{};`), then
// vorInit().
struct trustState;
struct vorState {
    double phase;          // 30 Hz oscillator, radians in (-pi, pi]
    filterState flt_r;     // variable path, 30 Hz set
    filterState flt_f;     // subcarrier path, subcarrier set
    cpx fpr;               // previous subcarrier output, for the discriminator
    filterState flt_s;     // reference path, 30 Hz set
    unsigned tap;          // where the filters' inputs stand in their rings (vorStep's own layout)
    double pA;             // previous phase difference
    double uw;             // unwrap offset, whole turns, since the window's start
    double sum;            // unwrapped phase differences of the window
    int64_t n;             // samples of the window; negative during the warm-up
    double pre, pim;       // unit phasors of the summed phase differences
    int64_t summed;        // how many were summed
    double plainMean;      // the last window's plain mean, before the slip check
    double bearing;        // the last window's bearing, as vor() prints it
    bool slip;             // whether the slip check replaced its plain mean
    trustState *measures;  // each sample also feeds these (trust.h; null: none)
};
// The start state, warm-up included; measures are kept.
void vorInit(vorState &v);
// vor() on instance v, without printing: true when the sample ended a
// window, whose bearing and slip are then in v.
bool vorStep(vorState &v, float envelope);

// The steps of a sample that the plainly written estimator beside the
// tests shares with vor(), in the order of a call: one step of the 30 Hz
// oscillator; the discriminator limited to 510 Hz of deviation; the
// unwrapped phase difference a added to the window; the sample counted
// (true at a window's end, as vorStep), `turn` added to the phasor sum's
// angle.
constexpr double kVorSubMul = 332.0;               // 9960 Hz / 30 Hz
constexpr double kVorDelay = 0.09801769079200155;  // 5.616 deg: 26 samples of 30 Hz, the reference path's extra delay
void vorAdvance(vorState &v);
double vorLimit(double d);
void vorAccumulate(vorState &v, double a);
bool vorCount(vorState &v, double a, double turn);
