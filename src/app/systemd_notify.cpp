// One AF_UNIX datagram per notice; the socket is made and closed on each call, as notices are rare.
#include "app/systemd_notify.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace murva {

namespace {

std::optional<std::uint64_t> parseUnsigned(const char* text) {
    if (!text)
        return std::nullopt;
    const char* end = text + std::strlen(text);
    std::uint64_t value = 0;
    auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || stop != end || stop == text)
        return std::nullopt;
    return value;
}

} // namespace

bool notify(std::string_view state) noexcept {
    const char* target = std::getenv("NOTIFY_SOCKET");
    if (!target || (target[0] != '/' && target[0] != '@'))
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(target);
    if (length >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, target, length);
    if (target[0] == '@')
        address.sun_path[0] = '\0'; // abstract: the name is exactly the bytes after the NUL, no terminator
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    // A manager that does not read fills the socket's queue; then this notice is dropped instead of waited for.
    const ssize_t sent = sendto(fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), addressLength);
    close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

std::optional<std::chrono::microseconds> watchdogInterval() noexcept {
    const auto usec = parseUnsigned(std::getenv("WATCHDOG_USEC"));
    // systemd writes "infinity" as the largest value; anything beyond what a duration holds means no watchdog too.
    if (!usec || *usec == 0 || *usec > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    if (const char* pidText = std::getenv("WATCHDOG_PID")) {
        const auto pid = parseUnsigned(pidText);
        if (!pid || *pid != static_cast<std::uint64_t>(getpid()))
            return std::nullopt;
    }
    // At least a microsecond, so a caller's timer never spins on a zero interval.
    return std::chrono::microseconds(std::max<std::int64_t>(static_cast<std::int64_t>(*usec / 2), 1));
}

} // namespace murva
