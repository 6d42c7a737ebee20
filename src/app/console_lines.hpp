// The join and leave lines on stdout. They are composed under the state's lock, so their counts and their
// order are the state's, and written by a thread of their own: a slow or stalled stdout (a full pipe, a paused
// terminal) holds up neither the state lock nor any connection's I/O thread. Only when a stalled stdout has let an
// unusually large backlog pile up do the threads that add to it wait, so memory stops growing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "app/console_style.hpp"
#include "signaling/state_observer.hpp"

namespace murva {

// Queues one line (given without its newline), in the order of the calls.
void queueConsoleLine(std::string_view line);

// Wakes the writer if this thread queued lines; waits while the backlog is over its bound. Call without the
// state's lock.
void handOffConsoleLines();

// Writes everything queued so far before it returns (tests, and code that prints something of its own).
void flushConsoleLines();

// Like flushConsoleLines, and keeps the writer out until the lock is released (to read or swap the stream).
std::unique_lock<std::mutex> holdConsole();

// After text went to std::cout, with the console held: when it could not be written (a pipe whose reader went
// away, a full disk), says so once on standard error and lets the next line try again. Serving goes on.
void checkConsoleWritten();

// Reports a state's joins, leaves and refusals, and the server's own events (start, reload, drain, stop), as
// console lines in the style in force (a reload may change it), with the counts after each join and leave.
// Refusals are held to refusalLinesPerSecond lines a second per reason; the rest are counted and told in one line.
class ConsoleReporter final : public StateObserver {
public:
    static constexpr unsigned refusalLinesPerSecond = 10;

    void setStyle(const ConsoleStyle& style);
    ConsoleStyle style() const;

    void joined(const StateCounts& counts, const std::string& client) override;
    void left(const StateCounts& counts, const std::string& client) override;
    void resumed(const StateCounts& counts, const std::string& client) override;
    void unlocked() override { handOffConsoleLines(); }
    void refused(std::string_view reason, const std::string& client) override;

    // One line of the server's own (call without the state's lock); written in order with the others.
    void event(Severity severity, std::string_view event, std::string_view msg, const nlohmann::json& fields = nullptr);

    // The lines for refusals left out so far, now (before a reload, a drain or the stop).
    void flushRefusals();

private:
    struct RefusalWindow {
        std::chrono::steady_clock::time_point start;
        unsigned logged = 0;
        uint64_t skipped = 0;
    };
    void queueSkipped(std::string_view reason, uint64_t skipped);

    std::atomic<bool> json_{false};
    std::atomic<bool> journal_{false};
    std::mutex refusalMutex_;
    std::map<std::string, RefusalWindow, std::less<>> refusals_;
};

} // namespace murva
