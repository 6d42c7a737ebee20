// Secrets handed to the process outside the configuration file: an environment variable, or a file in
// $CREDENTIALS_DIRECTORY (systemd's LoadCredential=, or Docker secrets mounted there).
#pragma once

#include <optional>
#include <string>

namespace murva {

inline constexpr const char* credentialsDirectoryVariable = "CREDENTIALS_DIRECTORY";

// The value of `variable` when it is set (even to ""); else the content of the file `credential` in
// $CREDENTIALS_DIRECTORY, without one trailing newline, when it is there; else nothing, and the configuration's
// value stands. A credential file that is there but cannot be read throws std::runtime_error naming it.
std::optional<std::string> externalSecret(const char* variable, const char* credential);

} // namespace murva
