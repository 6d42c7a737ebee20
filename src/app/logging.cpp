// Logging set-up from the settings.
#include "app/logging.hpp"

#include <iostream>
#include <string_view>
#include <utility>

namespace murva {

rtc::LogLevel logLevelFromName(const std::string& name) {
    static constexpr std::pair<std::string_view, rtc::LogLevel> words[] = {
        {"none", rtc::LogLevel::None},       {"fatal", rtc::LogLevel::Fatal}, {"error", rtc::LogLevel::Error},
        {"warning", rtc::LogLevel::Warning}, {"info", rtc::LogLevel::Info},   {"debug", rtc::LogLevel::Debug},
        {"verbose", rtc::LogLevel::Verbose}};
    for (const auto& [word, level] : words)
        if (name == word)
            return level;
    std::cerr << "Unknown log_level \"" << name << "\", using warning.\n";
    return rtc::LogLevel::Warning;
}

void initLogging(const ServerSettings& settings) { rtc::InitLogger(logLevelFromName(settings.logLevel), nullptr); }

} // namespace murva
