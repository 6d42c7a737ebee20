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

RedisServer::RedisServer(std::string password) : RedisServer(std::move(password), Role{}) {}

RedisServer::RedisServer(std::string password, Role role)
    : password_(std::move(password)), role_(std::move(role)), port_(freeLoopbackPort()) {
    start();
}

std::unique_ptr<RedisServer> RedisServer::replicaOf(const RedisServer& master) {
    return std::unique_ptr<RedisServer>(
        new RedisServer({}, Role{{"--replicaof", "127.0.0.1", std::to_string(master.port())}, ""}));
}

// A short failover timeout: when the sentinels' first vote splits, they vote again after twice that.
std::unique_ptr<RedisServer> RedisServer::sentinel(const RedisServer& master, const std::string& masterName,
                                                   int downAfterMs, std::string password) {
    std::string config = "sentinel monitor " + masterName + " 127.0.0.1 " + std::to_string(master.port()) + " 2\n" +
                         "sentinel down-after-milliseconds " + masterName + " " + std::to_string(downAfterMs) +
                         "\nsentinel failover-timeout " + masterName + " 2000\n";
    if (!master.password_.empty())
        config += "sentinel auth-pass " + masterName + " " + master.password_ + "\n";
    return std::unique_ptr<RedisServer>(new RedisServer(std::move(password), Role{{}, std::move(config)}));
}

RedisServer::~RedisServer() { stop(); }

std::string RedisServer::url() const {
    return "redis://" + (password_.empty() ? "" : ":" + password_ + "@") + "127.0.0.1:" + std::to_string(port_);
}

void RedisServer::start() {
    if (std::string(MURVA_REDIS_SERVER).empty())
        throw std::runtime_error("redis-server not found when configuring (scripts/install-deps.sh installs it)");
    ProcessOptions options;
    options.workingDirectory = dir_.path();
    const bool sentinel = !role_.sentinelConfig.empty();
    if (sentinel) // a sentinel rewrites its file as it learns: written afresh at each start
        dir_.write("sentinel.conf", role_.sentinelConfig);
    options.args = {
        "--port", std::to_string(port_), "--bind",      "127.0.0.1", "--save",     "",      "--appendonly", "no",
        "--dir",  dir_.path(),           "--daemonize", "no",        "--loglevel", "notice"};
    if (!password_.empty())
        options.args.insert(options.args.end(), {"--requirepass", password_});
    options.args.insert(options.args.end(), role_.args.begin(), role_.args.end());
    if (sentinel) {
        options.args.erase(options.args.begin() + 4, options.args.begin() + 8); // no --save, --appendonly
        options.args.insert(options.args.begin(), {dir_.path() + "/sentinel.conf", "--sentinel"});
    }
    process_ = std::make_unique<ChildProcess>(MURVA_REDIS_SERVER, options);
    if (!process_->waitForStdout(sentinel ? "+monitor" : "Ready to accept connections", startBound)) {
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
