// Console and log lines as text or JSON.
#include "app/console_style.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace murva {

namespace {

const char* levelWord(Severity severity) {
    switch (severity) {
    case Severity::Error: return "error";
    case Severity::Warning: return "warning";
    case Severity::Info: return "info";
    case Severity::Debug: return "debug";
    }
    return "info";
}

// syslog priorities, which the journal reads from a "<N>" in front of each line.
char journalPriority(Severity severity) {
    switch (severity) {
    case Severity::Error: return '3';
    case Severity::Warning: return '4';
    case Severity::Info: return '6';
    case Severity::Debug: return '7';
    }
    return '6';
}

} // namespace

ConsoleStyle consoleStyle(const std::string& logFormat) {
    return ConsoleStyle{logFormat == "json", std::getenv("JOURNAL_STREAM") != nullptr};
}

std::string utcTimestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
    return text;
}

std::string formatLine(const ConsoleStyle& style, Severity severity, std::string_view msg, std::string_view event,
                       const nlohmann::json& fields) {
    if (!style.json) {
        if (!style.journal)
            return std::string(msg);
        return std::string{'<', journalPriority(severity), '>'} + std::string(msg);
    }
    // ordered_json keeps ts, level, msg first, as a person reading the raw lines expects.
    nlohmann::ordered_json line;
    line["ts"] = utcTimestamp();
    line["level"] = levelWord(severity);
    line["msg"] = msg;
    if (!event.empty())
        line["event"] = event;
    if (fields.is_object())
        for (const auto& [key, value] : fields.items())
            line[key] = value;
    // Invalid UTF-8 (a path, a header's text) is replaced rather than ending the line with an exception.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace murva
