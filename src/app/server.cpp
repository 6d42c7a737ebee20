// Wiring of one server: settings -> state -> client lifecycle -> transport, and the admin listener.
#include "app/server.hpp"

#include <algorithm>

#include "app/http_pages.hpp"
#include "app/metrics_page.hpp"

namespace murva {

rtc::WebSocketServerConfiguration makeServerConfiguration(const ServerSettings& s) {
    rtc::WebSocketServerConfiguration config{};
    config.port = s.port;
    if (!s.bindAddress.empty() && s.bindAddress != "0.0.0.0")
        config.bindAddress = s.bindAddress;
    if (s.connectionTimeoutMs != 0)
        config.connectionTimeout = std::chrono::milliseconds(s.connectionTimeoutMs);
    if (s.maxMessageSize != 0)
        config.maxMessageSize = s.maxMessageSize;
    if (s.tls.enabled) {
        config.enableTls = true;
        config.certificatePemFile = s.tls.certFile;
        config.keyPemFile = s.tls.keyFile;
        if (!s.tls.keyPassword.empty())
            config.keyPemPass = s.tls.keyPassword;
    }
    config.proxyProtocol = s.proxyProtocol;
    // A client may have as many connections on their way to the upgrade as it may have open.
    config.maxPendingPerClient = s.maxConnectionsPerIp;
    config.maxPending = s.maxConnections;
    return config;
}

Server::Server(const ServerSettings& settings, const rtc::WebSocketServerConfiguration& transport)
    : settings_(settings), state_(settings_, &console_), service_(state_, settings_) {
    if (settings_.cluster) {
        clusterNode_ = std::make_unique<ClusterNode>(state_, *settings_.cluster);
        cluster_ = std::make_unique<ClusterRooms>(*clusterNode_, state_, settings_.maxRooms, settings_.resumeGraceMs);
        service_.useSharedRooms(cluster_.get());
        clusterNode_->start();
    }
    auto config = transport;
    if ((config.proxyProtocol || !settings_.trustedProxies.empty()) && !config.trustedProxy)
        config.trustedProxy = [this](const std::string& ip) { return service_.trustedProxy(ip); };
    if (!config.clientKey)
        config.clientKey = [this](const std::string& ip, const std::vector<std::string>& forwardedFor) {
            return service_.pendingKey(ip, forwardedFor);
        };
    transport_ = std::make_unique<rtc::WebSocketServer>(config);
    transport_->onHttpRequest([this](const rtc::HttpRequest& request) { return answer(request); });
    if (!settings_.allowedOrigins.empty())
        transport_->onUpgradeRequest([this](const rtc::HttpRequest& request) { return vetoUpgrade(request); });
    transport_->onClient([this](SocketPtr socket) { service_.handleClient(std::move(socket)); });

    if (settings_.admin.port != 0) {
        rtc::WebSocketServerConfiguration admin;
        admin.port = settings_.admin.port;
        admin.bindAddress = settings_.admin.bindAddress;
        admin.httpOnly = true;
        admin.threads = 1;
        admin_ = std::make_unique<rtc::WebSocketServer>(admin);
        admin_->onHttpRequest([this](const rtc::HttpRequest& request) { return answerAdmin(request); });
    }
}

Server::~Server() {
    transport_->stop();
    if (admin_)
        admin_->stop();
    if (clusterNode_)
        clusterNode_->stop();
}

void Server::startDrain() {
    draining_ = true;
    transport_->stopAccepting();
}

std::string_view Server::notReady() const {
    if (draining())
        return "draining";
    if (cluster_ && !cluster_->available())
        return "redis unreachable";
    return {};
}

std::string Server::metrics() { return renderMetrics(state_, transport_->counters()); }

std::optional<rtc::HttpResponse> Server::answer(const rtc::HttpRequest& request) {
    if (auto health = healthPage(request, notReady()))
        return health;
    return settings_.webClient ? webClientPage(request) : std::nullopt;
}

std::optional<rtc::HttpResponse> Server::answerAdmin(const rtc::HttpRequest& request) {
    if (auto health = healthPage(request, notReady()))
        return health;
    if (!isGetOrHead(request) || requestPath(request) != "/metrics")
        return std::nullopt;
    rtc::HttpResponse response;
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    response.body = metrics();
    response.headers = {{"Cache-Control", "no-store"}};
    return response;
}

// Browsers always send Origin with a WebSocket upgrade; native clients need not, and are let in.
std::optional<rtc::HttpResponse> Server::vetoUpgrade(const rtc::HttpRequest& request) const {
    const auto origin = request.header("Origin");
    if (!origin)
        return std::nullopt;
    const auto& allowed = settings_.allowedOrigins;
    if (std::find(allowed.begin(), allowed.end(), *origin) != allowed.end())
        return std::nullopt;
    rtc::HttpResponse refusal;
    refusal.status = 403;
    refusal.body = "Origin not allowed";
    return refusal;
}

} // namespace murva
