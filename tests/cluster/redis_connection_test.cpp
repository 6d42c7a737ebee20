// RedisConnection against a real redis-server: pipelined order and bytes, pub/sub order, AUTH/SELECT, a located
// master and its move, a restarted and a paused server, stop(), TLS and its certificate checks.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "cluster/redis_connection.hpp"
#include "support/redis_server.hpp"

using namespace std::chrono_literals;
using murva::parseRedisUrl;
using murva::RedisConnection;
using murva::RedisOptions;
using murva::RedisReply;
using testing_support::RedisServer;
using testing_support::TempDir;

namespace {

// What one connection's handlers saw, waited on from the test's thread.
struct Events {
    std::mutex mutex;
    std::condition_variable changed;
    int connected = 0;
    std::vector<std::string> lost;
    std::vector<std::string> messages; // "channel payload"
    std::vector<std::string> errors;

    template <class Pred> bool waitFor(Pred pred, std::chrono::milliseconds bound = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, bound, pred);
    }
    std::size_t lostCount() {
        std::lock_guard lock(mutex);
        return lost.size();
    }
    template <class Fn> void update(Fn fn) {
        std::lock_guard lock(mutex);
        fn();
        changed.notify_all();
    }
    RedisConnection::Handlers handlers() {
        return {[this] { update([&] { ++connected; }); },
                [this](const std::string& why) { update([&] { lost.push_back(why); }); },
                [this](std::string_view channel, std::string_view payload) {
                    update([&] { messages.push_back(std::string(channel) + " " + std::string(payload)); });
                },
                [this](const std::string& what) { update([&] { errors.push_back(what); }); }};
    }
};

RedisReply call(RedisConnection& connection, std::vector<std::string> args) {
    auto promise = std::make_shared<std::promise<RedisReply>>();
    auto reply = promise->get_future();
    connection.command(std::move(args), [promise](const RedisReply& r) { promise->set_value(r); });
    if (reply.wait_for(10s) != std::future_status::ready)
        throw std::runtime_error("no reply within 10 s");
    return reply.get();
}

bool waitUntilAsked(std::mutex& mutex, const int& asked, int least) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
        std::lock_guard lock(mutex);
        if (asked >= least)
            return true;
    }
    return false;
}

} // namespace

TEST(RedisConnection, PipelinedCommandsComeBackInOrderWithTheirBytes) {
    RedisServer server;
    Events events;
    RedisConnection connection(parseRedisUrl(server.url()), events.handlers());
    connection.start();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 1; }));

    // Three threads pipeline INCRs on their own counter and binary SET/GETs; nothing waits for a reply.
    constexpr int perThread = 1500;
    const auto value = [](int t, int i) {
        return std::to_string(t) + std::string("\0\r\n$5\r\n*2\r\n", 11) + std::to_string(i);
    };
    std::vector<std::vector<long long>> counts(3);
    std::vector<std::vector<std::string>> values(3);
    std::atomic<int> done{0}, inlineCalls{0}, errors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            const auto caller = std::this_thread::get_id();
            for (int i = 0; i < perThread; ++i) {
                const std::string key = std::to_string(t) + ":" + std::to_string(i);
                connection.command({"INCR", "count" + std::to_string(t)}, [&, t, caller](const RedisReply& r) {
                    inlineCalls += std::this_thread::get_id() == caller;
                    counts[t].push_back(r.integer);
                });
                connection.command({"SET", key, value(t, i)}, [&](const RedisReply& r) { errors += r.text != "OK"; });
                connection.command({"GET", key}, [&, t](const RedisReply& r) {
                    values[t].push_back(r.text);
                    events.update([&] { ++done; });
                });
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const std::string big(4 << 20, '\x7f');
    call(connection, {"SET", "big", big});
    EXPECT_EQ(call(connection, {"GET", "big"}).text, big);

    ASSERT_TRUE(events.waitFor([&] { return done == 3 * perThread; }));
    EXPECT_EQ(inlineCalls, 0);
    EXPECT_EQ(errors, 0);
    for (int t = 0; t < 3; ++t) {
        ASSERT_EQ(counts[t].size(), perThread);
        ASSERT_EQ(values[t].size(), perThread);
        for (int i = 0; i < perThread; ++i) {
            ASSERT_EQ(counts[t][i], i + 1) << "thread " << t;
            ASSERT_EQ(values[t][i], value(t, i)) << "thread " << t;
        }
    }
    EXPECT_EQ(call(connection, {"GET", "missing"}).type, RedisReply::Type::Nil);
    EXPECT_TRUE(call(connection, {"SUBSCRIBE", "x"}).isError()); // would break the reply order
    EXPECT_TRUE(call(connection, {}).isError());
    EXPECT_EQ(events.lostCount(), 0u);
}

