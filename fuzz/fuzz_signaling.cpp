// The message and close handlers driven by simulated connections, no network. The input is a small
// program: the first byte picks the settings, then each step opens a connection, delivers a raw or built
// frame, stalls a reader, or closes one. A model kept here predicts what every connection must receive
// at each step, and the state's invariants are checked after it; at the end every connection closes and
// the state must be empty.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/settings.hpp"
#include "fuzz_util.hpp"
#include "signaling/client_address.hpp"
#include "signaling/protocol.hpp"
#include "signaling/signaling_service.hpp"
#include "signaling/state.hpp"
#include "transport/detail/connection.hpp"
#include "transport/websocket.hpp"

namespace {

using namespace murva;
using nlohmann::json;
using rtc::detail::State;

constexpr std::size_t maxSimulated = 24;
constexpr int maxSteps = 256;
const std::string password = "s3cret";

// MURVA_FUZZ_TRACE=1 prints every step: the way to read what a reproducer does.
bool tracing = false;
#define TRACE(...)                                                                                                     \
    do {                                                                                                               \
        if (tracing)                                                                                                   \
            std::fprintf(stderr, __VA_ARGS__);                                                                         \
    } while (0)

// The I/O session behind a simulated connection. It drains the connection's queue at once (as if its
// I/O thread ran right away) and keeps what the server sent. A stalled reader lets sent bytes pile up
// against the connection's cap; otherwise they count as written at once.
struct FakeSession final : rtc::detail::SessionBase {
    rtc::detail::Connection* connection = nullptr;
    std::vector<std::string> sent;
    bool stalled = false;
    bool closeRequested = false;
    bool overflowClose = false;

    void postDrain() override {
        std::vector<rtc::message_variant> batch;
        rtc::detail::CloseRequest request;
        {
            std::lock_guard lock(connection->mutex);
            batch.swap(connection->outgoing);
            connection->drainPosted = false;
            request = std::exchange(connection->closeRequest, rtc::detail::CloseRequest::None);
            for (const auto& message : batch) {
                auto* text = std::get_if<std::string>(&message);
                FUZZ_CHECK(text != nullptr); // the server sends text frames only
                FUZZ_CHECK(!closeRequested); // nothing is queued after the close
                if (!stalled) {
                    FUZZ_CHECK(connection->buffered >= text->size());
                    connection->buffered -= text->size();
                }
            }
        }
        for (auto& message : batch)
            sent.push_back(std::move(std::get<std::string>(message)));
        if (request != rtc::detail::CloseRequest::None) {
            closeRequested = true;
            overflowClose = overflowClose || request == rtc::detail::CloseRequest::Overflow;
        }
    }
};

struct Sim {
    std::shared_ptr<rtc::detail::Connection> conn;
    std::shared_ptr<FakeSession> session;
    std::weak_ptr<rtc::WebSocket> socket; // as in the transport: the server's `clients` owns the handle
    std::string ip;                       // what the per-IP limit counts, known here by construction
    bool admitted = false;
    bool finished = false; // the transport's end of the connection has run
    bool joined = false;   // per the model: holds a slot in `room` until finished
    std::string room;
    std::string nick;

    bool open() const { return conn->state.load() == State::Open; }
    bool member() const { return joined && !finished; }
};

// What one connection must receive in one step: exact text, or a JSON value equal to the given one.
struct Expected {
    bool exactText;
    std::string text;
    json value;
};
using Expectations = std::map<const Sim*, std::vector<Expected>>;

void expectText(Expectations& e, const Sim* s, std::string text) { e[s].push_back({true, std::move(text), {}}); }
void expectJson(Expectations& e, const Sim* s, json value) { e[s].push_back({false, {}, std::move(value)}); }

json typed(const char* type) { return {{"type", type}}; }
json errorReason(const char* reason) { return {{"type", "error"}, {"reason", reason}}; }

bool stringOrAbsent(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() || it->is_string();
}

// Nesting depth (a scalar is 0, a container one more than its deepest child), walked without recursion.
int depthOf(const json& root) {
    int deepest = 0;
    std::vector<std::pair<const json*, int>> pending{{&root, 0}};
    while (!pending.empty()) {
        auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured())
            continue;
        deepest = std::max(deepest, depth + 1);
        for (const auto& child : *value)
            pending.emplace_back(&child, depth + 1);
    }
    return deepest;
}

class Harness {
public:
    explicit Harness(fuzz::Input& in) : in_(in) {}

