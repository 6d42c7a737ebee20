// The console writer thread and the queue of lines it takes from.
#include "app/console_lines.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace murva {

namespace {

// Past this much waiting text, threads that add to it wait for the writer.
constexpr std::size_t backlogLimit = 1 << 20;
constexpr std::chrono::milliseconds writePause{1};
constexpr std::size_t keptCapacity = 64 * 1024;

struct Console {
    std::mutex queueMutex;
    std::string queued;            // whole lines, each with its newline
    bool writerIdle = false;       // the writer waits for lines
    std::condition_variable wake;  // lines for the idle writer
    std::condition_variable taken; // the writer took a backlog

    std::mutex writeMutex;        // held while text goes to std::cout, so what is taken leaves in the order taken
    std::string writing;          // what the holder of writeMutex writes
    bool failureReported = false; // under writeMutex
    std::once_flag started;
    bool writerRunning = false; // set once; without a writer thread, lines are written where they are handed off
};

// Whether this thread queued a line since it last handed off: most state changes (every relayed frame) queue
// none, and then leaving the state lock touches nothing shared here.
thread_local bool queuedHere = false;

// Never destroyed: the writer thread may still wait on it while the process exits.
Console& console() {
    static Console* instance = new Console;
    return *instance;
}

// std::cout writes through C's stdout, whose line buffering can take a line and lose it on a failed write
// without the stream noticing: its error flag is what tells.
void reportIfUnwritten(Console& c) {
    const int error = errno;
    if (std::cout && !std::ferror(stdout))
        return;
    std::cout.clear();
    std::clearerr(stdout);
    if (std::exchange(c.failureReported, true))
        return;
    std::cerr << "Standard output cannot be written (" << std::strerror(error)
              << "); console lines are lost while it cannot.\n"
              << std::flush;
}

// Takes and writes what is queued. The caller holds writeMutex. The two buffers trade places, so once they
// have grown to the usual burst, writing allocates nothing.
void writeQueued(Console& c) {
    c.writing.clear();
    {
        std::lock_guard lock(c.queueMutex);
        c.writing.swap(c.queued);
    }
    if (c.writing.empty())
        return;
    c.taken.notify_all();
    std::cout << c.writing << std::flush;
    reportIfUnwritten(c);
    if (c.writing.capacity() > keptCapacity)
        c.writing = std::string(); // the buffer of a rare large backlog is not kept
}

[[noreturn]] void writerLoop(Console& c) {
    for (;;) {
        {
            std::unique_lock lock(c.queueMutex);
            c.writerIdle = true;
            c.wake.wait(lock, [&] { return !c.queued.empty(); });
            c.writerIdle = false;
        }
        {
            std::lock_guard writing(c.writeMutex);
            writeQueued(c);
        }
        // Lines that come meanwhile wait for the next round without waking anyone: under a stream of joins
        // this makes one write of many lines and at most a thousand wake-ups a second.
        std::this_thread::sleep_for(writePause);
    }
}

} // namespace

void queueConsoleLine(std::string_view line) {
    auto& c = console();
    std::lock_guard lock(c.queueMutex);
    c.queued.append(line);
    c.queued += '\n';
    queuedHere = true;
}

void handOffConsoleLines() {
    if (!std::exchange(queuedHere, false))
        return;
    auto& c = console();
    std::call_once(c.started, [&] {
        try {
            std::thread(writerLoop, std::ref(c)).detach();
            c.writerRunning = true;
        } catch (const std::system_error&) {
            // No thread to be had (a process at its limit): the lines are written here instead, as they come.
        }
    });
    if (!c.writerRunning) {
        std::lock_guard writing(c.writeMutex);
        return writeQueued(c);
    }
    std::unique_lock lock(c.queueMutex);
    if (c.queued.empty())
        return;
    if (c.writerIdle)
        c.wake.notify_one(); // a busy writer looks at the queue again before it waits
    c.taken.wait(lock, [&] { return c.queued.size() <= backlogLimit; });
}

std::unique_lock<std::mutex> holdConsole() {
    auto& c = console();
    std::unique_lock writing(c.writeMutex);
    writeQueued(c);
    return writing;
}

void flushConsoleLines() { holdConsole(); }

void checkConsoleWritten() { reportIfUnwritten(console()); }

} // namespace murva
