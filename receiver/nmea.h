// --nmea: the fix as NMEA 0183 over TCP, the way gpsd and navigation apps
// read a position (port 10110 is the usual one). After each fix, to every
// client: GGA (quality 6, estimated), RMC (status A, mode E: gpsd drops a
// position marked V) and GST (the 95 % ellipse as 1-sigma figures); after
// each station's window, the proprietary
//   $PNVD,<MHz>,<ident>,<radial>,<valid>,<sigma>,<cn0>*hh
// The talker is GP: every NMEA reader takes it, where some older
// navigation apps ignore GN; the quality and mode say that the position is
// estimated, not satellite. A thread of its own serves the clients; the
// sample thread only hands the sentences over, and a client that stops
// reading is dropped.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "fix.h"
#include "output.h"

constexpr size_t kNmeaClients = 64;             // beyond this, a new client is turned away
constexpr size_t kNmeaClientBytes = 64 * 1024;  // what may wait for a client before it is dropped

// One sentence: "$" + body + "*hh\r\n", the checksum the XOR of the body.
std::string nmeaSentence(const std::string &body);

// The position sentences of a fix at UTC time `when` (seconds, with
// fraction): GGA, RMC and GST, each a whole sentence.
std::vector<std::string> nmeaFix(const fixResult &f, int stations, double when);
// The proprietary sentence of a station's window.
std::string nmeaWindow(const outConfig &c, const trustWindow &w, const std::string &ident);

struct nmeaServer;
// Binds addr:port and starts serving. start: the UTC time of the signal's
// first sample (seconds; a dongle's windows take the clock instead). Null,
// with one line in err, when the address cannot be bound.
nmeaServer *nmeaServe(const std::string &addr, int port, bool live, double start, std::string &err);
resultOutput nmeaOutputOf(nmeaServer &s);
