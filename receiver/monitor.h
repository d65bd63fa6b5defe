// Knowing the station: its figures against the ICAO Annex 10 tolerances
// (--monitor), the dongle's crystal error from the carriers heard, and the
// bias of each radial at a surveyed checkpoint (--at). Per station, beside
// its chain; read once a window from what the measures and the ident keep,
// so the sample path pays nothing for it but a sum a sub-window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ident.h"
#include "output.h"
#include "stations.h"
#include "trust.h"

// A window's figures beyond the default ones (NaN: not had yet).
struct monitorFigures {
    bool monitor = false;  // --monitor: the station's figures and the crystal
    double f30Hz = NAN, subHz = NAN, fmIndex = NAN;
    double identHz = NAN, identDepth = NAN, identPeriodS = NAN;
    double carrierOffsetHz = NAN;
    double ppm = NAN;         // the value to give -p (the total), once estimated
    bool checkpoint = false;  // --at: the geometry's radial and the bias
    double expectedRadial = NAN, bias = NAN;
};

// What every station's monitor shares: one per run, set up before the
// stream, outliving the stations.
struct monitorRun {
    bool monitor = false;
    bool live = false;        // a dongle: the -p given is in what is heard
    double givenPpm = 0;      // -p
    int stations = 1;         // heard in this run
    bool at = false;          // --at: the checkpoint
    place where;              // its position
    std::vector<station> db;  // the station file, for the checkpoint
    // The crystal: per station, its carrier offsets in ppm of its frequency.
    struct heard {
        int32_t freqHz;
        double sum;
        int64_t n;
    };
    std::vector<heard> carriers;
    double ppm = NAN;  // the crystal error as estimated (not counting -p)
    bool ppmSaid = false;
};

struct monitorState;
// A station's monitor, one of run.stations. Where a recording holds only
// AM audio (its carrier's DC taken out), the depths and the carrier are not
// measurable.
monitorState *monitorCreate(monitorRun &run, int32_t freqHz);
void monitorDestroy(monitorState *m);
// The station's subcarrier lock, started again, for the measures to feed
// (null: --at alone, which needs none).
subLock *monitorLock(monitorState &m);

// A window's end: the figures into f (and through w.monitor onto the
// window), the notices of a figure leaving or regaining its tolerance, of
// the crystal, and (every minute of signal) of the checkpoint's bias.
// coherent: the ident hears the carrier loop's AM.
void monitorWindow(monitorState &m, const trustState &t, const identState &ident, bool coherent,
                   const std::string &confirmed, trustWindow &w, const outputList &o);

// The run's end: the station's report against its tolerances and the
// checkpoint's bias.
void monitorFinish(monitorState &m, const outConfig &c, const outputList &o);

// The bias's summary over valid windows: the median and a 95 % interval
// of it (by order statistics, so no shape of the errors is assumed).
struct biasSummary {
    size_t n = 0;
    double median = NAN, lo = NAN, hi = NAN;
};
biasSummary summariseBias(std::vector<double> biases);
