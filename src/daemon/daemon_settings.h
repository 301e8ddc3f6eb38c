// The daemon's text settings: command line over "vexa-daemon.json" over
// default. The port stays text; the server checks that it is a number from 1
// to 65535 before binding.
#pragma once

#include <string>

struct DaemonSettings {
    std::string port = "4443";
    std::string device;  // serial number of the Vexa device
    std::string bindAddress = "localhost";
    std::string caFile = "ca.pem";
    std::string certFile = "server.pem";
    std::string keyFile = "key.pem";
    // CA file for client certificates. Set: every client must present a
    // certificate that chains to it. Empty: any client may connect.
    std::string clientCaFile;
};
