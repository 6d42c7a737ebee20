// Logging set-up: the log_level word mapped to the transport's level.
#pragma once

#include <string>

#include "config/settings.hpp"
#include "transport/logger.hpp"

namespace murva {

// Maps a log_level word to the transport's level; warns on standard error and uses Warning otherwise.
rtc::LogLevel logLevelFromName(const std::string& name);

// logLevelFromName, then rtc::InitLogger with that level and a sink for the log format (the transport's own
// output for text outside the journal). Called again on a reload.
void initLogging(const ServerSettings& settings);

} // namespace murva