    void run() {
        configure(in_.byte());
        checkInvariants();
        for (int step = 0; step < maxSteps && !in_.empty(); ++step) {
            runStep(in_.byte());
            checkInvariants();
        }
        finishAll();
    }

private:
    void configure(uint8_t flags) {
        static constexpr uint32_t roomLimits[] = {0, 1, 2, 3};
        static constexpr uint32_t connectionLimits[] = {0, 2, 3, 5};
        static constexpr uint32_t perIpLimits[] = {0, 1, 2, 3};
        ServerSettings settings;
        settings.allowTurn = flags & 1;
        settings.password = flags & 2 ? password : "";
        settings.maxRooms = roomLimits[flags >> 2 & 3];
        settings.maxConnections = connectionLimits[flags >> 4 & 3];
        settings.maxConnectionsPerIp = perIpLimits[flags >> 6 & 3];
        settings_ = settings;
        state_ = std::make_unique<SignalingState>(settings_);
        service_ = std::make_unique<SignalingService>(*state_, settings_);
        TRACE("settings: allow_turn=%d password=%d max_rooms=%u max_connections=%u max_connections_per_ip=%u\n",
              settings.allowTurn, !settings.password.empty(), settings.maxRooms, settings.maxConnections,
              settings.maxConnectionsPerIp);
    }

    void runStep(uint8_t op) {
        op %= 12;
        if (op == 0)
            return openConnection(in_.byte());
        if (op == 9)
            return finishServerClosed();
        Sim* s = pick(); // read before the operands, which take the bytes after it
        switch (op) {
        case 1: return sendText(s, in_.bytes(in_.byte()));
        case 2: return sendText(s, in_.bytes(in_.u16()));
        case 3: return sendBinary(s, in_.bytes(in_.byte()));
        case 4: return finish(s);
        case 6: return sendText(s, buildDescription());
        case 7: return sendText(s, buildCandidate());
        case 8: return sendText(s, canned(in_.byte()));
        case 10: return toggleStall(s);
        default: // 5 and 11: joins twice as often, they make everything else reachable
            return sendText(s, buildJoin());
        }
    }

    // --- connections ---

    // A connection that has not finished, chosen by the next byte; a new one when there is none.
    Sim* pick() {
        std::vector<Sim*> live;
        for (auto& s : sims_)
            if (!s->finished)
                live.push_back(s.get());
        if (live.empty()) {
            openConnection(in_.byte());
            checkInvariants();
            if (sims_.empty() || sims_.back()->finished)
                return nullptr;
            return sims_.back().get();
        }
        return live[in_.byte() % live.size()];
    }

    void openConnection(uint8_t choice) {
        if (sims_.size() >= maxSimulated)
            return;
        auto sim = std::make_unique<Sim>();
        sim->conn = std::make_shared<rtc::detail::Connection>();
        sim->session = std::make_shared<FakeSession>();
        sim->session->connection = sim->conn.get();
        sim->conn->session = sim->session;
        sim->conn->maxBuffered = choice & 0x80 ? 256 : 1 << 20; // the small cap lets one reader overflow
        const std::string port = std::to_string(40000 + sims_.size());
        switch (choice & 7) {
        case 4:
            sim->ip = "::1";
            sim->conn->remoteAddress = "[::1]:" + port;
            break;
        case 5:
            sim->ip = "fe80::2";
            sim->conn->remoteAddress = "[fe80::2]:" + port;
            break;
        case 6: // no address known: counted in no per-IP entry
            break;
        case 7:
            sim->ip = "unix";
            sim->conn->remoteAddress = "unix";
            break;
        default:
            sim->ip = "127.0.0." + std::to_string(1 + (choice & 3));
            sim->conn->remoteAddress = sim->ip + ":" + port;
        }
        sim->conn->state = State::Open;

        std::size_t live = 0, liveOnIp = 0;
        for (const auto& s : sims_)
            if (s->admitted && !s->finished) {
                ++live;
                liveOnIp += s->ip == sim->ip;
            }
        const bool admissible =
            (settings_.maxConnections == 0 || live < settings_.maxConnections) &&
            (settings_.maxConnectionsPerIp == 0 || sim->ip.empty() || liveOnIp < settings_.maxConnectionsPerIp);

        Sim* s = sim.get();
        sims_.push_back(std::move(sim));
        Expectations expected;
        if (!admissible)
            expectJson(expected, s, errorReason("Server is at capacity."));
        const auto before = snapshot();
        {
            auto socket = std::make_shared<rtc::WebSocket>(s->conn);
            s->socket = socket;
            service_->handleClient(std::move(socket));
        }
        s->admitted = s->conn->messageHandler() != nullptr;
        TRACE("#%zu open %s cap=%zu: %s\n", index(s), s->conn->remoteAddress.value_or("(none)").c_str(),
              s->conn->maxBuffered, s->admitted ? "admitted" : "refused");
        FUZZ_CHECK(s->admitted == admissible);
        verify(expected, before);
        if (!s->admitted) {
            // Refused: closed at once, and nothing of the server holds on to it.
            FUZZ_CHECK(s->conn->state.load() == State::Closing && s->session->closeRequested);
            FUZZ_CHECK(s->socket.expired());
            s->conn->state = State::Closed;
            s->finished = true;
        }
    }

