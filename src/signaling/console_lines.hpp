// The join and leave lines on stdout. They are composed under stateMutex, so their counts and their order are
// the state's, and written by a thread of their own: a slow or stalled stdout (a full pipe, a paused terminal)
// holds up neither the state lock nor any connection's I/O thread. Only when a stalled stdout has let an
// unusually large backlog pile up do the threads that add to it wait, so memory stops growing.
#pragma once

#include <mutex>
#include <string_view>

#include "signaling/state.hpp"

// Queues one line (given without its newline). The caller holds stateMutex.
void queueConsoleLine(std::string_view line);

// Wakes the writer if this thread queued lines; waits while the backlog is over its bound. Call without
// stateMutex.
void handOffConsoleLines();

// Writes everything queued so far before it returns (tests, and code that prints something of its own).
void flushConsoleLines();

// Like flushConsoleLines, and keeps the writer out until the lock is released (to read or swap the stream).
std::unique_lock<std::mutex> holdConsole();

// stateMutex for a scope; leaving it hands the console lines queued meanwhile to the writer.
class StateLock {
public:
    StateLock() : lock_(stateMutex) {}
    ~StateLock() {
        lock_.unlock();
        handOffConsoleLines();
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};
