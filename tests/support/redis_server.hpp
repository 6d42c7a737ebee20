// A real redis-server on a free loopback port for the tests: stop, restart on the same port, pause, kill, and a
// blocking redis-cli for looking at what the code under test stored. With TLS it speaks only TLS, with a
// certificate for 127.0.0.1 and localhost from a test CA made for it. Also as a replica of another one, or as a
// sentinel watching one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace testing_support {

struct RedisServerOptions {
    std::string password;
    bool tls = false;
    bool clientCertificates = false; // with TLS: clients must show a certificate from the test CA
};

class RedisServer {
public:
    explicit RedisServer(std::string password = {}); // started and answering when this returns; throws otherwise
    explicit RedisServer(RedisServerOptions options);
    // A replica of `master` (passwordless), answering when this returns; its copy may still be syncing.
    static std::unique_ptr<RedisServer> replicaOf(const RedisServer& master);
    // A sentinel watching `master` as `masterName` with a quorum of two, calling it down after `downAfterMs`;
    // `password` is the sentinel's own. It has taken up the watch when this returns.
    static std::unique_ptr<RedisServer> sentinel(const RedisServer& master, const std::string& masterName,
                                                 int downAfterMs, std::string password = {});
    ~RedisServer();

    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    uint16_t port() const { return port_; }
    std::string url() const; // redis[s]://[:password@]127.0.0.1:port
    // With TLS, PEM files in the server's directory: the test CA's certificate, and a client certificate and key
    // it signed.
    std::string caFile() const { return dir_.file("ca.pem"); }
    std::string clientCertFile() const { return dir_.file("client.pem"); }
    std::string clientKeyFile() const { return dir_.file("client.key"); }

    void stop();    // SIGTERM by PID, SIGKILL if it has not ended within 5 s
    void kill();    // SIGKILL by PID: gone at once, as in a crash
    void restart(); // stop() if running, then start again on the same port (empty data)
    void start();   // after stop() or kill(): again on the same port (empty data)
    void pause();   // SIGSTOP: connections stay open, nothing answers
    void resume();  // SIGCONT
    bool running() const { return process_ != nullptr; }

    // Runs one command through redis-cli --raw and returns its output without the last newline; throws if
    // redis-cli fails. Arguments must not hold NUL bytes.
    std::string command(const std::vector<std::string>& args);
    std::vector<std::string> keys(const std::string& pattern); // sorted

private:
    struct Role {
        std::vector<std::string> args; // added to the command line (a replica's --replicaof)
        std::string sentinelConfig;    // non-empty: run as a sentinel with this configuration file
    };
    RedisServer(RedisServerOptions options, Role role);
    void makeCertificates();
    RedisServerOptions options_;
    Role role_;
    TempDir dir_;
    uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace testing_support