    // The transport's end of a connection: no more messages, the close handler exactly once.
    void finish(Sim* s) {
        if (!s || s->finished)
            return;
        TRACE("#%zu closes%s\n", index(s), s->member() ? (" (in " + s->room + ")").c_str() : "");
        Expectations expected;
        if (s->member())
            if (Sim* peer = peerOf(*s); peer && peer->open())
                expectJson(expected, peer, typed("peer-left"));
        const auto before = snapshot();

        s->conn->state = State::Closed;
        std::shared_ptr<const rtc::detail::MessageCallback> message;
        std::shared_ptr<const rtc::detail::ClosedCallback> closed;
        {
            std::lock_guard lock(s->conn->mutex);
            message.swap(s->conn->messageCallback);
            closed.swap(s->conn->closedCallback);
        }
        s->finished = true;
        if (closed)
            (*closed)();
        FUZZ_CHECK(s->socket.expired()); // the server let go of the handle
        verify(expected, before);
    }

    void finishServerClosed() {
        for (auto& s : sims_)
            if (!s->finished && s->conn->state.load() == State::Closing) {
                finish(s.get());
                checkInvariants();
            }
    }

    void finishAll() {
        const bool reverse = in_.byte() & 1;
        for (std::size_t i = 0; i < sims_.size(); ++i) {
            finish(sims_[reverse ? sims_.size() - 1 - i : i].get());
            checkInvariants();
        }
        FUZZ_CHECK(state_->sizes() == StateSizes{});
    }

    void toggleStall(Sim* s) {
        if (!s)
            return;
        s->session->stalled = !s->session->stalled;
        TRACE("#%zu %s\n", index(s), s->session->stalled ? "stalls" : "reads again");
        if (!s->session->stalled) {
            std::lock_guard lock(s->conn->mutex);
            s->conn->buffered = 0; // the reader caught up
        }
    }

    // --- frames ---

    void sendBinary(Sim* s, std::string bytes) {
        if (!s)
            return;
        const auto before = snapshot();
        deliver(*s, rtc::binary(reinterpret_cast<const std::byte*>(bytes.data()),
                                reinterpret_cast<const std::byte*>(bytes.data() + bytes.size())));
        verify({}, before); // binary frames mean nothing
    }

    void sendText(Sim* s, std::string text) {
        if (!s)
            return;
        Expectations expected;
        bool joins = false;
        std::string room, nick;
        if (s->open() && s->admitted) {
            if (s->joined)
                expectRelay(*s, text, expected);
            else
                joins = expectJoin(*s, text, expected, room, nick);
        }
        TRACE("#%zu sends %.160s%s\n", index(s), text.c_str(), text.size() > 160 ? "..." : "");
        const auto before = snapshot();
        deliver(*s, text);
        verify(expected, before);
        if (auto it = expected.find(s); it != expected.end() && it->second.front().value == typed("unauthorized"))
            FUZZ_CHECK(!s->open()); // a wrong password ends the connection
        if (joins) {
            s->joined = true;
            s->room = room;
            s->nick = nick;
            TRACE("#%zu joined %.40s as %.70s\n", index(s), room.c_str(), nick.c_str());
        }
    }

    void deliver(Sim& s, rtc::message_variant message) {
        if (s.conn->state.load() != State::Open)
            return; // the transport delivers nothing after close()
        if (auto handler = s.conn->messageHandler())
            (*handler)(std::move(message));
    }

    std::size_t index(const Sim* s) const {
        for (std::size_t i = 0; i < sims_.size(); ++i)
            if (sims_[i].get() == s)
                return i;
        return sims_.size();
    }

    // --- the model ---

