// Finding the embedded asset a request path names.
#include "app/web_assets.hpp"

namespace murva {

const WebAsset* findWebAsset(std::string_view target) {
    target = target.substr(0, target.find_first_of("?#"));
    if (target == "/")
        target = "/index.html";
    for (const WebAsset& asset : webAssets())
        if (asset.path == target)
            return &asset;
    return nullptr;
}

} // namespace murva
