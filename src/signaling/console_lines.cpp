#include "signaling/console_lines.hpp"

#include <iostream>
#include <string>

namespace {

// Past this much waiting text, queuing threads wait for the writer rather than add to it.
constexpr std::size_t backlogLimit = 1 << 20;

std::mutex queueMutex;
std::string queued; // whole lines, each with its newline

std::mutex writeMutex; // held by the one thread writing to stdout

// Takes the queued text; true when there was any.
bool takeQueued(std::string& text) {
    text.clear();
    std::lock_guard lock(queueMutex);
    text.swap(queued);
    return !text.empty();
}

void writeAllQueued() {
    std::string text;
    while (takeQueued(text))
        std::cout << text << std::flush;
}

// 0: nothing queued; 1: some; 2: more than the backlog limit.
int backlog() {
    std::lock_guard lock(queueMutex);
    return queued.empty() ? 0 : queued.size() > backlogLimit ? 2 : 1;
}

} // namespace

void queueConsoleLine(std::string_view line) {
    std::lock_guard lock(queueMutex);
    queued.append(line);
    queued += '\n';
}

void writeConsoleLines() {
    for (int waiting = backlog(); waiting != 0; waiting = backlog()) {
        std::unique_lock writer(writeMutex, std::defer_lock);
        if (waiting == 2)
            writer.lock();
        else if (!writer.try_lock())
            return; // the writer looks at the queue again after it lets go, and finds ours
        writeAllQueued();
    }
}

std::unique_lock<std::mutex> holdConsole() {
    std::unique_lock writer(writeMutex);
    writeAllQueued();
    return writer;
}
