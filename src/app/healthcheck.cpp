// One bounded GET of /healthz, over plain TCP or TLS, with a blocking socket and a deadline on every step.
#include "app/healthcheck.hpp"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string_view>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include "config/config_file.hpp"

namespace murva {

namespace {

std::string loopbackFor(const std::string& bindAddress) {
    if (bindAddress.empty() || bindAddress == "0.0.0.0")
        return "127.0.0.1";
    if (bindAddress == "::")
        return "::1";
    return bindAddress;
}

// A connected socket with send and receive timeouts, or -1.
int connectWithin(const std::string& host, uint16_t port, int timeoutMs, std::ostream& err) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        err << "healthcheck: bad address " << host << ": " << gai_strerror(rc) << "\n";
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int rc = fd < 0 ? -1 : connect(fd, found->ai_addr, found->ai_addrlen);
    if (rc != 0 && fd >= 0 && errno == EINPROGRESS) {
        pollfd waiting{fd, POLLOUT, 0};
        int soError = ETIMEDOUT;
        socklen_t length = sizeof soError;
        if (poll(&waiting, 1, timeoutMs) == 1)
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
        errno = soError;
        rc = soError == 0 ? 0 : -1;
    }
    const int connectError = errno;
    freeaddrinfo(found);
    if (rc != 0) {
        err << "healthcheck: cannot connect to " << host << ":" << port << ": " << std::strerror(connectError) << "\n";
        if (fd >= 0)
            close(fd);
        return -1;
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // Back to blocking: from here every call is bounded by the timeouts above.
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

} // namespace

HealthTarget healthTargetFor(const ServerSettings& settings) {
    if (settings.admin.port != 0)
        return {loopbackFor(settings.admin.bindAddress), settings.admin.port, false, false};
    return {loopbackFor(settings.bindAddress), settings.port, settings.tls.enabled, settings.proxyProtocol};
}

bool checkHealth(const HealthTarget& target, int timeoutMs, std::ostream& err) {
    int fd = connectWithin(target.host, target.port, timeoutMs, err);
    if (fd < 0)
        return false;

    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    if (target.tls) {
        // Only liveness is checked, on this machine: the server's certificate is not verified.
        context = SSL_CTX_new(TLS_client_method());
        ssl = context ? SSL_new(context) : nullptr;
        if (!ssl || SSL_set_fd(ssl, fd) != 1 || SSL_connect(ssl) != 1) {
            err << "healthcheck: TLS handshake with " << target.host << ":" << target.port << " failed\n";
            SSL_free(ssl);
            SSL_CTX_free(context);
            close(fd);
            return false;
        }
    }
    auto writeAll = [&](std::string_view text) {
        while (!text.empty()) {
            const int n = ssl ? SSL_write(ssl, text.data(), static_cast<int>(text.size()))
                              : static_cast<int>(send(fd, text.data(), text.size(), MSG_NOSIGNAL));
            if (n <= 0)
                return false;
            text.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    };
    // The PROXY header comes before TLS; a v1 UNKNOWN header means "the socket's own address".
    std::string answer;
    bool sent = true;
    if (target.proxyHeader) {
        // Only possible before the TLS handshake, which has already happened here.
        sent = !ssl && writeAll("PROXY UNKNOWN\r\n");
        if (ssl)
            err << "healthcheck: proxy_protocol together with TLS: give the server an admin.port to check\n";
    }
    if (sent)
        sent = writeAll("GET /healthz HTTP/1.1\r\nHost: " + target.host + "\r\nConnection: close\r\n\r\n");
    char buffer[1024];
    while (sent && answer.find("\r\n") == std::string::npos && answer.size() < 4096) {
        const int n = ssl ? SSL_read(ssl, buffer, sizeof buffer) : static_cast<int>(recv(fd, buffer, sizeof buffer, 0));
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    close(fd);

    const std::string statusLine = answer.substr(0, answer.find("\r\n"));
    const bool healthy = statusLine.rfind("HTTP/1.1 200 ", 0) == 0 || statusLine == "HTTP/1.1 200";
    if (sent && !healthy)
        err << "healthcheck: " << target.host << ":" << target.port << " answered "
            << (statusLine.empty() ? std::string("nothing") : "'" + statusLine + "'") << "\n";
    return healthy;
}

int runHealthcheck(int argc, char** argv) {
    const std::string_view argument = argc > 2 ? argv[2] : "murva-signal.json";
    HealthTarget target{"127.0.0.1", 0, false, false};
    if (!argument.empty() && argument.find_first_not_of("0123456789") == std::string_view::npos) {
        const unsigned long port = argument.size() <= 5 ? std::stoul(std::string(argument)) : 0;
        if (port < 1 || port > 65535) {
            std::cerr << "Invalid port " << argument << ": port out of range (1-65535)\n";
            return 1;
        }
        target.port = static_cast<uint16_t>(port);
    } else {
        ServerSettings settings;
        std::string error;
        if (!loadConfig(std::string(argument), settings, error)) {
            std::cerr << "Failed to load " << argument << ": " << error << "\n";
            return 1;
        }
        target = healthTargetFor(settings);
    }
    return checkHealth(target, 3000, std::cerr) ? 0 : 1;
}

} // namespace murva
