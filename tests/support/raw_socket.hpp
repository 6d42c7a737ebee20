// A plain blocking TCP socket for peers a WebSocket client cannot play: silent, half-finished, garbage-sending,
// never-reading or abruptly reset ones, and the soak's short-lived clients. Every read is bounded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/frame_encoder.hpp" // clientFrame, for what these sockets send

namespace testing_support {

struct RawSocketOptions {
    std::string host = "127.0.0.1";
    // Bind to this local address before connecting (e.g. 127.0.0.7). The port is still chosen at connect
    // time, unique per destination, so many sources can share the ephemeral range.
    std::string sourceAddress{};
    int receiveBuffer = 0; // > 0: SO_RCVBUF before connecting (a peer that reads slowly stalls the sender early)
};

// One frame as the server sent it (servers never mask).
struct ServerFrame {
    uint8_t opcode = 0;
    bool fin = true;
    bool reserved = false; // an RSV bit is set
    std::string payload;
};

class RawSocket {
public:
    // Connects to host:port; throws std::runtime_error when that fails.
    explicit RawSocket(uint16_t port, const RawSocketOptions& options = {});
    ~RawSocket();

    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool sendAll(std::string_view bytes); // false when the peer is gone

    // What arrives until `needle` has been seen, the peer closes, or `bound` runs out. Bytes behind the
    // needle stay for the next read of this socket.
    std::string readUntil(std::string_view needle, std::chrono::milliseconds bound);

    // The next frame; empty when the connection ends, nothing whole arrives within `bound`, or the bytes are
    // no server frame (masked, or announcing more than 16 MiB).
    std::optional<ServerFrame> readFrame(std::chrono::milliseconds bound = std::chrono::seconds(3));

    // The next text frame's payload, answering pings on the way and skipping other frames; empty on the
    // server's close frame, the end of the connection or `bound`.
    std::optional<std::string> readText(std::chrono::milliseconds bound = std::chrono::seconds(3));

    // Bytes received that no read has taken yet (the start of a frame, say).
    std::size_t buffered() const { return in_.size(); }

    // Reads and discards until the peer closes (EOF or reset). True when that happened within `bound`.
    bool waitPeerClosed(std::chrono::milliseconds bound);

    // Sends a WebSocket upgrade request by hand and reads the response head. True on "101".
    // Afterwards nothing on this socket reads, answers pings or sends anything unless the test does.
    bool upgrade(const std::string& target = "/");

    void resetAbruptly(); // SO_LINGER 0 and close: the peer sees a TCP reset, no close frame and no FIN
    void shutdownWrite(); // FIN from this side while the socket stays readable

    uint16_t localPort() const;
    int fd() const { return fd_; } // reading it directly bypasses what buffered() holds

private:
    bool fill(std::chrono::steady_clock::time_point end);

    int fd_ = -1;
    std::string in_; // received, not yet read
};

// Whether this machine can bind and connect on ::1.
bool ipv6LoopbackUsable();

} // namespace testing_support
