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

RedisServer::RedisServer(std::string password) : RedisServer(RedisServerOptions{std::move(password)}) {}

RedisServer::RedisServer(RedisServerOptions options) : RedisServer(std::move(options), Role{}) {}

RedisServer::RedisServer(RedisServerOptions options, Role role)
    : options_(std::move(options)), role_(std::move(role)), port_(freeLoopbackPort()) {
    if (options_.tls)
        makeCertificates();
    start();
}

std::unique_ptr<RedisServer> RedisServer::replicaOf(const RedisServer& master) {
    return std::unique_ptr<RedisServer>(
        new RedisServer(RedisServerOptions{}, Role{{"--replicaof", "127.0.0.1", std::to_string(master.port())}, ""}));
}

// A short failover timeout: when the sentinels' first vote splits, they vote again after twice that.
std::unique_ptr<RedisServer> RedisServer::sentinel(const RedisServer& master, const std::string& masterName,
                                                   int downAfterMs, std::string password) {
    std::string config = "sentinel monitor " + masterName + " 127.0.0.1 " + std::to_string(master.port()) + " 2\n" +
                         "sentinel down-after-milliseconds " + masterName + " " + std::to_string(downAfterMs) +
                         "\nsentinel failover-timeout " + masterName + " 2000\n";
    if (!master.options_.password.empty())
        config += "sentinel auth-pass " + masterName + " " + master.options_.password + "\n";
    return std::unique_ptr<RedisServer>(
        new RedisServer(RedisServerOptions{std::move(password)}, Role{{}, std::move(config)}));
}

// A CA, and a server and a client certificate it signed, all P-256 and valid for a day.
void RedisServer::makeCertificates() {
    if (std::string(MURVA_OPENSSL).empty())
        throw std::runtime_error("openssl not found when configuring");
    const auto run = [this](std::vector<std::string> args) {
        ProcessOptions options;
        options.workingDirectory = dir_.path();
        options.args = std::move(args);
        ChildProcess openssl(MURVA_OPENSSL, options);
        if (openssl.waitExit(std::chrono::seconds(20)) != 0)
            throw std::runtime_error("openssl failed: " + openssl.stderrText());
    };
    const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};
    const auto request = [&](const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), "req");
        args.insert(args.end(), newKey.begin(), newKey.end());
        args.insert(args.end(), {"-keyout", name + ".key", "-days", "1"});
        run(std::move(args));
    };
    request("ca", {"-x509", "-out", "ca.pem", "-subj", "/CN=murva test CA"});
    dir_.write("server.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    dir_.write("client.ext", "extendedKeyUsage=clientAuth\n");
    for (const std::string name : {"server", "client"}) {
        request(name, {"-out", name + ".csr", "-subj", "/CN=" + name});
        run({"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
             name + ".pem", "-days", "1", "-extfile", name + ".ext"});
    }
}

RedisServer::~RedisServer() { stop(); }

std::string RedisServer::url() const {
    return (options_.tls ? "rediss://" : "redis://") +
           (options_.password.empty() ? "" : ":" + options_.password + "@") + "127.0.0.1:" + std::to_string(port_);
}

void RedisServer::start() {
    if (process_)
        return;
    if (std::string(MURVA_REDIS_SERVER).empty())
        throw std::runtime_error("redis-server not found when configuring (scripts/install-deps.sh installs it)");
    ProcessOptions options;
    options.workingDirectory = dir_.path();
    const bool sentinel = !role_.sentinelConfig.empty();
    if (sentinel) { // a sentinel rewrites its file as it learns: written afresh at each start
        dir_.write("sentinel.conf", role_.sentinelConfig);
        options.args = {dir_.path() + "/sentinel.conf", "--sentinel"};
    }
    options.args.insert(options.args.end(),
                        {"--bind", "127.0.0.1", "--dir", dir_.path(), "--daemonize", "no", "--loglevel", "notice"});
    if (!sentinel)
        options.args.insert(options.args.end(), {"--save", "", "--appendonly", "no"});
    if (options_.tls)
        options.args.insert(options.args.end(),
                            {"--port", "0", "--tls-port", std::to_string(port_), "--tls-cert-file",
                             dir_.file("server.pem"), "--tls-key-file", dir_.file("server.key"), "--tls-ca-cert-file",
                             caFile(), "--tls-auth-clients", options_.clientCertificates ? "yes" : "no"});
    else
        options.args.insert(options.args.end(), {"--port", std::to_string(port_)});
    if (!options_.password.empty())
        options.args.insert(options.args.end(), {"--requirepass", options_.password});
    options.args.insert(options.args.end(), role_.args.begin(), role_.args.end());
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
    if (options_.tls)
        options.args.insert(options.args.end(),
                            {"--tls", "--cacert", caFile(), "--cert", clientCertFile(), "--key", clientKeyFile()});
    if (!options_.password.empty())
        options.setEnv["REDISCLI_AUTH"] = options_.password; // not on the command line, where ps shows it
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