    Sim* peerOf(const Sim& s) {
        for (auto& other : sims_)
            if (other.get() != &s && other->member() && other->room == s.room)
                return other.get();
        return nullptr;
    }

    std::vector<Sim*> membersOf(const std::string& room) {
        std::vector<Sim*> members;
        for (auto& s : sims_)
            if (s->member() && s->room == room)
                members.push_back(s.get());
        return members;
    }

    std::size_t modelRoomCount() {
        std::vector<std::string> names;
        for (auto& s : sims_)
            if (s->member() && std::find(names.begin(), names.end(), s->room) == names.end())
                names.push_back(s->room);
        return names.size();
    }

    // A frame from a connection in no room. True when it joins; `room` and `nick` are then what it holds.
    bool expectJoin(Sim& s, const std::string& text, Expectations& expected, std::string& room, std::string& nick) {
        const json message = json::parse(text, nullptr, false);
        if (message.is_discarded() || !message.is_object() || !stringOrAbsent(message, "type"))
            return false;
        if (message.value("type", std::string()) != "join")
            return false;
        if (!stringOrAbsent(message, "room") || !stringOrAbsent(message, "nick"))
            return false;
        if (!settings_.password.empty()) {
            if (!stringOrAbsent(message, "password"))
                return false;
            if (message.value("password", std::string()) != settings_.password) {
                expectJson(expected, &s, typed("unauthorized"));
                return false;
            }
        }
        room = message.value("room", std::string());
        if (room.empty())
            return false;
        if (room.size() > maxRoomCodeBytes) {
            expectJson(expected, &s, errorReason("Room code too long."));
            return false;
        }
        const auto members = membersOf(room);
        if (members.size() >= 2) {
            expectJson(expected, &s, typed("full"));
            return false;
        }
        if (members.empty() && settings_.maxRooms != 0 && modelRoomCount() >= settings_.maxRooms) {
            expectJson(expected, &s, errorReason("Server is at capacity, try later."));
            return false;
        }
        nick = fuzz::referenceUtf8Prefix(message.value("nick", std::string()), maxNickBytes);
        Sim* peer = members.empty() ? nullptr : members.front();
        expectJson(expected, &s, {{"type", "joined"}, {"peer", peer ? peer->nick : ""}});
        if (peer && peer->open())
            expectJson(expected, peer, {{"type", "peer-joined"}, {"peer", nick}});
        return true;
    }

    // A frame from a connection in a room: what its peer must receive.
    void expectRelay(Sim& s, const std::string& text, Expectations& expected) {
        Sim* peer = peerOf(s);
        if (!peer || !peer->open())
            return;
        if (settings_.allowTurn) {
            if (json::accept(text))
                expectText(expected, peer, text);
            return;
        }
        const json message = json::parse(text, nullptr, false);
        if (message.is_discarded() || !message.is_object() || !stringOrAbsent(message, "type"))
            return;
        const std::string type = message.value("type", std::string());
        if (type == "candidate") {
            if (stringOrAbsent(message, "candidate") &&
                message.value("candidate", std::string()).find(fuzz::marker) == std::string::npos)
                expectText(expected, peer, text);
            return;
        }
        if (type == "offer" || type == "answer") {
            if (!stringOrAbsent(message, "sdp") || depthOf(message) > 64)
                return;
            json rewritten = message;
            rewritten["sdp"] = fuzz::referenceStripRelayLines(message.value("sdp", std::string()));
            expectJson(expected, peer, std::move(rewritten));
            return;
        }
        expectText(expected, peer, text);
    }

    // --- frame builders ---

    std::string buildNick() {
        static const char* const pieces[] = {"a",  "Z",  "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                             "\"", "\\", "\x01"};
        std::string nick;
        for (int n = in_.byte() % 40; n > 0; --n)
            nick += pieces[in_.byte() % 8];
        return nick;
    }

    std::string buildJoin() {
        static const std::string rooms[] = {
            "r0", "r1", "r2", "r3", "", std::string(128, 'y'), std::string(129, 'x'), "r\xc3\xa9"};
        const uint8_t flags = in_.byte();
        json message = {{"type", "join"}};
        if ((flags & 7) != 7)
            message["room"] = rooms[in_.byte() % 8];
        if (flags & 8)
            message["nick"] = buildNick();
        switch (flags >> 4 & 3) {
        case 0: message["password"] = password; break;
        case 1: break;
        case 2: message["password"] = password.substr(0, in_.byte() % password.size()); break;
        case 3: message["password"] = password + std::string(1, '\0'); break;
        }
        if (flags & 0x40)
            message["sdp"] = "extra";
        return message.dump();
    }