TEST(RedisConnection, PubSubMessagesArriveInPublishOrderAmongPings) {
    RedisServer server;
    Events subscriberEvents, publisherEvents;
    RedisOptions pingOften;
    pingOften.livenessInterval = 20ms; // pongs interleave with the messages
    RedisConnection subscriber(parseRedisUrl(server.url()), subscriberEvents.handlers(), pingOften);
    RedisConnection publisher(parseRedisUrl(server.url()), publisherEvents.handlers());
    subscriber.subscribe("instance:a");
    subscriber.start();
    publisher.start();
    ASSERT_TRUE(subscriberEvents.waitFor([&] { return subscriberEvents.connected == 1; }));
    ASSERT_TRUE(publisherEvents.waitFor([&] { return publisherEvents.connected == 1; }));

    constexpr int count = 3000;
    std::atomic<int> delivered{0};
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i) {
        expected.push_back("instance:a " + std::to_string(i) + std::string("\0\r\n", 3));
        publisher.command({"PUBLISH", "instance:a", expected.back().substr(11)},
                          [&](const RedisReply& r) { delivered += r.integer; });
        if (i % 500 == 0)
            std::this_thread::sleep_for(30ms);
    }
    ASSERT_TRUE(subscriberEvents.waitFor([&] { return subscriberEvents.messages.size() == count; }));
    EXPECT_EQ(subscriberEvents.messages, expected);
    call(publisher, {"PING"});   // its reply comes after those of every PUBLISH
    EXPECT_EQ(delivered, count); // the subscription was in place when connected ran
    const RedisReply pong = call(subscriber, {"PING"});
    ASSERT_EQ(pong.type, RedisReply::Type::Array);
    EXPECT_EQ(pong.elements.at(0).text, "pong");
    EXPECT_EQ(subscriberEvents.lostCount(), 0u);
}

TEST(RedisConnection, AuthenticatesAndSelectsAndReportsARefusedPasswordOnce) {
    RedisServer server("s3cret");
    for (const std::string user : {"", "default"}) {
        Events events;
        auto endpoint = parseRedisUrl(server.url());
        endpoint.username = user;
        endpoint.database = 2;
        RedisConnection connection(endpoint, events.handlers());
        connection.start();
        ASSERT_TRUE(events.waitFor([&] { return events.connected == 1; })) << user;
        EXPECT_EQ(call(connection, {"SET", "who", "u" + user}).text, "OK");
        EXPECT_EQ(server.command({"-n", "2", "GET", "who"}), "u" + user);
    }

    Events events;
    auto endpoint = parseRedisUrl(server.url());
    endpoint.password = "wrong";
    RedisOptions quickRetries;
    quickRetries.maxBackoff = 50ms;
    RedisConnection connection(endpoint, events.handlers(), quickRetries);
    connection.start();
    ASSERT_TRUE(events.waitFor([&] { return !events.lost.empty(); }));
    std::this_thread::sleep_for(500ms); // several more refused tries
    EXPECT_FALSE(events.waitFor([&] { return events.connected != 0; }, 0ms));
    ASSERT_EQ(events.lostCount(), 1u);
    const std::string why = events.lost.at(0); // no further writes: one loss only
    EXPECT_NE(why.find("AUTH"), std::string::npos) << why;
    EXPECT_TRUE(call(connection, {"GET", "who"}).isError());
}

