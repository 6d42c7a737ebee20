// The part of a connection that handles share with its I/O session. Holds no Asio object, so a handle that
// outlives the server touches nothing of the server's I/O.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "transport/common.hpp"

namespace rtc::detail {

enum class State : unsigned char { Connecting, Open, Closing, Closed };

// Implemented by the Beast session; every call only posts work to the session's I/O thread.
class SessionBase {
public:
    virtual ~SessionBase() = default;
    virtual void post(message_variant data, std::size_t size) = 0;
    virtual void postClose(bool overflow) = 0;
};

using MessageCallback = std::function<void(message_variant)>;
using ClosedCallback = std::function<void()>;

struct Connection {
    std::atomic<State> state{State::Connecting};
    std::optional<std::string> remoteAddress; // fixed before onClient
    std::atomic<std::size_t> buffered{0};     // bytes queued by send() and not yet written
    std::size_t maxBuffered = 0;
    std::weak_ptr<SessionBase> session;

    // Swapped under the mutex and called through a copy, so a handler may replace or drop itself (or the
    // last handle to its connection) while it runs.
    std::mutex callbackMutex;
    std::shared_ptr<const MessageCallback> messageCallback;
    std::shared_ptr<const ClosedCallback> closedCallback;

    std::shared_ptr<const MessageCallback> messageHandler() {
        std::lock_guard lock(callbackMutex);
        return messageCallback;
    }
};


} // namespace rtc::detail
