// Which thread a pair of connections that relay to each other lives on.
#include "transport/detail/thread_load.hpp"

#include "transport/detail/connection.hpp"

namespace rtc::detail {

void keepTogether(SessionBase& a, SessionBase& b) {
    boost::asio::io_context* homeA = a.home();
    boost::asio::io_context* homeB = b.home();
    if (!homeA || !homeB || homeA == homeB)
        return;
    // The busier thread gives its connection up, so that pairs spread over the threads as their members did.
    if (ThreadLoad::of(*homeA).sessions.load(std::memory_order_relaxed) >
        ThreadLoad::of(*homeB).sessions.load(std::memory_order_relaxed))
        a.moveTo(*homeB);
    else
        b.moveTo(*homeA);
}

} // namespace rtc::detail
