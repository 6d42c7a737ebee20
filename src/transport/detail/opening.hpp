// The opening of one accepted TCP connection: the PROXY header (when configured), TLS (when given a context), the
// requests (plain HTTP answered by the application, or the upgrade). At the upgrade it hands the socket to the
// WebSocket session (session.hpp). It owns itself through its pending operations.
#pragma once

#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "transport/detail/shared.hpp"
#include "transport/detail/socket.hpp"

namespace rtc::detail {

// `tls` empty: a plain connection. The connection keeps the context for its lifetime.
void openConnection(Socket socket, const boost::asio::ip::tcp::endpoint& peer, std::shared_ptr<Shared> shared,
                    std::shared_ptr<boost::asio::ssl::context> tls);

} // namespace rtc::detail
