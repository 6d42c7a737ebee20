// The raw test socket: connecting (from a chosen source), bounded buffered reads, frames by hand.
#include "support/raw_socket.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Fills `storage` for host:port; false when host is not a numeric IPv4 or IPv6 address.
bool makeAddress(const std::string& host, uint16_t port, sockaddr_storage& storage, socklen_t& length) {
    std::memset(&storage, 0, sizeof storage);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

} // namespace

RawSocket::RawSocket(uint16_t port, const RawSocketOptions& options) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!makeAddress(options.host, port, address, length))
        throw std::runtime_error("RawSocket: not a numeric address: " + options.host);
    sockaddr_storage source;
    socklen_t sourceLength = 0;
    if (!options.sourceAddress.empty() &&
        (!makeAddress(options.sourceAddress, 0, source, sourceLength) || source.ss_family != address.ss_family))
        throw std::runtime_error("RawSocket: unusable source address: " + options.sourceAddress);
    fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error(std::string("RawSocket: socket: ") + std::strerror(errno));
    const auto fail = [this](const std::string& what) {
        const std::string reason = std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("RawSocket: " + what + ": " + reason);
    };
    const int one = 1;
    if (options.receiveBuffer > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    if (sourceLength > 0) {
#ifdef IP_BIND_ADDRESS_NO_PORT
        // Otherwise bind picks the port, unaware of the destination, and one source runs out after ~28k.
        ::setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
#endif
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&source), sourceLength) != 0)
            fail("bind to " + options.sourceAddress);
    }
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0)
        fail("connect to " + options.host + ":" + std::to_string(port));
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawSocket::~RawSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool RawSocket::sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// One read (up to 64 KiB, whatever has arrived) appended to in_; false on the end, a reset or `end`.
bool RawSocket::fill(Clock::time_point end) {
    char chunk[64 * 1024];
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, millisLeft(end));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        in_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

std::string RawSocket::readUntil(std::string_view needle, std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    std::size_t at;
    while ((at = in_.find(needle)) == std::string::npos)
        if (!fill(end))
            return std::exchange(in_, {});
    std::string head = in_.substr(0, at + needle.size());
    in_.erase(0, head.size());
    return head;
}

std::optional<ServerFrame> RawSocket::readFrame(std::chrono::milliseconds bound) {
    constexpr uint64_t maxPayload = 16u << 20;
    const auto end = Clock::now() + bound;
    std::size_t header = 2;
    uint64_t length = 0;
    for (;;) {
        if (in_.size() >= 2) {
            const auto second = static_cast<unsigned char>(in_[1]);
            if (second & 0x80)
                return std::nullopt; // a masked frame: not from a server, so no sure way to go on
            length = second & 0x7F;
            header = length == 126 ? 4 : length == 127 ? 10 : 2;
            if (in_.size() >= header) {
                if (header > 2) {
                    length = 0;
                    for (std::size_t i = 2; i < header; ++i)
                        length = (length << 8) | static_cast<unsigned char>(in_[i]);
                }
                if (length > maxPayload)
                    return std::nullopt;
                if (in_.size() - header >= length)
                    break;
            }
        }
        if (!fill(end))
            return std::nullopt;
    }
    const auto first = static_cast<unsigned char>(in_[0]);
    ServerFrame frame{static_cast<uint8_t>(first & 0x0F), (first & 0x80) != 0, (first & 0x70) != 0,
                      in_.substr(header, static_cast<std::size_t>(length))};
    in_.erase(0, header + static_cast<std::size_t>(length));
    return frame;
}

std::optional<std::string> RawSocket::readText(std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    while (auto frame = readFrame(std::chrono::milliseconds(millisLeft(end)))) {
        if (frame->opcode == 0x1)
            return std::move(frame->payload);
        if (frame->opcode == 0x8 || (frame->opcode == 0x9 && !sendAll(clientFrame(0xA, frame->payload))))
            return std::nullopt;
    }
    return std::nullopt;
}

bool RawSocket::waitPeerClosed(std::chrono::milliseconds bound) {
    in_.clear();
    const auto end = Clock::now() + bound;
    char scratch[4096];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, millisLeft(end));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

bool RawSocket::upgrade(const std::string& target) {
    const std::string request = "GET " + target +
                                " HTTP/1.1\r\n"
                                "Host: 127.0.0.1\r\n"
                                "Upgrade: websocket\r\n"
                                "Connection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n"
                                "\r\n";
    if (!sendAll(request))
        return false;
    const std::string head = readUntil("\r\n\r\n", std::chrono::seconds(3));
    return head.rfind("HTTP/1.1 101", 0) == 0 && head.find("\r\n\r\n") != std::string::npos;
}

void RawSocket::resetAbruptly() {
    if (fd_ < 0)
        return;
    const linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
}

void RawSocket::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

uint16_t RawSocket::localPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool ipv6LoopbackUsable() {
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    bool usable = ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(listener, 1) == 0 &&
                  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (usable) {
        const int client = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        usable = client >= 0 && ::connect(client, reinterpret_cast<sockaddr*>(&address), length) == 0;
        if (client >= 0)
            ::close(client);
    }
    ::close(listener);
    return usable;
}

} // namespace testing_support
