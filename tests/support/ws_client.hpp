// A WebSocket test client over loopback with a blocking, bounded API. Its I/O runs on a few shared
// background threads, so tests can hold hundreds of clients at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

using namespace std::chrono_literals;

struct ClientOptions {
    std::string host = "127.0.0.1";
    std::string sourceAddress; // bind the client socket to this local address first (e.g. 127.0.0.7)
    bool tls = false;          // wss, accepting any certificate
    std::string target = "/";
    std::chrono::milliseconds timeout = 5s;
    std::vector<std::pair<std::string, std::string>> headers; // extra upgrade request lines, in this order
    std::string preamble; // raw bytes sent right after connecting, before TLS and the upgrade (a PROXY header)
};

struct Frame {
    bool text = true;
    std::string data;
};

class WsClient {
public:
    // Connects and completes the upgrade; throws std::runtime_error when that fails within the timeout.
    static std::unique_ptr<WsClient> connect(uint16_t port, const ClientOptions& options = {});
    ~WsClient(); // aborts the connection when still open

    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    void sendText(std::string text);
    void sendBinary(std::string bytes);

    // The next received frame; empty when none arrives within `timeout` or the connection has closed.
    std::optional<Frame> receiveFrame(std::chrono::milliseconds timeout = 3s);
    // The next text frame's payload (binary frames are skipped).
    std::optional<std::string> receive(std::chrono::milliseconds timeout = 3s);
    // True when nothing arrives within `quiet` (the connection may stay open).
    bool receivesNothing(std::chrono::milliseconds quiet = 300ms);

    // Waits until the server closed the connection (or it broke). The close code, 0 for no close frame.
    std::optional<int> waitClosed(std::chrono::milliseconds timeout = 3s);
    bool isClosed() const;

    void close(int code = 1000); // sends a close frame and waits (bounded) for the reply
    void abort();                // drops the TCP connection without a close frame

    uint16_t localPort() const;
    // The subject of the server's TLS certificate ("/CN=localhost"); empty without TLS.
    std::string tlsPeerSubject() const;

    struct Impl;

private:
    explicit WsClient(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

// Polls pred until it holds or the bound runs out; tests assert on the result.
template <class Pred> bool waitUntil(Pred pred, std::chrono::milliseconds bound = 5s) {
    for (auto end = std::chrono::steady_clock::now() + bound; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (pred())
            return true;
    return pred();
}

} // namespace testing_support