// With a locate function the address is asked before every attempt: no answer and a replica are refused (the
// first refusal reported), a master is used; a move announced while ready ends the connection and the next one
// goes to the new master; a move to where it already is changes nothing.
TEST(RedisConnection, ALocatedServerMustBeAMasterAndAMoveIsFollowed) {
    RedisServer master;
    auto replica = RedisServer::replicaOf(master);
    std::mutex mutex;
    std::optional<murva::HostPort> located;
    int asked = 0;
    RedisOptions options;
    options.maxBackoff = 50ms;
    options.locate = [&](RedisOptions::Answer answer) {
        std::lock_guard lock(mutex);
        ++asked;
        answer(located, "nobody knows the master");
    };
    const auto locate = [&](const RedisServer* server) {
        std::lock_guard lock(mutex);
        located = server ? std::optional(murva::HostPort{"127.0.0.1", server->port()}) : std::nullopt;
        return asked;
    };
    Events events;
    murva::RedisEndpoint unused; // the located address is used instead
    unused.host = "192.0.2.1";
    unused.port = 1;
    RedisConnection connection(unused, events.handlers(), options);
    connection.start();
    ASSERT_TRUE(events.waitFor([&] { return !events.lost.empty(); }));
    EXPECT_EQ(events.lost.at(0), "nobody knows the master");

    const int before = locate(replica.get());
    ASSERT_TRUE(waitUntilAsked(mutex, asked, before + 3)); // each try asks again, and each is refused
    EXPECT_FALSE(events.waitFor([&] { return events.connected != 0; }, 0ms));
    EXPECT_EQ(events.lostCount(), 1u);

    locate(&master);
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 1; }));
    EXPECT_EQ(call(connection, {"SET", "where", "old"}).text, "OK");

    replica->command({"REPLICAOF", "NO", "ONE"}); // a failover: the replica is the master now
    locate(replica.get());
    connection.serverMoved({"127.0.0.1", replica->port()});
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 2; }));
    EXPECT_EQ(events.lostCount(), 2u);
    EXPECT_EQ(call(connection, {"SET", "where", "new"}).text, "OK");
    EXPECT_EQ(replica->command({"GET", "where"}), "new");
    EXPECT_EQ(master.command({"GET", "where"}), "old");

    connection.serverMoved({"127.0.0.1", replica->port()});
    EXPECT_EQ(call(connection, {"PING"}).text, "PONG");
    EXPECT_EQ(events.lostCount(), 2u);
    EXPECT_TRUE(events.waitFor([&] { return events.connected == 2; }, 0ms));
}

// A throwing callback, message handler or timer costs only itself: the error handler hears of it and later
// replies and messages still arrive in order.
TEST(RedisConnection, WhatHandlersThrowIsReportedAndTheConnectionGoesOn) {
    RedisServer server;
    Events events;
    auto handlers = events.handlers();
    handlers.message = [record = handlers.message](std::string_view channel, std::string_view payload) {
        if (payload == "bad")
            throw std::invalid_argument("not UTF-8");
        record(channel, payload);
    };
    RedisConnection connection(parseRedisUrl(server.url()), handlers);
    connection.subscribe("c");
    connection.start();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 1; }));
    Events publisherEvents;
    RedisConnection publisher(parseRedisUrl(server.url()), publisherEvents.handlers());
    publisher.start();
    ASSERT_TRUE(publisherEvents.waitFor([&] { return publisherEvents.connected == 1; }));

    connection.command({"PING"}, [](const RedisReply&) { throw std::bad_alloc(); });
    connection.post([] { throw std::runtime_error("timer"); });
    for (const char* payload : {"bad", "good"})
        EXPECT_EQ(call(publisher, {"PUBLISH", "c", payload}).integer, 1);
    ASSERT_TRUE(events.waitFor([&] { return events.messages.size() == 1 && events.errors.size() == 3; }));
    EXPECT_EQ(events.messages.at(0), "c good");
    EXPECT_FALSE(call(connection, {"PING"}).isError()); // the callback that threw left the reply order intact
    EXPECT_EQ(events.lostCount(), 0u);
}

