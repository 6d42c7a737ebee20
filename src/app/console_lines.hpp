// The join and leave lines on stdout. They are composed under the state's lock, so their counts and their
// order are the state's, and written by a thread of their own: a slow or stalled stdout (a full pipe, a paused terminal)
// holds up neither the state lock nor any connection's I/O thread. Only when a stalled stdout has let an
// unusually large backlog pile up do the threads that add to it wait, so memory stops growing.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

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

// Reports a state's joins and leaves as console lines, with the counts after each event.
class ConsoleReporter final : public StateObserver {
public:
    void joined(const StateCounts& counts) override { queueConsoleLine(countsLine("[+] join", counts)); }
    void left(const StateCounts& counts) override { queueConsoleLine(countsLine("[-] leave", counts)); }
    void resumed(const StateCounts& counts) override { queueConsoleLine(countsLine("[~] resume", counts)); }
    void unlocked() override { handOffConsoleLines(); }

private:
    static std::string countsLine(std::string_view event, const StateCounts& counts) {
        return std::string(event) + " (rooms=" + std::to_string(counts.rooms) +
               ", clients=" + std::to_string(counts.clients) + ")";
    }
};

} // namespace murva
