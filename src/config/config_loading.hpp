// Where the settings come from at start: command line, configuration file (written on first start) and
// environment.
#pragma once

#include <string>
#include <vector>

#include "config/settings.hpp"

namespace murva {

inline constexpr const char* defaultConfigPath = "murva-signal.json";

// Creates `path` holding the default text. Never writes over an existing file, and leaves no partial file.
bool writeDefaultConfig(const std::string& path);

inline constexpr const char* passwordVariable = "MURVA_SIGNAL_PASSWORD";
inline constexpr const char* turnSecretVariable = "MURVA_SIGNAL_TURN_SECRET";
inline constexpr const char* authSecretVariable = "MURVA_SIGNAL_AUTH_SECRET";
inline constexpr const char* redisPasswordVariable = "MURVA_SIGNAL_REDIS_PASSWORD";
inline constexpr const char* sentinelPasswordVariable = "MURVA_SIGNAL_SENTINEL_PASSWORD";

// Where the settings came from: the file (empty for the PORT form) and the line that says so, for the console.
struct SettingsSource {
    std::string path;
    std::string notice; // "Loaded config from PATH", or the note that a default file was written
};

// Fills `settings` from the command line or a configuration file, printing the outcome (with `source` the
// notice is handed back instead of printed). Unknown keys are named on standard error. A file's TURN secret is
// taken from the environment here already, since a "turn" key without any secret is refused. False after the
// failure line has been printed: the process must end with status 1.
bool loadSettings(int argc, char** argv, ServerSettings& settings, SettingsSource* source = nullptr);

// Reads the file at `path` over `settings` as loadSettings does (unknown keys named on standard error, the
// TURN and Redis secrets from the environment or the credential files, the TURN secret required), for a check
// or a reload. False with `error`, also when a credential file cannot be read.
bool readSettingsFile(const std::string& path, ServerSettings& settings, std::string& error);

// MURVA_SIGNAL_PASSWORD, when present (even empty), replaces the password; else the credential file "password"
// does, when there is one (see externalSecret). False after a line on standard error when that file cannot be
// read: the process must end with status 1.
bool applyPasswordFromEnvironment(ServerSettings& settings);
// The same, with the reason in `error` instead of on standard error (for a reload).
bool readPassword(ServerSettings& settings, std::string& error);

// MURVA_SIGNAL_TURN_SECRET (else the credential file "turn-secret") replaces the TURN secret of a configured
// "turn"; MURVA_SIGNAL_AUTH_SECRET (else "auth-secret") replaces auth.hs256_secret of a configured "auth";
// MURVA_SIGNAL_REDIS_PASSWORD (else "redis-password") gives a configured "cluster" its Redis password, and
// MURVA_SIGNAL_SENTINEL_PASSWORD (else "sentinel-password") the sentinels' password.
// False after a line on standard error when a credential file cannot be read.
bool applySecretsFromEnvironment(ServerSettings& settings);

} // namespace murva
