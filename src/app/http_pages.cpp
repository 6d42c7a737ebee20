// The browser client's files and the health pages.
#include "app/http_pages.hpp"

#include "app/web_assets.hpp"

namespace murva {

std::string_view requestPath(const rtc::HttpRequest& request) {
    std::string_view target = request.target;
    return target.substr(0, target.find_first_of("?#"));
}

bool isGetOrHead(const rtc::HttpRequest& request) { return request.method == "GET" || request.method == "HEAD"; }

std::optional<rtc::HttpResponse> webClientPage(const rtc::HttpRequest& request) {
    if (!isGetOrHead(request))
        return std::nullopt;
    const WebAsset* asset = findWebAsset(requestPath(request));
    if (!asset)
        return std::nullopt;
    rtc::HttpResponse response;
    response.contentType = std::string(asset->contentType);
    response.body = std::string(asset->body);
    response.headers = {{"Cache-Control", "no-cache"},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Content-Security-Policy", webClientPolicy},
                        {"Referrer-Policy", "no-referrer"}};
    return response;
}

std::optional<rtc::HttpResponse> healthPage(const rtc::HttpRequest& request, std::string_view notReady) {
    if (!isGetOrHead(request))
        return std::nullopt;
    const std::string_view path = requestPath(request);
    rtc::HttpResponse response;
    response.headers = {{"Cache-Control", "no-store"}};
    if (path == "/healthz") {
        response.body = "ok";
        return response;
    }
    if (path == "/readyz") {
        response.status = notReady.empty() ? 200 : 503;
        response.body = notReady.empty() ? "ready" : std::string(notReady);
        return response;
    }
    return std::nullopt;
}

} // namespace murva
