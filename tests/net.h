// Loopback networking for the tests of navdial's servers and feeds.
#pragma once

#include <string>

// A loopback port nobody holds now.
int freePort();
// A connected socket to 127.0.0.1:port, or -1.
int connectTo(int port);
// Sends a raw request and reads the whole answer (until the server closes,
// or 5 s of silence).
std::string request(int port, const std::string &raw);
// The body of GET path.
std::string get(int port, const std::string &path);
// Waits until something listens on the port.
bool waitForServer(int port, double seconds);
// Reads from fd until `until` appears in what was read or `seconds` pass;
// what was read.
std::string readUntil(int fd, const std::string &until, double seconds);
