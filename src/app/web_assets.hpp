// The browser client's files, embedded in the binary at build time (no file is read at run time).
#pragma once

#include <span>
#include <string_view>

namespace murva {

struct WebAsset {
    std::string_view path; // "/index.html", "/app.js", ...
    std::string_view contentType;
    std::string_view body;
};

std::span<const WebAsset> webAssets();

// The asset a request path names ("/" is "/index.html"); null when there is none. The query is ignored.
const WebAsset* findWebAsset(std::string_view target);

} // namespace murva
