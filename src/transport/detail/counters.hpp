// The server's counters as relaxed atomics: each event costs one relaxed increment, and no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "transport/counters.hpp"
#include "transport/detail/wire_codes.hpp"

namespace rtc::detail {

enum class Refusal : unsigned char {
    BadHandshake,
    HandshakeTimeout,
    HeaderTooLarge,
    ProxyMissing,
    ProxyBad,
    ProxyUntrusted,
    Vetoed,
    PendingPerClient,
    PendingTotal,
};

// As the application's metrics label it (the reason onRefused reports).
inline const char* refusalLabel(Refusal why) {
    switch (why) {
    case Refusal::BadHandshake: return "bad_handshake";
    case Refusal::HandshakeTimeout: return "handshake_timeout";
    case Refusal::HeaderTooLarge: return "header_too_large";
    case Refusal::ProxyMissing: return "proxy_header_missing";
    case Refusal::ProxyBad: return "proxy_header_bad";
    case Refusal::ProxyUntrusted: return "proxy_untrusted";
    case Refusal::Vetoed: return "origin";
    case Refusal::PendingPerClient: return "pre_upgrade_per_ip";
    case Refusal::PendingTotal: return "pre_upgrade_max_connections";
    }
    return "?";
}

// For the log.
inline const char* refusalName(Refusal why) {
    switch (why) {
    case Refusal::BadHandshake: return "bad handshake";
    case Refusal::HandshakeTimeout: return "handshake timeout";
    case Refusal::HeaderTooLarge: return "request head too large";
    case Refusal::ProxyMissing: return "no PROXY header";
    case Refusal::ProxyBad: return "bad PROXY header";
    case Refusal::ProxyUntrusted: return "untrusted PROXY peer";
    case Refusal::Vetoed: return "refused by the application";
    case Refusal::PendingPerClient: return "too many connections not upgraded from this client";
    case Refusal::PendingTotal: return "too many connections not upgraded";
    }
    return "?";
}

class CounterSet {
public:
    void accepted() { bump(accepted_); }
    void upgraded() { bump(upgraded_); }
    void httpAnswered() { bump(httpAnswered_); }
    void idleTimeout() { bump(idleTimeouts_); }
    void refused(Refusal why) { bump(refused_[static_cast<std::size_t>(why)]); }
    void closed(unsigned code) { bump(closes_[closeSlot(code)]); }

    TransportCounters snapshot() const {
        TransportCounters c;
        c.accepted = read(accepted_);
        c.upgraded = read(upgraded_);
        c.httpAnswered = read(httpAnswered_);
        c.idleTimeouts = read(idleTimeouts_);
        auto& r = c.refused;
        uint64_t* refused[] = {&r.badHandshake, &r.handshakeTimeout, &r.headerTooLarge,
                               &r.proxyMissing, &r.proxyBad,         &r.proxyUntrusted,
                               &r.vetoed,       &r.pendingPerClient, &r.pendingTotal};
        for (std::size_t i = 0; i < refusalKinds; ++i)
            *refused[i] = read(refused_[i]);
        auto& k = c.closes;
        uint64_t* closes[] = {&k.normal, &k.goingAway, &k.abnormal,      &k.invalidPayload,
                              &k.policy, &k.tooBig,    &k.internalError, &k.other};
        for (std::size_t i = 0; i < closeKinds; ++i)
            *closes[i] = read(closes_[i]);
        return c;
    }

private:
    static constexpr std::size_t refusalKinds = 9;
    static constexpr std::size_t closeKinds = 8;
    using Counter = std::atomic<uint64_t>;

    static void bump(Counter& c) { c.fetch_add(1, std::memory_order_relaxed); }
    static uint64_t read(const Counter& c) { return c.load(std::memory_order_relaxed); }

    static std::size_t closeSlot(unsigned code) {
        switch (code) {
        case close_code::normal: return 0;
        case close_code::goingAway: return 1;
        case close_code::abnormal: return 2;
        case close_code::badPayload: return 3;
        case close_code::policy: return 4;
        case close_code::tooBig: return 5;
        case close_code::internalError: return 6;
        default: return 7;
        }
    }

    Counter accepted_{0};
    Counter upgraded_{0};
    Counter httpAnswered_{0};
    Counter idleTimeouts_{0};
    Counter refused_[refusalKinds] = {};
    Counter closes_[closeKinds] = {};
};

} // namespace rtc::detail
