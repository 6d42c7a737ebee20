// Where the settings come from at start: command line, configuration file (written on first start) and
// environment.
#pragma once

#include <string>

#include "config/settings.hpp"

namespace murva {

inline constexpr const char* defaultConfigPath = "murva-signal.json";

// Creates `path` holding the default text. Never writes over an existing file, and leaves no partial file.
bool writeDefaultConfig(const std::string& path);

inline constexpr const char* turnSecretVariable = "MURVA_SIGNAL_TURN_SECRET";
inline constexpr const char* redisPasswordVariable = "MURVA_SIGNAL_REDIS_PASSWORD";

// Fills `settings` from the command line or a configuration file, printing the outcome. A file's TURN secret is
// taken from the environment here already, since a "turn" key without any secret is refused. False after the
// failure line has been printed: the process must end with status 1.
bool loadSettings(int argc, char** argv, ServerSettings& settings);

// MURVA_SIGNAL_PASSWORD, when present (even empty), replaces the password.
void applyPasswordFromEnvironment(ServerSettings& settings);

// MURVA_SIGNAL_TURN_SECRET, when present (even empty), replaces the TURN secret of a configured "turn";
// MURVA_SIGNAL_REDIS_PASSWORD gives a configured "cluster" its Redis password.
void applySecretsFromEnvironment(ServerSettings& settings);

} // namespace murva
