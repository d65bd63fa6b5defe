// --http: the web page and the live documents of web.h, served by
// libmicrohttpd from a thread of its own. Read-only: GET and HEAD of the
// page's files and of /api/state.json, /api/history.json,
// /api/stations.json and /api/stream (server-sent events: "window", "fix",
// "notice").
#pragma once

#include <string>

#include "web.h"

constexpr unsigned kHttpConnections = 300;       // beyond this, connections are refused
constexpr size_t kHttpRequestBytes = 16 * 1024;  // a request's header, at most
constexpr unsigned kHttpIdleSeconds = 60;        // a connection that moves nothing for this long is closed

// "[ADDR:]PORT" (ADDR: an IPv4 address, or an IPv6 one in brackets;
// 127.0.0.1 when not given): false when it is not one.
bool parseListen(const char *text, std::string &addr, int &port);

// Where the page's files are: share/navdial/html beside the install prefix,
// else the source tree's data/html.
std::string defaultHtmlDir();

// Binds addr:port and serves the files of htmlDir (read once, now) and w's
// documents. False, with one line to say why, when the address cannot be
// bound or the page cannot be read.
bool httpServe(webState &w, const std::string &addr, int port, const std::string &htmlDir, std::string &err);
