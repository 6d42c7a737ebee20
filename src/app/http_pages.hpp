// Answers to plain HTTP requests: the browser client's files, health and readiness. Each gives nullopt for a
// request it does not serve, so the transport's own answer (426 or 404) stands.
#pragma once

#include <optional>

#include "transport/http.hpp"

namespace murva {

// The policy the client's page needs and nothing more (scripts, styles and sockets of its own origin; the
// socket may also go to a server the user types in).
inline constexpr const char* webClientPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src data:; connect-src 'self' ws: wss:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// GET or HEAD of "/" or one of the client's files.
std::optional<rtc::HttpResponse> webClientPage(const rtc::HttpRequest& request);

// GET or HEAD of /healthz (200 "ok" while the process serves) and /readyz (200 "ready", or 503 with
// `notReady` as the body: "draining", say).
std::optional<rtc::HttpResponse> healthPage(const rtc::HttpRequest& request, std::string_view notReady);

// The path of a request target, without its query.
std::string_view requestPath(const rtc::HttpRequest& request);

bool isGetOrHead(const rtc::HttpRequest& request);

} // namespace murva
