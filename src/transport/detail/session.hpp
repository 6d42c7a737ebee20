// Starts the life of one accepted TCP connection: the PROXY header (when configured), TLS (when given a
// context), the request (an upgrade, or plain HTTP answered by the application), then the WebSocket session.
// The session owns itself through its pending operations.
#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "transport/detail/shared.hpp"
#include "transport/detail/socket.hpp"

namespace rtc::detail {

// `tls` empty: a plain connection. The session keeps the context for its lifetime.
void startSession(Socket socket, const boost::asio::ip::tcp::endpoint& peer, std::shared_ptr<Shared> shared,
                  std::shared_ptr<boost::asio::ssl::context> tls);

} // namespace rtc::detail
