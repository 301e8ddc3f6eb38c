// Admission of the daemon's clients: the listening socket is watched
// together with the stop request (the idle daemon sleeps until one of them
// wakes it). Every accepted connection gets a thread of its own for its
// handshake, its wait for the device and its relay, so that connections
// that never send anything cannot keep others out and the listen backlog
// never fills. At most kMaxClients connections are kept at once; more are
// closed at once with a line.
#pragma once

#include <string>

#include "daemon/server.h"
#include "daemon/server_context.h"

constexpr int kMaxClients = 32;

// Runs until StopRequested; then ends the handshakes and the clients
// waiting for the device, waits until the client holding the device has
// left (its connection is served to its end) and returns.
void ServeClients(ServerContext& ctx, const std::string& serial, const ServerOptions& options);
