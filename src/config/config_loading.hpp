// Where the settings come from at start: command line, configuration file (written on first start) and
// environment; and the transport's log level.
#pragma once

#include <string>

#include "config/settings.hpp"
#include "transport/logger.hpp"

inline constexpr const char* defaultConfigPath = "murva-signal.json";

// Creates `path` holding the default text. Never writes over an existing file, and leaves no partial file.
bool writeDefaultConfig(const std::string& path);

// Fills `settings` from the command line or a configuration file, printing the outcome. False after the
// failure line has been printed: the process must end with status 1.
bool loadSettings(int argc, char** argv, ServerSettings& settings);

// MURVA_SIGNAL_PASSWORD, when present (even empty), replaces the password.
void applyPasswordFromEnvironment(ServerSettings& settings);

// Maps a log_level word to the transport's level; warns on standard error and uses Warning otherwise.
rtc::LogLevel logLevelFromName(const std::string& name);

// logLevelFromName, then rtc::InitLogger with that level and the transport's own output.
void initLogging(const ServerSettings& settings);
