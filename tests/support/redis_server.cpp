// Starts, stops, pauses and queries a real redis-server child process for the tests.
#include "support/redis_server.hpp"

#include <algorithm>
#include <csignal>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

constexpr auto startBound = std::chrono::seconds(10);

} // namespace

RedisServer::RedisServer(std::string password) : password_(std::move(password)), port_(freeLoopbackPort()) { start(); }

RedisServer::~RedisServer() { stop(); }

std::string RedisServer::url() const {
    return "redis://" + (password_.empty() ? "" : ":" + password_ + "@") + "127.0.0.1:" + std::to_string(port_);
}

void RedisServer::start() {
    if (process_)
        return;
    if (std::string(MURVA_REDIS_SERVER).empty())
        throw std::runtime_error("redis-server not found when configuring (scripts/install-deps.sh installs it)");
    ProcessOptions options;
    options.workingDirectory = dir_.path();
    options.args = {
        "--port", std::to_string(port_), "--bind",      "127.0.0.1", "--save",     "",      "--appendonly", "no",
        "--dir",  dir_.path(),           "--daemonize", "no",        "--loglevel", "notice"};
    if (!password_.empty())
        options.args.insert(options.args.end(), {"--requirepass", password_});
    process_ = std::make_unique<ChildProcess>(MURVA_REDIS_SERVER, options);
    if (!process_->waitForStdout("Ready to accept connections", startBound)) {
        const std::string output = process_->stdoutText() + process_->stderrText();
        process_.reset();
        throw std::runtime_error("redis-server on port " + std::to_string(port_) + " did not start:\n" + output);
    }
}

void RedisServer::stop() {
    if (!process_)
        return;
    ::kill(process_->pid(), SIGCONT); // a paused server cannot act on SIGTERM
    ::kill(process_->pid(), SIGTERM);
    if (!process_->waitExit(std::chrono::seconds(5)))
        process_->kill();
    process_.reset();
}

void RedisServer::kill() {
    if (!process_)
        return;
    process_->kill();
    process_.reset();
}

void RedisServer::restart() {
    stop();
    start();
}

void RedisServer::pause() {
    if (process_)
        ::kill(process_->pid(), SIGSTOP);
}

void RedisServer::resume() {
    if (process_)
        ::kill(process_->pid(), SIGCONT);
}

std::string RedisServer::command(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.args = {"-h", "127.0.0.1", "-p", std::to_string(port_), "--raw"};
    if (!password_.empty())
        options.setEnv["REDISCLI_AUTH"] = password_; // not on the command line, where ps shows it
    options.args.insert(options.args.end(), args.begin(), args.end());
    ChildProcess cli(MURVA_REDIS_CLI, options);
    const auto status = cli.waitExit(std::chrono::seconds(10));
    if (status != 0)
        throw std::runtime_error("redis-cli failed: " + cli.stderrText());
    std::string out = cli.stdoutText();
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

std::vector<std::string> RedisServer::keys(const std::string& pattern) {
    std::vector<std::string> keys;
    std::istringstream in(command({"KEYS", pattern}));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            keys.push_back(line);
    std::sort(keys.begin(), keys.end());
    return keys;
}

} // namespace testing_support
