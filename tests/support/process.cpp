#include "support/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testing_support {

ChildProcess::ChildProcess(const std::string& program, const ProcessOptions& options) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> argStorage{program};
    argStorage.insert(argStorage.end(), options.args.begin(), options.args.end());
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (auto& name : options.unsetEnv)
        env.erase(name);
    for (auto& [k, v] : options.setEnv)
        env[k] = v;
    std::vector<std::string> envStorage;
    for (auto& [k, v] : env)
        envStorage.push_back(k + "=" + v);
    std::vector<char*> argv;
    for (auto& a : argStorage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envStorage)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        close(out[1]);
        close(err[1]);
        // Broken pipes end the child as they would from a shell, whatever the test process does with them.
        signal(SIGPIPE, SIG_DFL);
        int input = open(options.stdinFile.empty() ? "/dev/null" : options.stdinFile.c_str(), O_RDONLY);
        if (input < 0)
            _exit(127);
        dup2(input, 0);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(127);
        // Nothing else of the test's goes along: a client socket the child kept open would outlive its close
        // in the test (Asio opens sockets without close-on-exec).
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
            for (int fd = 3; fd < 65536; ++fd)
                close(fd);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    fcntl(outFd_, F_SETFL, O_NONBLOCK);
    fcntl(errFd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    kill();
    close(outFd_);
    close(errFd_);
}

void ChildProcess::drain(std::chrono::milliseconds wait) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    poll(fds, 2, static_cast<int>(wait.count()));
    char buf[4096];
    for (auto [fd, target] : {std::pair{outFd_, &out_}, std::pair{errFd_, &err_}}) {
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            target->append(buf, static_cast<std::size_t>(n));
        }
    }
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= end)
            break;
        drain(std::chrono::milliseconds(10));
    }
    drain(std::chrono::milliseconds(0));
    return status_;
}

bool ChildProcess::waitForStdoutLines(std::size_t count, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drain(std::chrono::milliseconds(10));
        std::size_t lines = 0;
        for (char c : out_)
            lines += c == '\n';
        if (lines >= count)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
    }
}

bool ChildProcess::waitForStdout(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drain(std::chrono::milliseconds(10));
        if (out_.find(needle) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
    }
}

std::string ChildProcess::stdoutText() {
    drain(std::chrono::milliseconds(0));
    return out_;
}

std::string ChildProcess::stderrText() {
    drain(std::chrono::milliseconds(0));
    return err_;
}

std::vector<std::string> ChildProcess::stdoutLines() {
    std::vector<std::string> lines;
    std::istringstream in(stdoutText());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void ChildProcess::closeStdout() {
    close(outFd_);
    outFd_ = -1; // drain() then reads standard error only
}

void ChildProcess::kill() {
    if (status_ || pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = 128 + SIGKILL;
    drain(std::chrono::milliseconds(0));
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "murva-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary) << content;
}

std::string TempDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name))
        old_ = old;
    set(value);
}

ScopedEnv::~ScopedEnv() { set(old_); }

void ScopedEnv::set(const std::optional<std::string>& value) {
    if (value)
        setenv(name_, value->c_str(), 1);
    else
        unsetenv(name_);
}

uint16_t freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

} // namespace testing_support