// The handshake asks the version when a least one is set: the server's own version passes, one above it not.
TEST(RedisConnection, RefusesAServerOlderThanTheLeastVersion) {
    RedisServer server;
    const std::string info = server.command({"INFO", "server"});
    const auto at = info.find("redis_version:") + 14;
    const int major = std::stoi(info.substr(at)), minor = std::stoi(info.substr(info.find('.', at) + 1));
    const struct {
        int major, minor;
        bool accepted;
    } cases[] = {{major, minor, true}, {major - 1, minor + 5, true}, {major, minor + 1, false}, {major + 1, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        Events events;
        RedisOptions options;
        options.minimumMajor = c.major;
        options.minimumMinor = c.minor;
        RedisConnection connection(parseRedisUrl(server.url()), events.handlers(), options);
        connection.start();
        ASSERT_TRUE(events.waitFor([&] { return events.connected == 1 || !events.lost.empty(); }));
        EXPECT_EQ(events.connected == 1, c.accepted);
        if (!c.accepted) {
            EXPECT_NE(events.lost.at(0).find("or newer is needed"), std::string::npos) << events.lost.at(0);
        }
    }
}

TEST(RedisConnection, RestartedServerFailsPendingCommandsThenReconnectsWithinTheBackoffCap) {
    RedisServer server;
    Events events, subscriberEvents;
    RedisOptions options;
    options.maxBackoff = 200ms;
    RedisConnection connection(parseRedisUrl(server.url()), events.handlers(), options);
    RedisConnection subscriber(parseRedisUrl(server.url()), subscriberEvents.handlers(), options);
    subscriber.subscribe("instance:b");
    connection.start();
    subscriber.start();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 1; }));
    ASSERT_TRUE(subscriberEvents.waitFor([&] { return subscriberEvents.connected == 1; }));

    auto blocked = std::make_shared<std::promise<RedisReply>>();
    connection.command({"BLPOP", "never", "0"}, [blocked](const RedisReply& r) { blocked->set_value(r); });
    std::this_thread::sleep_for(100ms);
    server.stop();
    auto pending = blocked->get_future();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(pending.get().isError());
    EXPECT_TRUE(call(connection, {"GET", "x"}).isError());

    // Down long enough that an uncapped doubling would wait seconds before its next try.
    std::this_thread::sleep_for(3300ms);
    server.restart();
    const auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 2; }));
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, options.maxBackoff + 800ms);
    ASSERT_TRUE(subscriberEvents.waitFor([&] { return subscriberEvents.connected == 2; }));
    EXPECT_EQ(events.lostCount(), 1u); // failed tries while down are not losses
    EXPECT_EQ(subscriberEvents.lostCount(), 1u);

    EXPECT_EQ(server.command({"PUBLISH", "instance:b", "after"}), "1");
    EXPECT_TRUE(subscriberEvents.waitFor([&] { return subscriberEvents.messages.size() == 1; }));
    EXPECT_EQ(call(connection, {"INCR", "n"}).integer, 1);

    // stop(): the blocked command gets its error; commands after it fail without a thread to wait for.
    auto blockedAgain = std::make_shared<std::promise<RedisReply>>();
    connection.command({"BLPOP", "never", "0"}, [blockedAgain](const RedisReply& r) { blockedAgain->set_value(r); });
    std::this_thread::sleep_for(100ms);
    connection.stop();
    auto stopped = blockedAgain->get_future();
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(stopped.get().isError());
    EXPECT_FALSE(connection.connected());
    EXPECT_TRUE(call(connection, {"GET", "x"}).isError());
    EXPECT_EQ(events.lostCount(), 1u);
}

