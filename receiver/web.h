// What a browser or another program sees of a run: the latest window of
// each station, the last ten minutes of windows, the fix, the recent
// notices, and the stations told apart, as JSON documents, and every new
// one as an event. The web output (one entry of the outputs' table) keeps
// them; the sample thread hands each in under a short lock and never waits
// for a reader. The web server (http.h) and the files of --json-dir read
// them from their own threads.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output.h"
#include "stations.h"

constexpr double kWebHistorySeconds = 600;  // the history's ten minutes of signal...
constexpr size_t kWebHistoryMax = 2400;     // ...at most this many windows a station (-l 0.25)
constexpr size_t kWebEvents = 512;          // events kept for readers that fall behind
constexpr size_t kWebNotices = 50;          // recent notices kept

struct webConfig {
    std::vector<int32_t> freqs;                // the stations, Hz
    const std::vector<station> *db = nullptr;  // to name them (null: no station file)
    place near;                                // -P
    std::string source;                        // "dongle", or the recording's name
    bool live = false;                         // a dongle: windows carry the UTC time
    std::string tiles;                         // --tiles: the map's tile URL ("" none)
};

struct webState;
webState *webCreate(const webConfig &c);
// The output that feeds it (resultOutput's functions, on the sample thread).
resultOutput webOutputOf(webState &w);

// The documents, each a JSON object.
std::string webStateJson(webState &w);     // the latest windows, the fix, recent notices
std::string webHistoryJson(webState &w);   // the windows of the last ten minutes, per station
std::string webStationsJson(webState &w);  // the stations and what each was told apart as

// An event: "window", "fix" or "notice", and its data (a window's JSON
// object as -F json prints it, the fix's, or a notice's line).
struct webEvent {
    uint64_t seq;
    const char *kind;
    std::shared_ptr<const std::string> data;
};
// The events after `after` (at most `max`), oldest first. False when some
// were already dropped (a reader that fell that far behind loses them).
bool webEventsAfter(webState &w, uint64_t after, size_t max, std::vector<webEvent> &out);
// The newest event's number (0: none yet).
uint64_t webNewest(webState &w);
// Waits until an event newer than `seen` comes or `ms` pass; returns the newest.
uint64_t webWait(webState &w, uint64_t seen, int ms);
// How often the stations' document changed (it changes rarely).
uint64_t webStationsVersion(webState &w);

// Threads beside the sample thread take no termination signal, nor the
// dongle watchdog's alarm, nor SIGPIPE: they stay with the main thread.
// Block them before starting such a thread (it inherits the mask), and
// restore the old mask after.
sigset_t webBlockSignals();
void webRestoreSignals(const sigset_t &old);

// --json-dir: state.json and history.json after every window (stations.json
// when it changes), each written whole to a temporary file in dir and
// renamed over the old one, by a thread of its own. False, with the reason,
// when dir cannot be written.
bool webWriteFiles(webState &w, const std::string &dir, std::string &err);
