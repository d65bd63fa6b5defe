// Small complex and angle helpers on the estimator's cpx, for the modules
// beside it (the weak-signal estimator, the carrier loop).
#pragma once

#include <cmath>

#include "filter.h"

inline cpx mul(cpx a, cpx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline cpx mulConj(cpx a, cpx b) { return {a.re * b.re + a.im * b.im, a.im * b.re - a.re * b.im}; }  // a conj(b)
inline double norm(cpx a) { return a.re * a.re + a.im * a.im; }
inline cpx polar(double a) { return {std::cos(a), std::sin(a)}; }

// x wrapped into [-pi, pi].
inline double wrapPi(double x) {
    constexpr double kPi = 3.141592653589793, kTwoPi = 6.283185307179586;
    x = std::fmod(x, kTwoPi);
    if (x > kPi) x -= kTwoPi;
    if (x < -kPi) x += kTwoPi;
    return x;
}
