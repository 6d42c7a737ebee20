// Start-up of the server process: settings, logging, the server and the summary.
#pragma once

#include <iosfwd>

#include "config/settings.hpp"

namespace murva {

// The five summary lines printed once the server listens, and a sixth when TURN credentials are handed out.
void printSummary(std::ostream& out, const ServerSettings& settings);

// Lets the process hold as many sockets as the hard limit allows (the soft limit is often only 1024).
void raiseOpenFileLimit();

// The whole life of the process: start-up, serving, the stop on a signal. Returns the exit status.
int runServer(int argc, char** argv);

} // namespace murva
