// Counts another process's system calls over a window, through the kernel's perf events on the
// syscalls:sys_enter_* tracepoints (what `perf stat -e 'syscalls:sys_enter_*' -p PID` reads).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// The groups reported per frame. A group counts every system call named in it; `total` counts them all.
struct SyscallGroup {
    const char* name;
    std::vector<const char*> calls;
};
const std::vector<SyscallGroup>& syscallGroups();

class SyscallCounter {
public:
    // Opens disabled counters on every thread `pid` has now; a thread started later is not counted.
    // On failure `error()` says why and every count reads as absent.
    explicit SyscallCounter(int pid);
    ~SyscallCounter();
    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

    const std::string& error() const { return error_; }
    void start();
    void stop();

    // Calls per group (and "total") between start() and stop(), summed over the threads.
    std::map<std::string, uint64_t> counts() const;

private:
    struct Counter {
        std::string group;
        int fd;
    };
    std::vector<Counter> counters_;
    std::string error_;
};

} // namespace bench
