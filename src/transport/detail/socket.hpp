// The TCP socket type every connection uses, bound to its io_context's own executor type (no type-erased
// executor on the hot path).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace rtc::detail {

using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;

} // namespace rtc::detail
