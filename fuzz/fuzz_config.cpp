// The configuration loader on arbitrary file bytes: it never crashes, a failure always says why, and a
// success leaves settings that pass the loader's own checks.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config_file.hpp"
#include "fuzz_util.hpp"

using namespace murva;

namespace {

const std::string& configPath() {
    static const std::string path = "/dev/shm/murva-fuzz-config-" + std::to_string(getpid()) + ".json";
    return path;
}

void removeConfigFile() { std::remove(configPath().c_str()); }

// A string member present in the file must arrive in the settings as it is.
void checkString(const nlohmann::json& object, const char* key, const std::string& field) {
    auto it = object.find(key);
    if (it != object.end())
        FUZZ_CHECK(it->is_string() && it->get<std::string>() == field);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(removeConfigFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    {
        std::FILE* file = std::fopen(configPath().c_str(), "wb");
        FUZZ_CHECK(file != nullptr);
        FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
        FUZZ_CHECK(std::fclose(file) == 0);
    }

    ServerSettings settings;
    std::string error;
    std::vector<std::string> warnings; // the unknown keys' nearest known ones are searched too
    const bool loaded = loadConfig(configPath(), settings, error, &warnings);
    if (!loaded) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(settings.port >= 1); // a uint16_t cannot exceed 65535
    if (settings.tls.enabled)
        FUZZ_CHECK(!settings.tls.certFile.empty() && !settings.tls.keyFile.empty());

    // Accepted text is a JSON object (comments allowed) and its string keys were taken over verbatim.
    const auto root = nlohmann::json::parse(data, data + size, nullptr, false, true);
    FUZZ_CHECK(root.is_object());
    checkString(root, "bind_address", settings.bindAddress);
    checkString(root, "password", settings.password);
    checkString(root, "log_level", settings.logLevel);
    if (auto tls = root.find("tls"); tls != root.end() && tls->is_object()) {
        checkString(*tls, "cert_file", settings.tls.certFile);
        checkString(*tls, "key_file", settings.tls.keyFile);
        checkString(*tls, "key_password", settings.tls.keyPassword);
    }

    // Loading the same file again gives the same settings.
    ServerSettings again;
    std::string againError;
    FUZZ_CHECK(loadConfig(configPath(), again, againError));
    FUZZ_CHECK(again.port == settings.port && again.password == settings.password &&
               again.maxConnections == settings.maxConnections && again.maxRooms == settings.maxRooms &&
               again.maxConnectionsPerIp == settings.maxConnectionsPerIp && again.allowTurn == settings.allowTurn &&
               again.tls.enabled == settings.tls.enabled);
    return 0;
}
