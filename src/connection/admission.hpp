// The connection handler registered with the server: admits or refuses every new connection.
#pragma once

#include <memory>

#include "transport/websocket.hpp"

void handleClient(std::shared_ptr<rtc::WebSocket> socket);
