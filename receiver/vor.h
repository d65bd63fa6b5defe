// Bearing estimator: the VOR phase comparison at 50000 envelope samples/s.
#pragma once

#include <cstdint>

// One complex value of the estimator, double precision.
struct cpx {
    double re;
    double im;
};

// History of one complex recursive filter section. Slots 0-4 are used, slot 4
// the newest; slots 5-7 are never touched and stay zero.
struct filterState {
    cpx x[8];  // inputs
    cpx y[8];  // outputs
};

// Real coefficients of a section: numerator 1, b1, b2, b1, 1; denominator
// 1, -a3, -a2.
struct filterCoef {
    double b1, b2, a2, a3;
};

extern const filterCoef coef30;   // notch at +-30 Hz, 10 Hz Bessel low-pass
extern const filterCoef coefSub;  // notch at +-9960 Hz, 510 Hz Butterworth low-pass

// Advances f by one sample of in; returns the new output. Keeps its state in f.
cpx filterStep(filterState &f, cpx in, const filterCoef &c);

// Takes one envelope sample (about 1 for a full-scale carrier). Once a window
// of `interval` seconds is complete, prints the bearing in degrees with
// "%5.1f\n" on standard output. Keeps its state in this module (the
// instance behind vor(); see vorState for more stations).
void vor(float envelope);

// The same estimator written plainly, one library call per value: the
// reference that vor() must match line for line. Shares vor()'s state.
void vorPlain(float envelope);

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

// Measures beside the estimator (trust.h). With `t` set, every sample also
// feeds t; with `window` set, each window's value and whether the slip
// check replaced the plain mean go to it, and when it returns true it has
// written the window's output itself (otherwise the estimator prints its
// line). Null, the start state: neither, at the cost of one test a sample.
struct trustState;
using vorWindowTap = bool (*)(double bearing, bool slip);
void setVorMeasures(trustState *t, vorWindowTap window);

// The estimator's state, one instance per station: what vor() keeps in
// this module, for each further station decoded at the same time.
// Value-initialise (`vorState v{};`), then vorInit().
struct vorState;
using vorStateTap = bool (*)(vorState &v, double bearing, bool slip);
struct vorState {
    double phase;           // 30 Hz oscillator, radians in (-pi, pi]
    filterState flt_r;      // variable path, 30 Hz set
    filterState flt_f;      // subcarrier path, subcarrier set
    cpx fpr;                // previous subcarrier output, for the discriminator
    filterState flt_s;      // reference path, 30 Hz set
    double pA;              // previous phase difference
    double uw;              // unwrap offset, whole turns, since the window's start
    double sum;             // unwrapped phase differences of the window
    int64_t n;              // samples of the window; negative during the warm-up
    double pre, pim;        // unit phasors of the summed phase differences
    int64_t summed;         // how many were summed
    double plainMean;       // the last window's plain mean, before the slip check
    trustState *measures;   // measures beside the estimator (null: none)
    vorStateTap tap;        // the window's end (null: the line is printed)
    void *user;             // for the tap
};
// The start state, warm-up included; measures, tap and user are kept.
void vorInit(vorState &v);
// vor() on instance v.
void vorStep(vorState &v, float envelope);
