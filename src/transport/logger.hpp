// The transport's log: a level and an optional callback, set once at start-up by InitLogger.
#pragma once

#include <functional>
#include <string>

namespace rtc {

enum class LogLevel { None = 0, Fatal = 1, Error = 2, Warning = 3, Info = 4, Debug = 5, Verbose = 6 };

using LogCallback = std::function<void(LogLevel level, std::string message)>;

// Sets the level and the sink. An empty callback writes one line per record to standard error
// (never standard output, which carries the application's own lines). Calling it again replaces both.
void InitLogger(LogLevel level, LogCallback callback = nullptr);

// Writes one record of the application's through the same level and sink as the transport's own.
void Log(LogLevel level, const std::string& message);

} // namespace rtc
