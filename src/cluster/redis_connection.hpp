// One connection to Redis with its own thread: pipelined commands, pub/sub, liveness and reconnection.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/redis_reply.hpp"
#include "cluster/redis_url.hpp"
#include "config/host_port.hpp"

namespace murva {

// For rediss:// endpoints. The server's certificate must chain to a CA of caFile (empty: the system's trusted
// CAs) and name the host connected to (an IP address: in an IP SAN). certFile and keyFile (PEM, together or
// neither): the certificate this client shows when the server asks for one.
struct RedisTlsFiles {
    std::string caFile, certFile, keyFile;
};

struct RedisOptions {
    std::chrono::milliseconds maxBackoff{2000};     // reconnect tries: 100 ms doubling up to this, never more
    std::chrono::milliseconds connectTimeout{2000}; // resolve, TCP connect, TLS and AUTH/SELECT/SUBSCRIBE together
    std::chrono::milliseconds livenessInterval{0};  // >0: PING this often; no reply within 2 intervals = lost
    // Non-zero: the handshake asks the server's version (HELLO) and refuses a server older than major.minor.
    int minimumMajor = 0, minimumMinor = 0;
    RedisTlsFiles tls; // used with a rediss:// endpoint only
    // Set: where the server is, asked on the connection's thread before each connection attempt (the endpoint's
    // host and port are not used then). `answer` takes the address, or nothing and why; it may run on any
    // thread, once, but not after the connection is destroyed. Such a server must say it is a master (ROLE)
    // before the connection is ready: a stale answer fails the attempt, and the next one asks again.
    using Answer = std::function<void(std::optional<HostPort> address, const std::string& why)>;
    std::function<void(Answer answer)> locate;
};

class RedisConnection {
public:
    using Callback = std::function<void(const RedisReply&)>;
    // All run on the connection's thread. What they (and command callbacks and timers) throw is caught and
    // reported to `error`; the connection goes on.
    struct Handlers {
        // After each (re)connection, once AUTH/SELECT are done and the subscriptions are renewed.
        std::function<void()> connected;
        // Once per ready connection that ends (read/write error, EOF, liveness), and once while no connection
        // is ready when the server refuses AUTH, SELECT or SUBSCRIBE (`why` says which). Tries that fail to
        // connect or time out are not reported; stop() is not either.
        std::function<void(const std::string& why)> lost;
        // Pub/sub "message"s; the views are valid during the call only.
        std::function<void(std::string_view channel, std::string_view payload)> message;
        // A handler, callback or timer threw; `what` says which and what it threw. Must not throw itself.
        std::function<void(const std::string& what)> error;
    };

    // The connection's thread starts here, idle until start(). Throws std::invalid_argument when the TLS files
    // of a rediss:// endpoint cannot be used (each named with why).
    RedisConnection(RedisEndpoint endpoint, Handlers handlers, RedisOptions options = {});
    ~RedisConnection(); // stop(), then waits for the thread; never from the connection's own thread

    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    void start(); // the first connect; reconnects follow by themselves
    // Closes and stops reconnecting; callbacks still pending get an error reply on the connection's thread.
    // Returns at once (no waiting on the connection's thread); idempotent; any thread.
    void stop();
    bool connected() const; // ready for commands (the connected handler has run or is about to)
    bool tried() const;     // a connection attempt has ended, ready or not
    // Why the latest attempt was refused in a way retrying will not mend: its TLS handshake failed (a certificate
    // not trusted or not naming the host, a client certificate refused, a server that speaks no TLS) or the user
    // may not run a handshake command (NOPERM). Empty after a ready connection and after attempts that failed
    // otherwise (no route, refused, timed out, a wrong password). Any thread.
    std::string refusal() const;
    // Ends the ready connection as lost (a reply showed the server unusable: an error to a write that must
    // succeed, say); `lost` is told `why` and the connection comes back as after any loss. Does nothing while
    // no connection is ready. Any thread.
    void drop(std::string why);
    // With `locate`: the server has moved to `to`. A ready connection elsewhere ends as lost (as drop() does),
    // an attempt elsewhere or a wait for the next one ends too, and the next attempt goes to `to` at once (with
    // the ROLE check; later ones ask `locate` again). Any thread.
    void serverMoved(HostPort to);

    // Thread-safe, never blocks, never runs `done` inline (callers hold locks): queues the formatted command
    // and posts one flush; commands queued meanwhile go out in one write. `done` runs on the connection's
    // thread with the reply, or with an Error reply when the connection is down (not connected, stopped), is
    // lost before the reply arrives, or the command is empty or over 1 GiB. Replies are matched in order.
    // Use subscribe() rather than a SUBSCRIBE command, which could not be renewed after a reconnection.
    void command(std::vector<std::string> args, Callback done = {});

    // SUBSCRIBE now (if connected) and again after every reconnection; messages go to handlers.message on the
    // connection's thread, in the order Redis sent them. Subscribing twice to a channel is the same as once.
    void subscribe(std::string channel);

    // Runs fn on the connection's thread once after `delay` (0: soon), or every `period` (> 0); neither runs
    // after stop().
    void post(std::function<void()> fn, std::chrono::milliseconds delay = std::chrono::milliseconds{0});
    void every(std::chrono::milliseconds period, std::function<void()> fn);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace murva
