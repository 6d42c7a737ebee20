// Helpers of the transport tests: a loopback server configuration with short limits, a recorder of what
// the server reports per connection, a server opened with one, and a capture of the transport's log.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/ws_client.hpp"
#include "transport/rtc.hpp"

namespace transport_test {

using namespace std::chrono_literals;
using testing_support::waitUntil;

// 127.0.0.1 on a free port; the handshake limit (and with it the forced-close deadline) is 300 ms.
inline rtc::WebSocketServerConfiguration loopbackConfig() {
    rtc::WebSocketServerConfiguration config;
    config.port = 0;
    config.bindAddress = "127.0.0.1";
    config.connectionTimeout = 300ms;
    return config;
}

inline bool isText(const rtc::message_variant& m) { return std::holds_alternative<std::string>(m); }

// The payload as bytes in a string, whatever the kind.
inline std::string payloadOf(const rtc::message_variant& m) {
    if (const auto* text = std::get_if<std::string>(&m))
        return *text;
    const auto& bytes = std::get<rtc::binary>(m);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline rtc::binary bytesOf(const std::string& s) {
    const auto* p = reinterpret_cast<const std::byte*>(s.data());
    return rtc::binary(p, p + s.size());
}

// What one accepted connection reported, in the order the server's callbacks ran.
struct ConnectionLog {
    std::optional<std::string> remoteAddress;
    bool openInOnClient = false;
    std::vector<rtc::message_variant> messages;
    int closedCalls = 0;
    bool messageAfterClosed = false;
};

// Records every connection the server hands to onClient, keeps its handle (unless told not to) and installs
// handlers that log each message and the close. Declare it before the server, so the server (and with it
// every onClosed) goes first.
class Recorder {
public:
    explicit Recorder(bool keepHandles = true) : keepHandles_(keepHandles) {}

    std::function<void(std::shared_ptr<rtc::WebSocket>)> onClient() {
        return [this](std::shared_ptr<rtc::WebSocket> socket) { add(std::move(socket)); };
    }

    // Records the connection and installs the recording handlers; usable from a custom onClient.
    std::size_t add(std::shared_ptr<rtc::WebSocket> socket) {
        std::lock_guard lock(mutex_);
        const std::size_t index = logs_.size();
        ConnectionLog& log = logs_.emplace_back();
        log.remoteAddress = socket->remoteAddress();
        log.openInOnClient = socket->isOpen();
        socket->onMessage([this, index](rtc::message_variant m) {
            std::lock_guard lock(mutex_);
            auto& entry = logs_[index];
            if (entry.closedCalls > 0)
                entry.messageAfterClosed = true;
            entry.messages.push_back(std::move(m));
        });
        socket->onClosed([this, index] {
            std::lock_guard lock(mutex_);
            ++logs_[index].closedCalls;
        });
        handles_.push_back(keepHandles_ ? std::move(socket) : nullptr);
        return index;
    }

    std::size_t clientCount() const {
        std::lock_guard lock(mutex_);
        return logs_.size();
    }
    bool waitClients(std::size_t count, std::chrono::milliseconds bound = 3s) const {
        return waitUntil([&] { return clientCount() >= count; }, bound);
    }
    bool waitMessages(std::size_t index, std::size_t count, std::chrono::milliseconds bound = 3s) const {
        return waitUntil([&] { return log(index).messages.size() >= count; }, bound);
    }
    bool waitClosed(std::size_t index, std::chrono::milliseconds bound = 3s) const {
        return waitUntil([&] { return log(index).closedCalls > 0; }, bound);
    }

    ConnectionLog log(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return index < logs_.size() ? logs_[index] : ConnectionLog{};
    }
    std::vector<std::string> payloads(std::size_t index) const {
        std::vector<std::string> out;
        for (const auto& m : log(index).messages)
            out.push_back(payloadOf(m));
        return out;
    }
    std::shared_ptr<rtc::WebSocket> socket(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return index < handles_.size() ? handles_[index] : nullptr;
    }
    // The index of the connection whose remote port is `port`, if any.
    std::optional<std::size_t> indexOfPort(uint16_t port) const {
        const std::string suffix = ":" + std::to_string(port);
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < logs_.size(); ++i) {
            const auto& a = logs_[i].remoteAddress;
            if (a && a->size() > suffix.size() && a->compare(a->size() - suffix.size(), suffix.size(), suffix) == 0)
                return i;
        }
        return std::nullopt;
    }
    void dropHandle(std::size_t index) {
        std::shared_ptr<rtc::WebSocket> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped.swap(handles_.at(index));
        }
    }

private:
    bool keepHandles_;
    mutable std::mutex mutex_;
    std::deque<ConnectionLog> logs_;
    std::deque<std::shared_ptr<rtc::WebSocket>> handles_;
};

// The common opening of a transport test: a server on `config` whose onClient is a Recorder, opened as
//     auto&& [recorder, server] = RecordingServer(config);
// The recorder comes first, so the server (and every onClosed it calls as it goes) goes before it.
struct RecordingServer {
    explicit RecordingServer(const rtc::WebSocketServerConfiguration& config = loopbackConfig()) : server(config) {
        server.onClient(recorder.onClient());
    }

    Recorder recorder;
    rtc::WebSocketServer server;
};

// Routes the transport's log into memory for the life of the object, then switches logging off again.
class LogCapture {
public:
    using Record = std::pair<rtc::LogLevel, std::string>;

    explicit LogCapture(rtc::LogLevel level) : state_(std::make_shared<State>()) {
        rtc::InitLogger(level, [state = state_](rtc::LogLevel l, std::string message) {
            std::lock_guard lock(state->mutex);
            state->records.emplace_back(l, std::move(message));
        });
    }
    ~LogCapture() { rtc::InitLogger(rtc::LogLevel::None); }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Record> records() const {
        std::lock_guard lock(state_->mutex);
        return state_->records;
    }
    bool has(rtc::LogLevel level, const std::string& needle) const {
        for (const auto& [l, text] : records())
            if (l == level && text.find(needle) != std::string::npos)
                return true;
        return false;
    }
    bool waitFor(rtc::LogLevel level, const std::string& needle, std::chrono::milliseconds bound = 3s) const {
        return waitUntil([&] { return has(level, needle); }, bound);
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<Record> records;
    };
    std::shared_ptr<State> state_; // shared with the callback, which an I/O thread may still hold briefly
};

} // namespace transport_test
