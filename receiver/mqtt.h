// --mqtt: each window and fix published to an MQTT broker (libmosquitto),
// for dashboards, Node-RED, time-series stores and networks of receivers.
// Topics under the prefix (default "navdial"):
//   <prefix>/<MHz>/window  each window's -F json object (MHz as "113.10")
//   <prefix>/fix           the fix's object
//   <prefix>/status        "online", retained; "offline" as the last will,
//                          and published by navdial itself on a clean exit
// QoS 0, the status QoS 1. The library's thread talks to the broker and
// reconnects with backoff; while the broker is away, what would be
// published is dropped, and the radio never waits for it.
#pragma once

#include <string>

#include "output.h"

struct mqttTarget {
    bool tls = false;  // mqtts://
    std::string user, host, prefix = "navdial";
    int port = 1883;
};

// mqtt://[user@]host[:port][/prefix], or mqtts:// (port 8883): false when
// the text is not one.
bool parseMqttUrl(const char *text, mqttTarget &t);

struct mqttLink;
// Starts the connection (a broker that cannot be reached now is said once
// on standard error, and tried again). password: empty for none. caFile:
// the CA of an mqtts:// broker (empty: the system's store). Null, with one
// line in err, when the link cannot be set up at all (a CA file that cannot
// be read).
mqttLink *mqttStart(const mqttTarget &t, const std::string &password, const std::string &caFile, std::string &err);
resultOutput mqttOutputOf(mqttLink &l);
