// Logging set-up from the settings.
#include "app/logging.hpp"

#include <cstdio>
#include <iostream>
#include <string_view>
#include <utility>

#include "app/console_style.hpp"

namespace murva {

namespace {

Severity severityOf(rtc::LogLevel level) {
    switch (level) {
    case rtc::LogLevel::Fatal:
    case rtc::LogLevel::Error: return Severity::Error;
    case rtc::LogLevel::Warning: return Severity::Warning;
    case rtc::LogLevel::Info: return Severity::Info;
    default: return Severity::Debug;
    }
}

const char* upperWord(rtc::LogLevel level) {
    switch (level) {
    case rtc::LogLevel::Fatal: return "FATAL";
    case rtc::LogLevel::Error: return "ERROR";
    case rtc::LogLevel::Warning: return "WARN";
    case rtc::LogLevel::Info: return "INFO";
    case rtc::LogLevel::Debug: return "DEBUG";
    default: return "VERB";
    }
}

} // namespace

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

void initLogging(const ServerSettings& settings) {
    const rtc::LogLevel level = logLevelFromName(settings.logLevel);
    const ConsoleStyle style = consoleStyle(settings.logFormat);
    if (!style.json && !style.journal)
        return rtc::InitLogger(level, nullptr); // the transport's own lines, with their local time
    rtc::InitLogger(level, [style](rtc::LogLevel record, std::string message) {
        // The journal stamps the time itself; JSON carries its own.
        if (!style.json)
            message = std::string(upperWord(record)) + " " + message;
        std::string line = formatLine(style, severityOf(record), message);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stderr); // one write per record keeps lines whole
    });
}

} // namespace murva
