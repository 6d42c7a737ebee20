// Wiring of one server: settings -> state -> client lifecycle -> transport, and the admin listener.
#include "app/server.hpp"

#include <algorithm>

#include "app/http_pages.hpp"
#include "app/logging.hpp"
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

namespace {

double unixNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

Server::Server(const ServerSettings& settings, const rtc::WebSocketServerConfiguration& transport)
    : settings_(std::make_shared<const ServerSettings>(settings)), lastReloadSuccess_(unixNow()),
      state_(settings, &console_), service_(state_, settings) {
    console_.setStyle(consoleStyle(settings.logFormat));
    if (settings.cluster) {
        clusterNode_ = std::make_unique<ClusterNode>(state_, *settings.cluster);
        cluster_ = std::make_unique<ClusterRooms>(*clusterNode_, state_, settings.maxRooms, settings.resumeGraceMs,
                                                  settings.cluster->failoverWaitMs);
        service_.useSharedRooms(cluster_.get());
        clusterNode_->start();
    }
    auto config = transport;
    // Asked even without a trusted_proxies list, which a reload may bring: with none, no peer is trusted.
    if (!config.trustedProxy)
        config.trustedProxy = [this](const std::string& ip) { return service_.trustedProxy(ip); };
    if (!config.clientKey)
        config.clientKey = [this](const std::string& ip, const std::vector<std::string>& forwardedFor) {
            return service_.pendingKey(ip, forwardedFor);
        };
    if (!config.onRefused)
        config.onRefused = [this](std::string_view reason, const std::string& ip,
                                  const std::vector<std::string>& forwardedFor) {
            service_.reportRefusedOpening(reason, ip, forwardedFor);
        };
    transport_ = std::make_unique<rtc::WebSocketServer>(config);
    transport_->onHttpRequest([this](const rtc::HttpRequest& request) { return answer(request); });
    // Installed even without an Origin list: a reload may bring one.
    transport_->onUpgradeRequest([this](const rtc::HttpRequest& request) { return vetoUpgrade(request); });
    transport_->onClient([this](SocketPtr socket) { service_.handleClient(std::move(socket)); });

    if (settings.admin.port != 0) {
        rtc::WebSocketServerConfiguration admin;
        admin.port = settings.admin.port;
        admin.bindAddress = settings.admin.bindAddress;
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

std::shared_ptr<const ServerSettings> Server::settings() const {
    std::lock_guard lock(settingsMutex_);
    return settings_;
}

void Server::applySettings(const ServerSettings& next) {
    service_.reconfigure(next); // first: the one step that can refuse the settings
    state_.setLimits(next);
    if (cluster_ && next.cluster)
        cluster_->setFailoverWait(next.cluster->failoverWaitMs);
    const auto caps = makeServerConfiguration(next); // the caps before the upgrade follow the limits
    transport_->setPendingCaps(caps.maxPendingPerClient, caps.maxPending);
    initLogging(next);
    console_.setStyle(consoleStyle(next.logFormat));
    auto snapshot = std::make_shared<const ServerSettings>(next);
    std::lock_guard lock(settingsMutex_);
    settings_.swap(snapshot);
}

void Server::countReload(bool ok) {
    if (ok) {
        reloadsOk_.fetch_add(1, std::memory_order_relaxed);
        lastReloadSuccess_.store(unixNow(), std::memory_order_relaxed);
    } else {
        reloadsFailed_.fetch_add(1, std::memory_order_relaxed);
    }
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

std::string Server::metrics() {
    ServerFigures figures;
    figures.reloadsOk = reloadsOk_.load(std::memory_order_relaxed);
    figures.reloadsFailed = reloadsFailed_.load(std::memory_order_relaxed);
    figures.lastReloadSuccess = lastReloadSuccess_.load(std::memory_order_relaxed);
    figures.certificateExpiry = transport_->certificateExpiry();
    if (settings()->auth)
        figures.authKeys = service_.authKeys();
    figures.draining = draining();
    return renderMetrics(state_, transport_->counters(), figures);
}

std::optional<rtc::HttpResponse> Server::answer(const rtc::HttpRequest& request) {
    if (auto health = healthPage(request, notReady()))
        return health;
    return settings()->webClient ? webClientPage(request) : std::nullopt;
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
std::optional<rtc::HttpResponse> Server::vetoUpgrade(const rtc::HttpRequest& request) {
    const auto current = settings();
    const auto& allowed = current->allowedOrigins;
    if (allowed.empty())
        return std::nullopt;
    const auto origin = request.header("Origin");
    if (!origin)
        return std::nullopt;
    if (std::find(allowed.begin(), allowed.end(), *origin) != allowed.end())
        return std::nullopt;
    console_.refused("origin", service_.resolveAddress(request.remoteAddress.value_or(""), &request));
    rtc::HttpResponse refusal;
    refusal.status = 403;
    refusal.body = "Origin not allowed";
    return refusal;
}

} // namespace murva
