// Resumption: a member whose connection dropped gets its slot back with a session token, with what was sent
// to it meanwhile; the partner hears peer-away/peer-back; tokens are single-use; the held slot's bounds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/signal_server.hpp"
#include "support/ws_client.hpp"

using namespace testing_support;

namespace {

struct Member {
    std::unique_ptr<WsClient> ws;
    std::string session; // empty: the reply carried none
};

std::string joinFrame(const std::string& room, const std::string& nick, bool resume) {
    return R"({"type":"join","room":")" + room + R"(","nick":")" + nick + (resume ? R"(","resume":true})" : R"("})");
}

std::string resumeFrame(const std::string& room, const std::string& session) {
    return R"({"type":"join","room":")" + room + R"(","nick":"other","session":")" + session + R"("})";
}

// Sends `frame` on a new connection; the "joined" reply must name `peer`. The peer's "peer-joined" is read.
Member join(const SignalServer& server, const std::string& frame, const std::string& peer, Member* other = nullptr) {
    Member m{WsClient::connect(server.port()), {}};
    m.ws->sendText(frame);
    const auto reply = m.ws->receive();
    EXPECT_TRUE(reply.has_value());
    if (!reply)
        return m;
    const auto parsed = nlohmann::json::parse(*reply);
    EXPECT_EQ(parsed.value("type", ""), "joined") << *reply;
    EXPECT_EQ(parsed.value("peer", ""), peer) << *reply;
    m.session = parsed.value("session", "");
    if (other) {
        EXPECT_TRUE(other->ws->receive().has_value());
    }
    return m;
}

const std::string expired = R"({"reason":"Session expired.","type":"error"})";

// Whether the server's metrics hold the sample line `sample` ("name{labels} value").
bool metricIs(SignalServer& server, const std::string& sample) {
    return server.server().metrics().find("\n" + sample + "\n") != std::string::npos;
}

} // namespace

TEST(Resume, HeldSlotComesBackWithWhatWasSentMeanwhileInOrder) {
    SignalServer server;
    Member a = join(server, joinFrame("r", "ann", true), "");
    Member b = join(server, joinFrame("r", "ben", true), "ann", &a);
    ASSERT_GE(a.session.size(), 22u); // at least 128 bits in base64url
    EXPECT_EQ(a.session.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_NE(a.session, b.session);

    a.ws->abort(); // the network went away: no close frame
    EXPECT_EQ(b.ws->receive(), R"({"type":"peer-away"})");
    const std::vector<std::string> sent = {R"({"type":"offer","sdp":"1"})", R"({"type":"candidate","n":2})",
                                           R"({"type":"candidate","n":3})"};
    for (const auto& frame : sent)
        b.ws->sendText(frame);
    ASSERT_TRUE(waitUntil([&] { return server.sizes().clients == 1; }));
    EXPECT_TRUE(metricIs(server, "murva_held_slots 1"));

    Member back = join(server, resumeFrame("r", a.session), "ben");
    EXPECT_FALSE(back.session.empty());
    EXPECT_NE(back.session, a.session);
    for (const auto& frame : sent)
        EXPECT_EQ(back.ws->receive(), frame);
    EXPECT_EQ(b.ws->receive(), R"({"type":"peer-back"})");
    EXPECT_TRUE(metricIs(server, "murva_held_slots 0"));
    EXPECT_TRUE(metricIs(server, R"(murva_resumes_total{result="ok"} 1)"));
    // Relay goes on both ways on the new connection.
    b.ws->sendText(R"({"type":"answer"})");
    EXPECT_EQ(back.ws->receive(), R"({"type":"answer"})");
    back.ws->sendText(R"({"type":"ping"})");
    EXPECT_EQ(b.ws->receive(), R"({"type":"ping"})");

    // The nick is the one of the first join, not of the resume: a newcomer in the freed slot sees it.
    b.ws->close();
    EXPECT_EQ(back.ws->receive(), R"({"type":"peer-left"})");
    Member c = join(server, joinFrame("r", "cy", false), "ann", &back);
    EXPECT_EQ(server.consoleLines().back().rfind("[+] join", 0), 0u);
    EXPECT_NE(std::find(server.consoleLines().begin(), server.consoleLines().end(), "[~] resume (rooms=1, clients=2)"),
              server.consoleLines().end());
}

TEST(Resume, TokensAreRefusedWhenWrongUsedOrForAnotherRoomWithoutBeingUsedUp) {
    SignalServer server;
    Member a = join(server, joinFrame("r", "ann", true), "");
    Member b = join(server, joinFrame("r", "ben", true), "ann", &a);
    a.ws->abort();
    EXPECT_EQ(b.ws->receive(), R"({"type":"peer-away"})");

    auto probe = WsClient::connect(server.port());
    for (const auto& frame : {resumeFrame("r", "AAAAAAAAAAAAAAAAAAAAAAAA"), resumeFrame("r2", a.session),
                              resumeFrame("r", b.session.substr(1))}) {
        probe->sendText(frame);
        EXPECT_EQ(probe->receive(), expired) << frame;
    }
    // None of that used the token up; the refused connection may still join as anyone would.
    Member back = join(server, resumeFrame("r", a.session), "ben");
    EXPECT_EQ(b.ws->receive(), R"({"type":"peer-back"})");
    probe->sendText(resumeFrame("r", a.session));
    EXPECT_EQ(probe->receive(), expired); // used once
    probe->sendText(joinFrame("r3", "p", false));
    EXPECT_EQ(probe->receive(), R"({"peer":"","type":"joined"})");
    EXPECT_TRUE(b.ws->receivesNothing());
}

TEST(Resume, GraceRunningOutOrAnOwnCloseFrameIsALeave) {
    ServerSettings settings;
    settings.resumeGraceMs = 300;
    SignalServer server(settings);
    Member a = join(server, joinFrame("r", "ann", true), "");
    Member b = join(server, joinFrame("r", "ben", true), "ann", &a);
    a.ws->abort();
    EXPECT_EQ(b.ws->receive(), R"({"type":"peer-away"})");
    EXPECT_EQ(b.ws->receive(2s), R"({"type":"peer-left"})");
    EXPECT_TRUE(server.waitForSizes({1, 1, 1}));
    auto late = WsClient::connect(server.port());
    late->sendText(resumeFrame("r", a.session));
    EXPECT_EQ(late->receive(), expired);
    EXPECT_TRUE(metricIs(server, R"(murva_resumes_total{result="expired"} 1)"));

    // A close frame, whatever its code (a closed tab sends 1001), frees the slot at once.
    Member c = join(server, joinFrame("r", "cy", true), "ben", &b);
    c.ws->close(1001);
    EXPECT_EQ(b.ws->receive(), R"({"type":"peer-left"})");
    late->sendText(resumeFrame("r", c.session));
    EXPECT_EQ(late->receive(), expired);
}

TEST(Resume, TooMuchForAHeldSlotGivesItUp) {
    struct Case {
        const char* name;
        int frames;
        std::size_t size; // of every frame but the last, which has `lastExtra` bytes more
        std::size_t lastExtra;
        bool keeps;
    };
    const std::string frameHead = R"({"type":"candidate","x":")";
    for (const Case& c : {Case{"64 messages", 64, 100, 0, true}, Case{"65 messages", 65, 100, 0, false},
                          Case{"256 KiB", 4, 64 * 1024, 0, true}, Case{"a byte beyond", 4, 64 * 1024, 1, false}}) {
        SCOPED_TRACE(c.name);
        ServerSettings settings;
        settings.maxMessageSize = 0; // the transport's 256 KiB
        SignalServer server(settings);
        Member a = join(server, joinFrame("r", "ann", true), "");
        Member b = join(server, joinFrame("r", "ben", false), "ann", &a);
        a.ws->abort();
        ASSERT_TRUE(waitUntil([&] { return server.sizes().clients == 1; }));
        for (int i = 0; i < c.frames; ++i) {
            const std::size_t size = c.size + (i + 1 == c.frames ? c.lastExtra : 0);
            b.ws->sendText(frameHead + std::string(size - frameHead.size() - 2, 'x') + "\"}");
        }
        if (c.keeps) {
            EXPECT_TRUE(b.ws->receivesNothing()); // a partner that never asked is told nothing meanwhile
            Member back = join(server, resumeFrame("r", a.session), "ben");
            for (int i = 0; i < c.frames; ++i)
                ASSERT_EQ(back.ws->receive().value_or("").size(), c.size);
            EXPECT_TRUE(b.ws->receivesNothing());
        } else {
            EXPECT_EQ(b.ws->receive(), R"({"type":"peer-left"})");
            EXPECT_TRUE(metricIs(server, R"(murva_resumes_total{result="overflow"} 1)"));
            auto late = WsClient::connect(server.port());
            late->sendText(resumeFrame("r", a.session));
            EXPECT_EQ(late->receive(), expired);
        }
    }
}

