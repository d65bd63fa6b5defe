// What navdial writes for each window: the plain line or a JSON object on
// standard output, and on standard error the changes of the validity flag,
// the gain hints and, with -v, one line of figures per window.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "ident.h"
#include "trust.h"
#include "weak.h"

enum class outFormat { plain, json };

// "plain" or "json"; false for anything else.
bool parseFormat(const char *text, outFormat &f);

struct outConfig {
    outFormat format = outFormat::plain;
    bool verbose = false;  // a line of figures per window on standard error
    bool live = false;     // reading a dongle: JSON objects carry the UTC time
    int32_t freqHz = 0;
    // The front end (see trustState): a recording's down-converter is flat
    // and shapes the noise; only 8-bit samples quantise and clip as bytes.
    bool flatFront = false;
    double noiseShape = 0;
    bool eightBit = true;
    bool weak = false;     // -w: the weak-signal estimator's bearings
    bool tagged = false;   // one of several stations: lines and notices name the frequency
};

// Per station: what its output said last, so that notices come only when
// something changes.
struct outSaid {
    std::string ident;     // the confirmed identifier as last said
    int lastValid = -1;    // -1: nothing said yet
    bool clipHint = false, quantHint = false;
};

// One window's JSON object, without the newline (tests, and the writer).
// ident: the confirmed identifier, null when empty.
std::string windowJson(const trustWindow &w, const outConfig &c, const char *utc, const std::string &ident);

// The weak-signal estimator's figures replace the default one's in t: the
// radial, sigma and the reference's SNR (the fit's); there is no unwrap to
// slip, and the flag is taken again. Windows without a segment keep t.
void weakTrust(trustWindow &t, const weakResult &r);

// Writes what a closed window gives: the line on `out`, the notices on
// `err`. `heard`: a repetition of the ident was read since the last window.
void emitWindow(outSaid &said, const outConfig &c, const trustWindow &w, const identState &ident, bool heard,
                FILE *out, FILE *err);

// The frequency as the lines show it: "114.85", "113.1".
std::string megahertz(int32_t hz);
