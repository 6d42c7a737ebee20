// The settings a server runs with, as the JSON an operator reads (--check-config), secrets masked.
#pragma once

#include <nlohmann/json.hpp>

#include "config/settings.hpp"

namespace murva {

// Every key with its value; the password, the TLS key's pass phrase, the TURN secret and the Redis password
// show as "(set)" when they are, so the text can be pasted into a ticket.
nlohmann::json settingsJson(const ServerSettings& settings);

} // namespace murva
