// Where the receiver is: each station's frequency (and ident, once
// confirmed) told apart in the station file, its last valid radial as a
// true bearing, and from two or more of them a fix, written after every
// round of windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fix.h"
#include "output.h"
#include "stations.h"
#include "trust.h"

// One station heard, as the fix sees it.
struct positionStation {
    int32_t freqHz = 0;
    const station *known = nullptr;  // the station it is, once told apart
    std::string said;                // what was last said about telling it apart
    bool valid = false;              // the last window was valid...
    int64_t round = -1;              // ...in this round
    double radial = 0, sigma = 0;
};

struct positionState {
    std::vector<station> db;
    place near;                           // -P
    const outputList *outputs = nullptr;  // where the fix and the notices go
    std::vector<positionStation> stations;
    int64_t round = 0;  // rounds of windows so far
    std::string said;   // why there was no fix, as last said
};

// Per station: its closed window, with the ident confirmed so far; a
// notice when what it is told apart as changes.
void positionWindow(positionState &p, size_t index, const trustWindow &w, const std::string &ident);

// The end of a round (every station had its window): the fix to the
// outputs, or a notice, when it changed, of why there is none. t: seconds
// of signal.
void positionRound(positionState &p, double t);
