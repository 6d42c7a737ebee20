// Where the settings come from at start: command line, configuration file (written on first start) and
// environment.
#pragma once

#include <string>

#include "config/settings.hpp"

namespace murva {

inline constexpr const char* defaultConfigPath = "murva-signal.json";

// Creates `path` holding the default text. Never writes over an existing file, and leaves no partial file.
bool writeDefaultConfig(const std::string& path);

inline constexpr const char* passwordVariable = "MURVA_SIGNAL_PASSWORD";
inline constexpr const char* turnSecretVariable = "MURVA_SIGNAL_TURN_SECRET";
inline constexpr const char* redisPasswordVariable = "MURVA_SIGNAL_REDIS_PASSWORD";

// Fills `settings` from the command line or a configuration file, printing the outcome. A file's TURN secret is
// taken from the environment here already, since a "turn" key without any secret is refused. False after the
// failure line has been printed: the process must end with status 1.
bool loadSettings(int argc, char** argv, ServerSettings& settings);

// MURVA_SIGNAL_PASSWORD, when present (even empty), replaces the password; else the credential file "password"
// does, when there is one (see externalSecret). False after a line on standard error when that file cannot be
// read: the process must end with status 1.
bool applyPasswordFromEnvironment(ServerSettings& settings);

// MURVA_SIGNAL_TURN_SECRET (else the credential file "turn-secret") replaces the TURN secret of a configured
// "turn"; MURVA_SIGNAL_REDIS_PASSWORD (else "redis-password") gives a configured "cluster" its Redis password.
// False after a line on standard error when a credential file cannot be read.
bool applySecretsFromEnvironment(ServerSettings& settings);

} // namespace murva
