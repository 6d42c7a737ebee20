// The join and leave lines on stdout. They are composed under stateMutex, so their counts and their order are
// the state's, and written only once it is released: a slow or stalled stdout (a full pipe, a paused terminal)
// then holds up the one thread writing, never the lock that every connection's messages need.
#pragma once

#include <mutex>
#include <string_view>

#include "signaling/state.hpp"

// Queues one line (given without its newline). The caller holds stateMutex.
void queueConsoleLine(std::string_view line);

// Writes the queued lines in order, unless another thread is writing them already: that one takes these too.
// While an unusually large backlog waits (stdout stalled), it waits for that writer instead, so the backlog
// stops growing.
void writeConsoleLines();

// Waits for a write in progress, writes what is queued and keeps every writer out until released.
std::unique_lock<std::mutex> holdConsole();

// stateMutex for a scope; leaving it writes the console lines queued meanwhile.
class StateLock {
public:
    StateLock() : lock_(stateMutex) {}
    ~StateLock() {
        lock_.unlock();
        writeConsoleLines();
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};
