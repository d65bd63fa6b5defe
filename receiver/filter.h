// The estimator's recursive filters: two-pole complex sections with real
// coefficients, and the two sets the estimator and the trust measures use.
#pragma once

// One complex value of the estimator, double precision.
struct cpx {
    double re;
    double im;
};

// History of one complex recursive filter section. filterStep uses slots
// 0-4, slot 4 the newest, and leaves slots 5-7 at zero; the estimator's
// fast kernel keeps its own layout in the same room (vor.cpp).
struct filterState {
    cpx x[8];  // inputs
    cpx y[8];  // outputs
};

// Real coefficients of a section: numerator 1, b1, b2, b1, 1; denominator
// 1, -a3, -a2.
struct filterCoef {
    double b1, b2, a2, a3;
};

// Both sets: numerator (1 + z^-1)^2 (1 - 2 cos(2 pi f0/50000) z^-1 + z^-2),
// denominator a two-pole low-pass by the prewarped bilinear transform.
// 30 Hz set: f0 = 30 Hz, Bessel 10 Hz corner; poles at radius 0.9986166
// (time constant 722 samples), gain 22.28 at 0 Hz, group delay 1084.6 samples.
inline constexpr filterCoef coef30 = {1.42122e-5, -1.9999715756, -0.9972352026, 1.9972326511};
// Subcarrier set: f0 = 9960 Hz, Butterworth 510 Hz corner; poles at radius
// 0.9556941 (22 samples), gain 1397.55 at 0 Hz, group delay 23.06 samples.
inline constexpr filterCoef coefSub = {1.3724127962, 0.7448255925, -0.9133512299, 1.9094231878};

// Advances f by one sample of in; returns the new output. Keeps its state in f.
inline cpx filterStep(filterState &f, cpx in, const filterCoef &c) {
    for (int k = 0; k < 4; ++k) f.x[k] = f.x[k + 1];
    f.x[4] = in;
    for (int k = 0; k < 4; ++k) f.y[k] = f.y[k + 1];
    // Real coefficients: the real and imaginary parts run independently.
    const cpx *x = f.x, *y = f.y;
    f.y[4].re = (x[0].re + x[4].re) + c.b1 * (x[1].re + x[3].re) + c.b2 * x[2].re + c.a2 * y[2].re + c.a3 * y[3].re;
    f.y[4].im = (x[0].im + x[4].im) + c.b1 * (x[1].im + x[3].im) + c.b2 * x[2].im + c.a2 * y[2].im + c.a3 * y[3].im;
    return f.y[4];
}
