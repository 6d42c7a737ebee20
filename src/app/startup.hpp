// Start-up of the server process: settings, logging, the WebSocket server and the summary.
#pragma once

#include <iosfwd>
#include <memory>

#include "config/settings.hpp"
#include "transport/rtc.hpp"

// The transport's configuration for these settings (only what is set differs from the transport's defaults).
rtc::WebSocketServerConfiguration makeServerConfiguration(const ServerSettings& settings);

// The five summary lines printed once the server listens.
void printSummary(std::ostream& out, const ServerSettings& settings);

// Lets the process hold as many sockets as the hard limit allows (the soft limit is often only 1024).
void raiseOpenFileLimit();

// The whole start-up; returns the exit status when start-up fails, and never returns once serving.
int runServer(int argc, char** argv);
