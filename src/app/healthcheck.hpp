// `murva-signal --healthcheck`: one GET of /healthz on a running server, for container health checks where the
// image has no shell and no HTTP client of its own.
#pragma once

#include <iosfwd>
#include <string>

#include "config/settings.hpp"

namespace murva {

// Where the check goes: the admin listener when there is one (plain HTTP), else the main port (TLS when the
// server terminates it, a PROXY header when it requires one). Wildcard bind addresses become loopback.
struct HealthTarget {
    std::string host;
    uint16_t port = 0;
    bool tls = false;
    bool proxyHeader = false;
};
HealthTarget healthTargetFor(const ServerSettings& settings);

// GET /healthz at `target` within `timeoutMs`; true on a 200 answer. Says why not on `err`.
bool checkHealth(const HealthTarget& target, int timeoutMs, std::ostream& err);

// `murva-signal --healthcheck [PORT | PATH]` (default PATH ./murva-signal.json): exit status 0 when healthy, else 1.
int runHealthcheck(int argc, char** argv);

} // namespace murva
