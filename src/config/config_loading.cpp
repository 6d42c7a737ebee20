// The command line forms, the configuration file on first start, and the secrets from the environment.
#include "config/config_loading.hpp"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string_view>

#include "config/config_file.hpp"
#include "config/credentials.hpp"

namespace murva {

namespace {

bool isAllDigits(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The port form: digits only. A value outside 1..65535 is refused rather than wrapped into another port.
bool parsePortArgument(std::string_view text, uint16_t& port) {
    unsigned long value = 0;
    for (char c : text) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535)
            return false;
    }
    if (value < 1)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// The TURN secret and the Redis and sentinel passwords from the environment or the credential files (see
// applySecretsFromEnvironment). False with `error` naming a credential file that cannot be read.
bool readExternalSecrets(ServerSettings& settings, std::string& error) {
    try {
        if (settings.turn)
            if (auto secret = externalSecret(turnSecretVariable, "turn-secret"))
                settings.turn->secret = std::move(*secret);
        if (settings.auth)
            if (auto secret = externalSecret(authSecretVariable, "auth-secret"))
                settings.auth->hs256Secret = std::move(*secret);
        if (settings.cluster) {
            if (auto password = externalSecret(redisPasswordVariable, "redis-password"))
                settings.cluster->redisPassword = std::move(*password);
            if (auto password = externalSecret(sentinelPasswordVariable, "sentinel-password"))
                settings.cluster->sentinelPassword = std::move(*password);
        }
    } catch (const std::runtime_error& e) {
        error = e.what();
        return false;
    }
    return true;
}

} // namespace

bool writeDefaultConfig(const std::string& path) {
    // "x": create only. A file that appeared meanwhile is never written over.
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (!file)
        return false;
    const bool written =
        std::fwrite(defaultConfigText.data(), 1, defaultConfigText.size(), file) == defaultConfigText.size();
    const bool closed = std::fclose(file) == 0;
    if (written && closed)
        return true;
    std::remove(path.c_str()); // no half-written configuration stays behind
    return false;
}

namespace {

// The file alone, its unknown keys named on standard error.
bool readFileOnly(const std::string& path, ServerSettings& settings, std::string& error) {
    std::vector<std::string> warnings;
    const bool loaded = loadConfig(path, settings, error, &warnings);
    for (const auto& line : warnings)
        std::cerr << line << "\n";
    return loaded;
}

const std::string noTurnSecret = std::string("turn has no secret: set turn.secret or ") + turnSecretVariable;

} // namespace

bool readSettingsFile(const std::string& path, ServerSettings& settings, std::string& error) {
    if (!readFileOnly(path, settings, error) || !readExternalSecrets(settings, error))
        return false;
    if (settings.turn && settings.turn->secret.empty()) {
        error = noTurnSecret;
        return false;
    }
    if (settings.auth && settings.auth->keysFile.empty() && settings.auth->hs256Secret.empty()) {
        error = std::string("auth has neither keys nor a secret: set auth.keys, auth.hs256_secret or ") +
                authSecretVariable;
        return false;
    }
    // A short HMAC secret can be found by trying guesses offline against any token seen.
    if (settings.auth && !settings.auth->hs256Secret.empty() && settings.auth->hs256Secret.size() < 32) {
        error = "auth.hs256_secret must be at least 32 bytes";
        return false;
    }
    return true;
}

bool loadSettings(int argc, char** argv, ServerSettings& settings, SettingsSource* source) {
    if (argc > 1 && isAllDigits(argv[1])) {
        if (!parsePortArgument(argv[1], settings.port)) {
            std::cerr << "Invalid port " << argv[1] << ": port out of range (1-65535)\n";
            return false;
        }
        if (argc > 2)
            settings.password = argv[2];
        return true;
    }

    const bool named = argc > 1;
    const std::string path = named ? argv[1] : defaultConfigPath;
    std::ifstream probe(path, std::ios::binary);
    if (!probe.good()) {
        if (named) {
            std::cerr << "Config file not found: " << path << "\n";
            return false;
        }
        errno = 0;
        if (writeDefaultConfig(path)) {
            const std::string notice =
                "No config found - wrote a default " + path + ". Edit it and restart to customise.";
            if (source)
                *source = {path, notice};
            else
                std::cout << notice << "\n";
        } else if (errno == EEXIST) {
            // The file is there but unreadable: serving defaults would open a server meant to be closed.
            std::cerr << "Failed to load " << path << ": could not open " << path << "\n";
            return false;
        }
        return true;
    }

    // As readSettingsFile, with a credential file that cannot be read named on a line of its own.
    std::string error;
    if (!readFileOnly(path, settings, error)) {
        std::cerr << "Failed to load " << path << ": " << error << "\n";
        return false;
    }
    if (!applySecretsFromEnvironment(settings))
        return false;
    if (settings.turn && settings.turn->secret.empty()) {
        std::cerr << "Failed to load " << path << ": " << noTurnSecret << "\n";
        return false;
    }
    if (source)
        *source = {path, "Loaded config from " + path};
    else
        std::cout << "Loaded config from " << path << "\n";
    return true;
}

bool applySecretsFromEnvironment(ServerSettings& settings) {
    std::string error;
    if (readExternalSecrets(settings, error))
        return true;
    std::cerr << error << "\n";
    return false;
}

bool readPassword(ServerSettings& settings, std::string& error) {
    try {
        if (auto password = externalSecret(passwordVariable, "password"))
            settings.password = std::move(*password);
    } catch (const std::runtime_error& e) {
        error = e.what();
        return false;
    }
    return true;
}

bool applyPasswordFromEnvironment(ServerSettings& settings) {
    std::string error;
    if (readPassword(settings, error))
        return true;
    std::cerr << error << "\n";
    return false;
}

} // namespace murva
