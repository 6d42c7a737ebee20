// SIGHUP: the configuration file read again and applied to what comes next, or nothing changed at all.
#pragma once

#include <string>

#include "app/server.hpp"

namespace murva {

// Reads `path` as at start (environment and credentials included) and applies it to `server`: keys that need
// a restart keep their running values and are named on standard error; a file that fails to load, an
// unusable trusted_proxies entry or TLS pair changes nothing and says why there. Without a file (`path`
// empty: the PORT form) only the TLS pair is read again. Writes one console line either way.
void reloadConfiguration(Server& server, const std::string& path);

} // namespace murva
