// How many upgraded connections each I/O thread serves, kept with its io_context: a pair that is kept together
// goes to the thread of the two that serves fewer.
#pragma once

#include <atomic>
#include <cstddef>

#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>

namespace rtc::detail {

class ThreadLoad final : public boost::asio::execution_context::service {
public:
    using key_type = ThreadLoad;
    static inline boost::asio::execution_context::id id;

    explicit ThreadLoad(boost::asio::execution_context& context) : service(context) {}

    static ThreadLoad& of(boost::asio::io_context& context) { return boost::asio::use_service<ThreadLoad>(context); }

    std::atomic<std::size_t> sessions{0};

private:
    void shutdown() override {}
};

} // namespace rtc::detail
