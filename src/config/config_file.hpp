// The configuration file: its default text, and reading and checking one file into ServerSettings.
#pragma once

#include <string>
#include <string_view>

#include "config/settings.hpp"

namespace murva {

// Written on first start; parses to exactly the built-in defaults.
extern const std::string_view defaultConfigText;

// Fills `settings` from the keys present in the file at `path` (JSON with comments) and checks them.
// On failure returns false with `error` set; prints nothing.
bool loadConfig(const std::string& path, ServerSettings& settings, std::string& error);

} // namespace murva