    std::string buildSdp() {
        static const char* const lines[] = {
            "v=0",
            "a=candidate:1 1 udp 2122260223 10.0.0.1 50000 typ host",
            "a=candidate:2 1 udp 41885439 203.0.113.9 3478 typ relay raddr 0.0.0.0 rport 0",
            "typ relay",
            "a=candidate:3 1 udp 1 203.0.113.9 3478 typ relayed",
            "",
            "m=application 9 UDP/DTLS/SCTP webrtc-datachannel",
        };
        std::string sdp;
        for (int n = in_.byte() % 8; n > 0; --n) {
            const uint8_t choice = in_.byte();
            sdp += lines[choice % 7];
            sdp += choice & 0x80 ? "\n" : "\r\n";
        }
        if (in_.byte() & 1)
            sdp += lines[in_.byte() % 7]; // unterminated last line
        return sdp;
    }

    std::string buildDescription() {
        const uint8_t flags = in_.byte();
        json message = {{"type", flags & 1 ? "offer" : "answer"}};
        if (!(flags & 2))
            message["sdp"] = buildSdp();
        else if (flags & 4)
            message["sdp"] = json::array({"typ relay"});
        if (flags & 8) { // nesting on either side of what the relay re-serialises
            json nested = "typ relay";
            for (int d = 60 + in_.byte() % 10; d > 0; --d)
                nested = json::array({std::move(nested)});
            message["x"] = std::move(nested);
        }
        return message.dump();
    }

    std::string buildCandidate() {
        const uint8_t flags = in_.byte();
        json message = {{"type", "candidate"}, {"sdpMid", "0"}};
        if (flags & 1)
            message["candidate"] = 5;
        else if (!(flags & 2))
            message["candidate"] = buildSdp();
        std::string text = message.dump();
        if (flags & 4) { // the marker spelled with an escape still counts
            const auto at = text.find("typ relay");
            if (at != std::string::npos)
                text.replace(at, 9, "typ\\u0020relay");
        }
        return text;
    }

