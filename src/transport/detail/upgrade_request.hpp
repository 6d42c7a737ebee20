// The upgrade request of the connection whose onClient is running, reachable from that thread only and only
// for that call: built on first use, gone when onClient returns, so idle connections keep no headers.
#pragma once

#include <optional>

#include "transport/http.hpp"

namespace rtc::detail {

struct Connection;

class UpgradeRequestScope {
public:
    using Build = HttpRequest (*)(const void* context);

    // `slot` holds the request once built (it may already); `build(context)` makes it otherwise.
    UpgradeRequestScope(const Connection* connection, std::optional<HttpRequest>& slot, Build build,
                        const void* context);
    ~UpgradeRequestScope();
    UpgradeRequestScope(const UpgradeRequestScope&) = delete;
    UpgradeRequestScope& operator=(const UpgradeRequestScope&) = delete;

    const HttpRequest* request(const Connection* connection);

private:
    const Connection* connection_;
    std::optional<HttpRequest>& slot_;
    Build build_;
    const void* context_;
    UpgradeRequestScope* outer_;
};

// The request when `connection`'s onClient is running on this thread; nullptr otherwise.
const HttpRequest* currentUpgradeRequest(const Connection* connection);

} // namespace rtc::detail
