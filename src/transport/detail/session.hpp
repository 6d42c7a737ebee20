// Starts the life of one accepted TCP connection: TLS (when given a context), the upgrade, then the
// WebSocket session. The session owns itself through its pending operations.
#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "transport/detail/shared.hpp"
#include "transport/detail/socket.hpp"

namespace rtc::detail {

void startSession(Socket socket, const boost::asio::ip::tcp::endpoint& peer, std::shared_ptr<Shared> shared,
                  boost::asio::ssl::context* tls);

} // namespace rtc::detail
