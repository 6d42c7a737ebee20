// The configuration file: its default text, and reading and checking one file into ServerSettings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.hpp"

namespace murva {

// The longest lifetime of a TURN credential the file may ask for: a week.
inline constexpr uint32_t maxTurnTtlSeconds = 7 * 24 * 3600;

// Written on first start; parses to exactly the built-in defaults.
extern const std::string_view defaultConfigText;

// Fills `settings` from the keys present in the file at `path` (JSON with comments) and checks them.
// On failure returns false with `error` set; prints nothing. A "turn" key may still lack its secret: the
// environment can supply it (loadSettings). Unknown keys are ignored; with `warnings`, each gets a line naming it.
bool loadConfig(const std::string& path, ServerSettings& settings, std::string& error,
                std::vector<std::string>* warnings = nullptr);

} // namespace murva
