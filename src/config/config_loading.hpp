// Where the settings come from at start: command line, configuration file (written on first start) and
// environment.
#pragma once

#include <string>

#include "config/settings.hpp"

namespace murva {

inline constexpr const char* defaultConfigPath = "murva-signal.json";

// Creates `path` holding the default text. Never writes over an existing file, and leaves no partial file.
bool writeDefaultConfig(const std::string& path);

// Fills `settings` from the command line or a configuration file, printing the outcome. False after the
// failure line has been printed: the process must end with status 1.
bool loadSettings(int argc, char** argv, ServerSettings& settings);

// MURVA_SIGNAL_PASSWORD, when present (even empty), replaces the password.
void applyPasswordFromEnvironment(ServerSettings& settings);

} // namespace murva
