// Everything the application uses from the transport.
#pragma once

#include "transport/common.hpp"
#include "transport/configuration.hpp"
#include "transport/counters.hpp"
#include "transport/http.hpp"
#include "transport/logger.hpp"
#include "transport/websocket.hpp"
#include "transport/websocket_server.hpp"
