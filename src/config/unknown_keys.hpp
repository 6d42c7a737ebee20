// Keys of a configuration file that the server does not know: each named, with the nearest known one.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace murva {

// One line per unknown key of `root` and of its known sections (tls, admin, turn, cluster), by name:
// Unknown key "pasword" ignored (did you mean "password"?)
std::vector<std::string> unknownKeyWarnings(const nlohmann::json& root);

} // namespace murva
