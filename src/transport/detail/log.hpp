// The transport's internal log calls. Cheap when the level is off: the text is built only when enabled.
#pragma once

#include <string>

#include "transport/logger.hpp"

namespace rtc::detail {

bool logEnabled(LogLevel level);
void logWrite(LogLevel level, const std::string& message);

template <class MakeText> void log(LogLevel level, MakeText&& makeText) {
    if (logEnabled(level))
        logWrite(level, makeText());
}

} // namespace rtc::detail
