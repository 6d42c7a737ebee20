// Helpers for the configuration tests: load a text through a real file, compare whole settings records.
#pragma once

#include <string>
#include <tuple>

#include "config/config_file.hpp"
#include "support/process.hpp"

namespace config_test {

using murva::ServerSettings;

// Every field, so one EXPECT_EQ compares whole records and prints them on a mismatch.
inline auto fieldsOf(const ServerSettings& s) {
    return std::make_tuple(s.port, s.bindAddress, s.password, s.logLevel, s.connectionTimeoutMs, s.maxMessageSize,
                           s.maxConnections, s.maxConnectionsPerIp, s.maxRooms, s.allowTurn, s.tls.enabled,
                           s.tls.certFile, s.tls.keyFile, s.tls.keyPassword);
}

struct LoadResult {
    bool ok = false;
    ServerSettings settings;
    std::string error;
};

// Writes `text` to a file in a fresh directory and loads it over the built-in defaults.
inline LoadResult loadText(const std::string& text) {
    testing_support::TempDir dir;
    dir.write("config.json", text);
    LoadResult result;
    result.ok = loadConfig(dir.file("config.json"), result.settings, result.error);
    return result;
}

} // namespace config_test