TEST(Resume, ResumeTakesOverAConnectionThatStillLooksOpen) {
    SignalServer server;
    Member a = join(server, joinFrame("r", "ann", true), "");
    Member b = join(server, joinFrame("r", "ben", true), "ann", &a);
    Member moved = join(server, resumeFrame("r", a.session), "ben");
    EXPECT_TRUE(a.ws->waitClosed().has_value());
    b.ws->sendText(R"({"type":"offer"})");
    EXPECT_EQ(moved.ws->receive(), R"({"type":"offer"})");
    EXPECT_TRUE(b.ws->receivesNothing()); // the old connection's end is no leave, and nothing was away
    EXPECT_TRUE(server.waitForSizes({2, 1, 1}));
}

TEST(Resume, ClientsThatDoNotAskSeeTheUsualMessages) {
    for (const uint32_t grace : {0u, 30000u}) {
        SCOPED_TRACE(grace);
        ServerSettings settings;
        settings.resumeGraceMs = grace;
        SignalServer server(settings);
        auto a = WsClient::connect(server.port());
        a->sendText(joinFrame("r", "ann", grace == 0)); // with grace 0 asking changes nothing
        EXPECT_EQ(a->receive(), R"({"peer":"","type":"joined"})");
        auto b = WsClient::connect(server.port());
        b->sendText(joinFrame("r", "ben", false));
        EXPECT_EQ(b->receive(), R"({"peer":"ann","type":"joined"})");
        EXPECT_EQ(a->receive(), R"({"peer":"ben","type":"peer-joined"})");
        a->abort();
        EXPECT_EQ(b->receive(), R"({"type":"peer-left"})");
        EXPECT_TRUE(server.waitForSizes({1, 1, 1}));
    }
}

TEST(Resume, TheServersOwnCloseHoldsTheSlots) {
    SignalServer server;
    Member a = join(server, joinFrame("r", "ann", true), "");
    Member b = join(server, joinFrame("r", "ben", true), "ann", &a);
    server.transport().closeAll(1001); // as at the end of a drain; the clients answer our close frames
    EXPECT_EQ(a.ws->waitClosed(), 1001);
    EXPECT_EQ(b.ws->waitClosed(), 1001);
    ASSERT_TRUE(waitUntil([&] { return server.sizes().clients == 0; }));
    EXPECT_EQ(server.sizes().rooms, 1u);
    EXPECT_TRUE(metricIs(server, "murva_held_slots 2"));
}