TEST(RedisConnection, PausedServerIsNoticedByLiveness) {
    RedisServer server;
    Events events;
    RedisOptions options;
    options.livenessInterval = 100ms;
    options.connectTimeout = 300ms;
    options.maxBackoff = 200ms;
    RedisConnection connection(parseRedisUrl(server.url()), events.handlers(), options);
    connection.start();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 1; }));

    server.pause();
    const auto paused = std::chrono::steady_clock::now();
    auto reply = std::make_shared<std::promise<RedisReply>>();
    connection.command({"GET", "x"}, [reply](const RedisReply& r) { reply->set_value(r); });
    ASSERT_TRUE(events.waitFor([&] { return events.lost.size() == 1; }, 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - paused, 1500ms);
    EXPECT_FALSE(connection.connected());
    auto answered = reply->get_future();
    ASSERT_EQ(answered.wait_for(1s), std::future_status::ready);
    EXPECT_TRUE(answered.get().isError());

    server.resume();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 2; }));
    EXPECT_EQ(call(connection, {"PING"}).text, "PONG");
    EXPECT_EQ(events.lostCount(), 1u);

    // A second pause is noticed like the first.
    server.pause();
    ASSERT_TRUE(events.waitFor([&] { return events.lost.size() == 2; }, 3s));
    server.resume();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 3; }));
}

