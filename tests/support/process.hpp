// Runs the real murva-signal binary (or another program) as a child process, with its output captured.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testing_support {

struct ProcessOptions {
    std::string workingDirectory;              // empty: the current one
    std::vector<std::string> args;             // after the program name
    std::map<std::string, std::string> setEnv; // added to (or replacing in) the environment
    std::vector<std::string> unsetEnv;         // removed from the environment
    std::string stdinFile;                     // read as standard input; empty: /dev/null
};

class ChildProcess {
public:
    ChildProcess(const std::string& program, const ProcessOptions& options);
    ~ChildProcess(); // kills the child (by its PID) if it still runs

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit status once the child has ended by itself within `timeout`; empty if it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until standard output holds at least `count` complete lines.
    bool waitForStdoutLines(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForStdout(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::string stdoutText(); // everything read so far
    std::string stderrText();
    std::vector<std::string> stdoutLines();

    // Closes the reading end of the child's standard output, as a log reader that went away does.
    void closeStdout();

    void kill(); // SIGKILL and reap
    pid_t pid() const { return pid_; }

private:
    void drain(std::chrono::milliseconds wait);
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> status_;
};

// A fresh empty directory under the system's temporary directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;

private:
    std::string path_;
};

// Sets (or, when empty, removes) an environment variable of this process until the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();

    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value);
    const char* name_;
    std::optional<std::string> old_;
};

// A port that was free a moment ago on 127.0.0.1.
uint16_t freeLoopbackPort();

} // namespace testing_support
