// Secrets from the environment or from credential files.
#include "config/credentials.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace murva {

namespace {

// Far above any secret; a credential that names a device or a huge file is refused instead of read forever.
constexpr std::size_t maxCredentialSize = 64 * 1024;

std::runtime_error unreadable(const std::string& path, const std::string& reason) {
    return std::runtime_error("Cannot read credential " + path + ": " + reason);
}

// The file's bytes; empty when it does not exist.
std::optional<std::string> readCredentialFile(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        if (errno == ENOENT)
            return std::nullopt;
        throw unreadable(path, std::strerror(errno));
    }
    std::string content;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get())) {
        content.append(buffer, n);
        if (content.size() > maxCredentialSize)
            throw unreadable(path, "larger than 64 KiB");
    }
    if (std::ferror(file.get())) // a directory, say: opening it works, reading it does not
        throw unreadable(path, std::strerror(errno));
    return content;
}

} // namespace

std::optional<std::string> externalSecret(const char* variable, const char* credential) {
    if (const char* value = std::getenv(variable))
        return std::string(value);
    const char* directory = std::getenv(credentialsDirectoryVariable);
    if (!directory || !*directory)
        return std::nullopt;
    auto content = readCredentialFile(std::string(directory) + "/" + credential);
    // Written with `echo` or an editor, a secret ends in a newline that is no part of it.
    if (content && !content->empty() && content->back() == '\n')
        content->pop_back();
    return content;
}

} // namespace murva