    std::string canned(uint8_t choice) {
        static const char* const frames[] = {
            R"({"type":"join","room":5})",
            R"({"type":"join","room":"r0","nick":{}})",
            R"({"type":"join","room":"r0","password":1})",
            R"({"type":7,"room":"r0"})",
            R"([{"type":"join","room":"r0","password":"s3cret"}])",
            R"("join")",
            "null",
            "",
            R"({"type":"join","room":"r0","room":"r1","password":"s3cret"})",
            "{\"type\":\"join\",\"room\":\"r0\",\"nick\":\"\xff\",\"password\":\"s3cret\"}",
            R"({"type":"join","room":"r0","nick":"\ud800","password":"s3cret"})",
            R"({"type":"join","room":"r1","nick":"\u0000x","password":"s3cret"})",
            R"({"type":"chat","text":"typ relay"})",
            R"({"type":"candidate","candidate":"a=candidate:2 1 udp 1 203.0.113.9 3478 typ relay"})",
            R"({"type":"offer","sdp":"v=0\r\na=candidate:2 1 udp 1 203.0.113.9 3478 typ relay\r\n"})",
            R"({"type":"answer"})",
            R"({"type":null})",
            R"({"type":"join","room":"r2"} trailing)",
            R"(/* c */ {"type":"join","room":"r2"})",
            R"({"type":"join","room":"r3","password":"s3cret","nick":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\u20ac"})",
        };
        constexpr std::size_t count = sizeof frames / sizeof frames[0];
        return frames[choice % count];
    }

    // --- checks ---

    struct Seen {
        std::size_t sent;
        bool overflowClose;
    };

    std::vector<Seen> snapshot() const {
        std::vector<Seen> seen;
        for (const auto& s : sims_)
            seen.push_back({s->session->sent.size(), s->session->overflowClose});
        return seen;
    }

    // Every connection received exactly what the model expected in this step; one whose queue went over
    // its cap in this step may have received only the beginning.
    void verify(const Expectations& expected, const std::vector<Seen>& before) {
        static const std::vector<Expected> nothing;
        for (std::size_t i = 0; i < sims_.size(); ++i) {
            const Sim& s = *sims_[i];
            const Seen seen = i < before.size() ? before[i] : Seen{0, false};
            auto it = expected.find(&s);
            const auto& wanted = it == expected.end() ? nothing : it->second;
            const std::size_t got = s.session->sent.size() - seen.sent;
            for (std::size_t k = 0; k < got; ++k)
                TRACE("  #%zu receives %.160s\n", i, s.session->sent[seen.sent + k].c_str());
            if (got < wanted.size())
                TRACE("  #%zu receives %zu fewer than expected (overflow close: %d)\n", i, wanted.size() - got,
                      s.session->overflowClose);
            FUZZ_CHECK(got <= wanted.size());
            for (std::size_t k = 0; k < got; ++k) {
                const std::string& actual = s.session->sent[seen.sent + k];
                if (wanted[k].exactText) {
                    FUZZ_CHECK(actual == wanted[k].text);
                } else {
                    const json value = json::parse(actual, nullptr, false);
                    FUZZ_CHECK(!value.is_discarded() && value == wanted[k].value);
                    if (value.contains("sdp") && value["sdp"].is_string() && !settings_.allowTurn)
                        FUZZ_CHECK(value["sdp"].get<std::string>().find(fuzz::marker) == std::string::npos);
                }
            }
            if (got < wanted.size())
                FUZZ_CHECK(!seen.overflowClose && s.session->overflowClose);
        }
    }

    void checkInvariants() {
        state_->inspect([&](const SignalingState::View& state) { checkInvariants(state); });
    }

    // The connection a slot's member stands for.
    static SocketPtr socketOf(const Slot& slot) {
        auto* client = dynamic_cast<const Client*>(slot.member.get());
        return client && slot.taken() ? client->connection.lock() : nullptr;
    }

    void checkInvariants(const SignalingState::View& state) {
        // Every live handle the server holds is one of ours, admitted and not finished, and none twice.
        std::size_t expectedClients = 0;
        std::map<std::string, int> expectedPerIp;
        for (const auto& s : sims_) {
            if (s->admitted && !s->finished) {
                ++expectedClients;
                auto socket = s->socket.lock();
                FUZZ_CHECK(socket && state.clients.count(socket) == 1);
                if (!s->ip.empty()) // counted as every per-address limit counts it (IPv6 by its network)
                    ++expectedPerIp[limitKey(s->ip, settings_.ipv6PrefixLength)];
            }
            // A connection the server closed was closed through its session.
            if (s->conn->state.load() == State::Closing)
                FUZZ_CHECK(s->session->closeRequested);
        }
        FUZZ_CHECK(state.clients.size() == expectedClients);
        FUZZ_CHECK(state.connectionsPerIp == expectedPerIp);
        for (const auto& [ip, count] : state.connectionsPerIp)
            FUZZ_CHECK(count > 0);
        if (settings_.maxConnections != 0)
            FUZZ_CHECK(state.clients.size() <= settings_.maxConnections);

        // No room is without a member; free slots have no nick.
        for (const auto& [code, slots] : state.rooms) {
            auto a = socketOf(slots[0]), b = socketOf(slots[1]);
            FUZZ_CHECK(a || b);
            FUZZ_CHECK(a != b);
            for (int slot = 0; slot < 2; ++slot) {
                if (auto member = socketOf(slots[slot]))
                    FUZZ_CHECK(state.clients.count(member) == 1);
                else
                    FUZZ_CHECK(slots[slot].nick.empty());
            }
            FUZZ_CHECK(membersOf(code).size() == static_cast<std::size_t>(!!a + !!b));
        }
        FUZZ_CHECK(state.rooms.size() == modelRoomCount());
        if (settings_.maxRooms != 0)
            FUZZ_CHECK(state.rooms.size() <= settings_.maxRooms);

        // Every connection the model has in a room holds a slot there, under the nick it joined with.
        for (const auto& s : sims_) {
            if (!s->member())
                continue;
            auto room = state.rooms.find(s->room);
            FUZZ_CHECK(room != state.rooms.end());
            const auto socket = s->socket.lock();
            int slot = -1;
            for (int k = 0; k < 2; ++k)
                if (socketOf(room->second[k]) == socket)
                    slot = k;
            FUZZ_CHECK(slot >= 0);
            FUZZ_CHECK(room->second[slot].nick == s->nick);
        }
    }

    fuzz::Input& in_;
    ServerSettings settings_;
    std::unique_ptr<SignalingState> state_;
    std::unique_ptr<SignalingService> service_; // the sims' handlers call into it: outlives every sim below
    std::vector<std::unique_ptr<Sim>> sims_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tracing = std::getenv("MURVA_FUZZ_TRACE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    Harness(in).run();
    return 0;
}
