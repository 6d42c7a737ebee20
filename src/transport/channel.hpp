// The callbacks every connection offers: one per received message and one when it has closed.
#pragma once

#include <functional>
#include <memory>

#include "transport/common.hpp"

namespace rtc {

namespace detail {
struct Connection;
}

class Channel {
public:
    virtual ~Channel() = default;

    // Both may be called from any thread. The transport calls a handler outside every lock of its own,
    // never from inside send, close or isOpen, and catches whatever it throws.
    void onMessage(std::function<void(message_variant data)> callback);
    void onClosed(std::function<void()> callback);

protected:
    explicit Channel(std::shared_ptr<detail::Connection> connection);
    std::shared_ptr<detail::Connection> connection_;
};

} // namespace rtc
