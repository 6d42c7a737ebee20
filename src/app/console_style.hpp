// How a console line is written: today's plain text (with the journal's priority prefix under systemd) or one
// JSON object per line for a log collector.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace murva {

enum class Severity { Error, Warning, Info, Debug };

struct ConsoleStyle {
    bool json = false;    // log_format "json"
    bool journal = false; // standard output and error go to systemd's journal (JOURNAL_STREAM is set)
};

// The style for a log_format word, with the journal taken from the environment.
ConsoleStyle consoleStyle(const std::string& logFormat);

// One line without its newline. Text: `msg`, behind "<N>" under the journal. JSON: {"ts","level","msg"}, then
// "event" when given, then `fields` (client, reason, counts).
std::string formatLine(const ConsoleStyle& style, Severity severity, std::string_view msg, std::string_view event = {},
                       const nlohmann::json& fields = nullptr);

// The current time as RFC 3339 in UTC with milliseconds: 2026-12-08T13:40:01.123Z.
std::string utcTimestamp();

} // namespace murva