TEST(RedisConnection, TimersRunOnItsThreadUntilStop) {
    Events events;
    RedisConnection connection(parseRedisUrl("redis://127.0.0.1:1"), events.handlers()); // never started
    const auto caller = std::this_thread::get_id();
    const auto posted = std::chrono::steady_clock::now();
    std::atomic<int> ticks{0}, onCaller{0};
    std::atomic<bool> delayedRan{false};
    std::atomic<std::chrono::steady_clock::duration> delayedAfter{};
    connection.every(10ms, [&] {
        onCaller += std::this_thread::get_id() == caller;
        ++ticks;
    });
    connection.post(
        [&] {
            delayedAfter = std::chrono::steady_clock::now() - posted;
            delayedRan = true;
        },
        60ms);
    for (int i = 0; i < 500 && (ticks < 5 || !delayedRan); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(delayedRan);
    EXPECT_GE(delayedAfter.load(), 60ms);
    connection.stop();
    const int atStop = ticks;
    std::this_thread::sleep_for(60ms);
    EXPECT_LE(ticks, atStop + 1); // one may have been under way
    EXPECT_EQ(onCaller, 0);
}

namespace {

// The first attempt's outcome: "ready", or the TLS failure ("" for a failure of another kind).
std::string firstAttempt(const murva::RedisEndpoint& endpoint, const murva::RedisTlsFiles& files) {
    Events events;
    RedisOptions options;
    options.tls = files;
    options.maxBackoff = 50ms;
    RedisConnection connection(endpoint, events.handlers(), options);
    connection.start();
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!connection.tried() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    if (connection.connected())
        return call(connection, {"PING"}).text == "PONG" ? "ready" : "no PONG";
    const std::string failure = connection.refusal();
    // The refusal is reported as a loss too, once, as a refused password is.
    events.waitFor([&] { return !events.lost.empty(); }, 1s);
    if (!failure.empty() && (events.lostCount() != 1 || events.lost.at(0) != failure))
        return "not reported: " + failure;
    return failure;
}

} // namespace

// rediss://: the server is believed only when its certificate chains to the configured CA and names the host
// connected to (an IP address through its IP SAN); a server that wants a client certificate gets ours. Each
// refusal says why and where, and is kept apart from failures that retrying may mend.
TEST(RedisConnection, TlsTrustsOnlyTheConfiguredCaForTheHostConnectedTo) {
    RedisServer server(testing_support::RedisServerOptions{.password = {}, .tls = true, .clientCertificates = true});
    const std::string port = std::to_string(server.port());
    const murva::RedisTlsFiles good{server.caFile(), server.clientCertFile(), server.clientKeyFile()};
    const std::string otherCa = std::string(MURVA_TEST_DATA) + "/cert.pem"; // a self-signed certificate of its own
    const struct {
        std::string url;
        murva::RedisTlsFiles files;
        std::string outcome; // "ready", or what the failure says
    } cases[] = {
        {"rediss://127.0.0.1:" + port, good, "ready"},
        {"rediss://localhost:" + port, good, "ready"},
        {"rediss://127.0.0.1:" + port, {otherCa, good.certFile, good.keyFile}, "certificate verify failed"},
        {"rediss://127.1:" + port, good, "mismatch"}, // a name for 127.0.0.1 the certificate does not give
        {"rediss://127.0.0.1:" + port, {server.caFile(), "", ""}, "certificate required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " CA " + c.files.caFile + " cert " + c.files.certFile);
        const std::string outcome = firstAttempt(parseRedisUrl(c.url), c.files);
        EXPECT_NE(outcome.find(c.outcome), std::string::npos) << outcome;
        if (c.outcome != "ready") {
            EXPECT_NE(outcome.find("TLS handshake with 127."), std::string::npos) << outcome;
        }
    }

    // Commands and pub/sub over TLS, with a value larger than one TLS record and one read.
    Events events, subscriberEvents;
    RedisOptions options;
    options.tls = good;
    RedisConnection connection(parseRedisUrl(server.url()), events.handlers(), options);
    RedisConnection subscriber(parseRedisUrl(server.url()), subscriberEvents.handlers(), options);
    subscriber.subscribe("c");
    connection.start();
    subscriber.start();
    ASSERT_TRUE(events.waitFor([&] { return events.connected == 1; }));
    ASSERT_TRUE(subscriberEvents.waitFor([&] { return subscriberEvents.connected == 1; }));
    const std::string big(300 * 1024, 'v');
    EXPECT_EQ(call(connection, {"SET", "big", big}).text, "OK");
    EXPECT_TRUE(call(connection, {"GET", "big"}).text == big);
    EXPECT_EQ(call(connection, {"PUBLISH", "c", big}).integer, 1);
    EXPECT_TRUE(subscriberEvents.waitFor([&] { return subscriberEvents.messages.size() == 1; }));
    EXPECT_TRUE(subscriberEvents.messages.at(0) == "c " + big);

    // A plain server (which waits for the end of a line that never comes) is not taken for a TLS one; a stopped
    // one is a failure retrying may mend.
    RedisServer plain;
    const std::string wrongPort =
        firstAttempt(parseRedisUrl("rediss://127.0.0.1:" + std::to_string(plain.port())), good);
    EXPECT_NE(wrongPort.find("does it speak TLS"), std::string::npos) << wrongPort;
    plain.stop();
    EXPECT_EQ(firstAttempt(parseRedisUrl("rediss://127.0.0.1:" + std::to_string(plain.port())), good), "");
}

TEST(RedisConnection, UnusableTlsFilesFailTheConstructorNamingTheFile) {
    TempDir dir;
    dir.write("garbage.pem", "not a certificate\n");
    const std::string data = MURVA_TEST_DATA;
    const struct {
        murva::RedisTlsFiles files;
        std::string named;
    } cases[] = {
        {{dir.file("missing.pem"), "", ""}, dir.file("missing.pem")},
        {{dir.file("garbage.pem"), "", ""}, dir.file("garbage.pem")},
        {{"", data + "/cert.pem", ""}, "both"},
        {{"", data + "/cert.pem", data + "/key2.pem"}, data + "/key2.pem"}, // another certificate's key
        {{"", data + "/cert.pem", dir.file("garbage.pem")}, dir.file("garbage.pem")},
        {{"", data + "/cert.pem", data + "/key-encrypted.pem"}, data + "/key-encrypted.pem"}, // never a prompt
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        RedisOptions options;
        options.tls = c.files;
        try {
            RedisConnection connection(parseRedisUrl("rediss://127.0.0.1:1"), {}, options);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
    }
    // Without rediss:// the files are not read.
    RedisOptions options;
    options.tls = cases[0].files;
    EXPECT_NO_THROW(RedisConnection(parseRedisUrl("redis://127.0.0.1:1"), {}, options));
}
