// A plain blocking TCP socket for peers a WebSocket client cannot play: silent, half-finished, garbage-sending,
// never-reading or abruptly reset ones. Every read is bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace testing_support {

class RawSocket {
public:
    // Connects to host:port; receiveBuffer > 0 sets SO_RCVBUF before connecting (a peer that reads slowly
    // then stalls the sender early). Throws std::runtime_error when the connection fails.
    explicit RawSocket(uint16_t port, const std::string& host = "127.0.0.1", int receiveBuffer = 0);
    ~RawSocket();

    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool sendAll(std::string_view bytes); // false when the peer is gone

    // What arrives until `needle` has been seen (reading one byte at a time, so nothing after it is consumed),
    // the peer closes, or `bound` runs out.
    std::string readUntil(std::string_view needle, std::chrono::milliseconds bound);

    // Reads and discards until the peer closes (EOF or reset). True when that happened within `bound`.
    bool waitPeerClosed(std::chrono::milliseconds bound);

    // Sends a WebSocket upgrade request by hand and reads the response head. True on "101".
    // Afterwards nothing on this socket reads, answers pings or sends anything unless the test does.
    bool upgrade(const std::string& target = "/");

    void resetAbruptly(); // SO_LINGER 0 and close: the peer sees a TCP reset, no close frame and no FIN
    void shutdownWrite(); // FIN from this side while the socket stays readable

    uint16_t localPort() const;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// One masked (client-to-server) WebSocket frame. Opcodes: 0x1 text, 0x2 binary, 0x8 close, 0x9 ping, 0xA pong.
std::string clientFrame(uint8_t opcode, std::string_view payload, bool fin = true);

// Whether this machine can bind and connect on ::1.
bool ipv6LoopbackUsable();

} // namespace testing_support
