// While a session hands a received message to the application, the drains that the handler's sends would post
// are collected on the I/O thread instead, and run (posted, for another thread's sessions) once the session goes
// back to its socket.
// The messages that arrived in one read then reach each peer's queue before that peer drains it, and leave in
// one batch (one system call) instead of one each.
#pragma once

#include <memory>

#include "transport/detail/connection.hpp"

namespace rtc::detail {

// Marks the current thread as delivering a received message for as long as it lives.
class DeferDrains {
public:
    DeferDrains();
    ~DeferDrains();
    DeferDrains(const DeferDrains&) = delete;
    DeferDrains& operator=(const DeferDrains&) = delete;

private:
    bool outer_;
};

// Takes the session's drain when the current thread is delivering a message; false otherwise (post it now).
bool deferDrain(std::shared_ptr<SessionBase> session);

// Runs every drain collected on this thread. Cheap when there are none.
void flushDeferredDrains();

// Forgets the collected drains without posting them (the I/O thread is ending).
void dropDeferredDrains();

} // namespace rtc::detail
