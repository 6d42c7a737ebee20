// The console's lines for joins, leaves, refusals and the server's own events, and the refusals' line budget.
#include "app/console_lines.hpp"

namespace murva {

namespace {

std::string countsLine(std::string_view event, const StateCounts& counts) {
    return std::string(event) + " (rooms=" + std::to_string(counts.rooms) +
           ", clients=" + std::to_string(counts.clients) + ")";
}

nlohmann::json countsFields(const StateCounts& counts, const std::string& client) {
    nlohmann::json fields = nlohmann::json::object();
    if (!client.empty())
        fields["client"] = client;
    fields["rooms"] = counts.rooms;
    fields["clients"] = counts.clients;
    return fields;
}

} // namespace

void ConsoleReporter::setStyle(const ConsoleStyle& style) {
    json_.store(style.json, std::memory_order_relaxed);
    journal_.store(style.journal, std::memory_order_relaxed);
}

ConsoleStyle ConsoleReporter::style() const {
    return ConsoleStyle{json_.load(std::memory_order_relaxed), journal_.load(std::memory_order_relaxed)};
}

void ConsoleReporter::joined(const StateCounts& counts, const std::string& client) {
    queueConsoleLine(
        formatLine(style(), Severity::Info, countsLine("[+] join", counts), "join", countsFields(counts, client)));
}

void ConsoleReporter::resumed(const StateCounts& counts, const std::string& client) {
    queueConsoleLine(
        formatLine(style(), Severity::Info, countsLine("[~] resume", counts), "resume", countsFields(counts, client)));
}

void ConsoleReporter::left(const StateCounts& counts, const std::string& client) {
    queueConsoleLine(
        formatLine(style(), Severity::Info, countsLine("[-] leave", counts), "leave", countsFields(counts, client)));
}

void ConsoleReporter::event(Severity severity, std::string_view event, std::string_view msg,
                            const nlohmann::json& fields) {
    queueConsoleLine(formatLine(style(), severity, msg, event, fields));
    handOffConsoleLines();
}

void ConsoleReporter::queueSkipped(std::string_view reason, uint64_t skipped) {
    queueConsoleLine(
        formatLine(style(), Severity::Warning,
                   "[!] refused " + std::string(reason) + ": " + std::to_string(skipped) + " more not logged",
                   "refused", {{"reason", reason}, {"not_logged", skipped}}));
}

// A flood of refusals (a scanner, a client retrying in a loop) must not fill the disk: each reason gets a few
// lines a second, and the count of the rest follows in one line.
void ConsoleReporter::refused(std::string_view reason, const std::string& client) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(refusalMutex_);
        auto it = refusals_.find(reason);
        if (it == refusals_.end())
            it = refusals_.emplace(std::string(reason), RefusalWindow{now, 0, 0}).first;
        RefusalWindow& window = it->second;
        if (now - window.start >= std::chrono::seconds(1)) {
            if (window.skipped > 0)
                queueSkipped(reason, window.skipped);
            window = RefusalWindow{now, 0, 0};
        }
        if (window.logged < refusalLinesPerSecond) {
            ++window.logged;
            const std::string address = client.empty() ? "an unknown address" : client;
            nlohmann::json fields = {{"reason", reason}};
            if (!client.empty())
                fields["client"] = client;
            queueConsoleLine(formatLine(style(), Severity::Warning,
                                        "[!] refused " + std::string(reason) + " from " + address, "refused", fields));
        } else {
            ++window.skipped;
        }
    }
    handOffConsoleLines();
}

void ConsoleReporter::flushRefusals() {
    {
        std::lock_guard lock(refusalMutex_);
        for (auto& [reason, window] : refusals_)
            if (window.skipped > 0) {
                queueSkipped(reason, window.skipped);
                window.skipped = 0;
            }
    }
    handOffConsoleLines();
}

} // namespace murva
