// The daemon's six text settings: command line over "vexa-daemon.json"
// over default. The port stays text: it is handed to the bind call as a
// service name.
#pragma once

#include <string>

struct DaemonSettings {
    std::string port = "4443";
    std::string device;  // serial number of the Vexa device
    std::string bindAddress = "localhost";
    std::string caFile = "ca.pem";
    std::string certFile = "server.pem";
    std::string keyFile = "key.pem";
};
