// Rendering of the /metrics page. Names follow Prometheus' conventions: a murva_ prefix, _total on counters,
// base units, and no label that could name a room, a nick or an address.
#include "app/metrics_page.hpp"

#include "app/metrics_text.hpp"
#include "app/process_metrics.hpp"
#include "signaling/join_token.hpp"

namespace murva {

namespace {

struct LabelledCount {
    std::string_view label;
    uint64_t value;
};

void appendFamily(std::string& out, std::string_view name, MetricType type, std::string_view help,
                  std::string_view labelName, std::initializer_list<LabelledCount> samples) {
    appendFamilyHeader(out, name, type, help);
    for (const auto& [label, value] : samples)
        appendSample(out, name, {{labelName, label}}, value);
}

} // namespace

std::string renderMetrics(SignalingState& state, const rtc::TransportCounters& t, const ServerFigures& server) {
    const SignalingCounters& c = state.counters();
    const StateSizes sizes = state.sizes();
    const auto rooms = state.roomCounts();
    std::string out;
    out.reserve(8192);

    appendMetric(out, "murva_connections", MetricType::Gauge, "Admitted WebSocket connections open now.",
                 sizes.clients);
    appendFamily(out, "murva_rooms", MetricType::Gauge, "Rooms by whether they wait for a second member.", "state",
                 {{"waiting", rooms.waiting}, {"full", rooms.full}});
    appendMetric(out, "murva_connections_accepted_total", MetricType::Counter,
                 "WebSocket connections admitted after their upgrade.", read(c.admitted));
    appendFamily(out, "murva_connections_refused_total", MetricType::Counter,
                 "Connections refused or dropped before they were admitted, by reason.", "reason",
                 {{"max_connections", read(c.refusedMaxConnections)},
                  {"per_ip", read(c.refusedPerIp)},
                  {"bad_handshake", t.refused.badHandshake},
                  {"handshake_timeout", t.refused.handshakeTimeout},
                  {"header_too_large", t.refused.headerTooLarge},
                  {"origin", t.refused.vetoed},
                  {"proxy_header_missing", t.refused.proxyMissing},
                  {"proxy_header_bad", t.refused.proxyBad},
                  {"proxy_untrusted", t.refused.proxyUntrusted},
                  {"pre_upgrade_per_ip", t.refused.pendingPerClient},
                  {"pre_upgrade_max_connections", t.refused.pendingTotal}});
    appendFamily(out, "murva_joins_total", MetricType::Counter, "Join requests by result.", "result",
                 {{"ok", read(c.joinsOk)},
                  {"full", read(c.joinsFull)},
                  {"unauthorized", read(c.joinsUnauthorized)},
                  {"room_limit", read(c.joinsRoomLimit)},
                  {"code_too_long", read(c.joinsCodeTooLong)},
                  {"rate_limited", read(c.joinsRateLimited)},
                  {"unavailable", read(c.joinsUnavailable)}});
    appendMetric(out, "murva_held_slots", MetricType::Gauge,
                 "Room slots held for members whose connection dropped, waiting for them to resume.",
                 state.heldCount());
    appendFamily(
        out, "murva_resumes_total", MetricType::Counter, "Held slots by how they ended.", "result",
        {{"ok", read(c.resumesOk)}, {"expired", read(c.resumesExpired)}, {"overflow", read(c.resumesOverflow)}});
    appendFamilyHeader(out, "murva_token_failures_total", MetricType::Counter,
                       "Join tokens refused (also counted as unauthorized joins), by reason.");
    for (const TokenFailure failure : tokenFailures)
        appendSample(out, "murva_token_failures_total", {{"reason", tokenFailureName(failure)}},
                     read(c.tokenFailures[static_cast<std::size_t>(failure)]));
    appendMetric(out, "murva_messages_relayed_total", MetricType::Counter,
                 "Messages forwarded to the other member of a room.", read(c.relayed));
    appendMetric(out, "murva_relayed_bytes_total", MetricType::Counter, "Bytes of the messages forwarded.",
                 read(c.relayedBytes));
    appendFamily(out, "murva_messages_dropped_total", MetricType::Counter, "Received messages not acted on, by reason.",
                 "reason",
                 {{"malformed", read(c.droppedMalformed)},
                  {"not_joined", read(c.droppedNotJoined)},
                  {"no_peer", read(c.droppedNoPeer)},
                  {"relay_filtered", read(c.droppedRelayFiltered)}});
    appendFamily(out, "murva_cluster_messages_dropped_total", MetricType::Counter,
                 "Messages from other instances (through Redis) not passed on, by reason.", "reason",
                 {{"malformed", read(c.channelMalformed)}, {"misdirected", read(c.channelMisdirected)}});
    appendFamily(out, "murva_cluster_failover_joins_total", MetricType::Counter,
                 "Joins that came while Redis was unreachable and waited for it, by how the wait ended.", "result",
                 {{"served", read(c.failoverJoinsServed)}, {"refused", read(c.failoverJoinsRefused)}});
    appendFamily(out, "murva_cluster_failover_pairs_total", MetricType::Counter,
                 "Pairs across instances kept while Redis was unreachable, by whether they went on.", "result",
                 {{"kept", read(c.failoverPairsKept)}, {"ended", read(c.failoverPairsEnded)}});
    appendFamily(out, "murva_cluster_failover_frames_total", MetricType::Counter,
                 "Frames for members on other instances kept while Redis was unreachable, by what became of them.",
                 "result", {{"sent", read(c.failoverFramesSent)}, {"dropped", read(c.failoverFramesDropped)}});
    appendFamily(out, "murva_closes_total", MetricType::Counter,
                 "Closed WebSocket connections by close code (1006: no close frame).", "code",
                 {{"1000", t.closes.normal},
                  {"1001", t.closes.goingAway},
                  {"1006", t.closes.abnormal},
                  {"1007", t.closes.invalidPayload},
                  {"1008", t.closes.policy},
                  {"1009", t.closes.tooBig},
                  {"1011", t.closes.internalError},
                  {"other", t.closes.other}});
    appendMetric(out, "murva_idle_timeouts_total", MetricType::Counter,
                 "Connections closed after a silent idle timeout.", t.idleTimeouts);
    appendFamily(out, "murva_config_reloads_total", MetricType::Counter,
                 "Reloads of the configuration file (SIGHUP), by result.", "result",
                 {{"ok", server.reloadsOk}, {"failed", server.reloadsFailed}});
    appendMetric(out, "murva_config_last_reload_success_timestamp_seconds", MetricType::Gauge,
                 "When the settings in force were loaded (the start, or the last good reload).",
                 server.lastReloadSuccess);
    if (server.certificateExpiry)
        appendMetric(out, "murva_tls_certificate_expiry_timestamp_seconds", MetricType::Gauge,
                     "When the TLS certificate in use stops being valid.", *server.certificateExpiry);
    if (server.authKeys)
        appendMetric(out, "murva_auth_keys", MetricType::Gauge,
                     "Keys join tokens are checked with (the HS256 secret counts as one).", *server.authKeys);
    appendMetric(out, "murva_draining", MetricType::Gauge, "1 while the server drains before it stops.",
                 server.draining ? 1 : 0);
    appendFamilyHeader(out, "murva_build_info", MetricType::Gauge, "The running build; the value is always 1.");
    appendSample(out, "murva_build_info", {{"version", MURVA_VERSION}}, 1);
    appendProcessMetrics(out, readProcessMetrics());
    return out;
}

} // namespace murva
