// What navdial reports, and the outputs that take it. For each station's
// window: its figures (a plain line or a JSON object on standard output),
// and notices (on standard error) of the validity flag's changes, the gain
// hints, the ident and, with -v, one line of figures; for several stations,
// the fix. Every output is one small table of functions; the text output
// (standard output and standard error) is the first, and others (a web
// page, a feed) sit beside it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fix.h"
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
    bool weak = false;                     // -w: the weak-signal estimator's bearings
    bool tagged = false;                   // one of several stations: lines and notices name the frequency
    struct monitorRun *monitor = nullptr;  // --monitor, --at (monitor.h): the station's own figures
};

// Per station: what its output said last, so that notices come only when
// something changes.
struct outSaid {
    std::string ident;   // the confirmed identifier as last said
    int lastValid = -1;  // -1: nothing said yet
    bool clipHint = false, quantHint = false;
};

// One window's JSON object, without the newline (tests, and the writer).
// ident: the confirmed identifier, null when empty.
std::string windowJson(const trustWindow &w, const outConfig &c, const char *utc, const std::string &ident);

// The weak-signal estimator's figures replace the default one's in t: the
// radial, sigma and the reference's SNR (the fit's); there is no unwrap to
// slip, and the flag is taken again. Windows without a segment keep t.
void weakTrust(trustWindow &t, const weakResult &r);

// Standard error's lines: the notices, and with -v the figures of each
// window and every ident repetition heard.
enum class noticeKind { notice, verbose };

// One output of results. Each function is optional (null: not wanted).
struct resultOutput {
    // A station's closed window, with its confirmed ident ("" before).
    void (*window)(void *self, const outConfig &c, const trustWindow &w, const std::string &ident);
    // The fix of several stations: the idents of the stations in it, t
    // seconds of signal.
    void (*fix)(void *self, const fixResult &f, const std::vector<std::string> &idents, double t);
    // A line for standard error, without its newline.
    void (*notice)(void *self, noticeKind kind, const std::string &line);
    void *self;
};

// The outputs of a run, in the order they are served; set up before the
// stream starts, read-only afterwards.
constexpr int kMaxOutputs = 8;
struct outputList {
    resultOutput item[kMaxOutputs];
    int count = 0;
};
bool outputAdd(outputList &l, const resultOutput &o);  // false when full

void outputWindow(const outputList &l, const outConfig &c, const trustWindow &w, const std::string &ident);
void outputFix(const outputList &l, const fixResult &f, const std::vector<std::string> &idents, double t);
void outputNotice(const outputList &l, noticeKind kind, const std::string &line);

// The text output: lines or JSON objects on `out` (the format of the fix
// as `format` says; a window's as its outConfig says), notices on `err`.
struct textOutput {
    FILE *out = stdout;
    FILE *err = stderr;
    outFormat format = outFormat::plain;
};
resultOutput textOutputOf(textOutput &t);

// Reports what a closed window gives to every output: the window, then the
// notices of what changed since `said`. `heard`: a repetition of the ident
// was read since the last window.
void reportWindow(outSaid &said, const outConfig &c, const trustWindow &w, const identState &ident, bool heard,
                  const outputList &outputs);

// The fix's line without the newline: "fix <lat> <lon> <err95 m>", or its
// JSON object naming the stations.
std::string fixLine(const fixResult &f, const std::vector<std::string> &idents, outFormat format, double t);

// The frequency as the lines show it: "114.85", "113.1".
std::string megahertz(int32_t hz);
