// Deferral of drains while a connection's received messages are still being handled.
#include "transport/detail/drain_deferral.hpp"

#include <utility>
#include <vector>

namespace rtc::detail {
namespace {

thread_local bool delivering = false;
thread_local std::vector<std::shared_ptr<SessionBase>> deferred;

} // namespace

DeferDrains::DeferDrains() : outer_(!std::exchange(delivering, true)) {}

DeferDrains::~DeferDrains() {
    if (outer_)
        delivering = false;
}

bool deferDrain(std::shared_ptr<SessionBase> session) {
    if (!delivering)
        return false;
    deferred.push_back(std::move(session));
    return true;
}

void flushDeferredDrains() {
    if (deferred.empty())
        return;
    // A drain cannot come back here, but take the list first all the same. The peers on this thread drain
    // now, without another round through the event loop.
    std::vector<std::shared_ptr<SessionBase>> sessions;
    sessions.swap(deferred);
    for (auto& session : sessions)
        session->runDrain();
    sessions.clear();
    if (deferred.empty())
        deferred.swap(sessions); // keep the capacity for the next read
}

void dropDeferredDrains() {
    deferred.clear();
    deferred.shrink_to_fit();
}

} // namespace rtc::detail
