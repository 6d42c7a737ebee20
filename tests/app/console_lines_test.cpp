// The join and leave lines go to stdout from a writer of their own: a stdout that stops taking text holds up
// neither the state lock nor the threads that join and leave, and the lines still come out whole and in the
// state's order.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

#include "app/console_lines.hpp"
#include "app_test_util.hpp"
#include "signaling/state.hpp"

namespace {

using namespace std::chrono_literals;
using namespace murva;

// A stdout that can be stalled: while shut, a write waits until it opens again.
class GateBuffer : public std::streambuf {
public:
    void shut() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitForStalledWriter() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return stalled_ > 0; });
    }
    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::unique_lock lock(mutex_);
        ++stalled_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        --stalled_;
        text_.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
        return c;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    int stalled_ = 0;
    std::string text_;
};

class ConsoleLines : public testing::Test {
protected:
    void SetUp() override {
        const auto hold = holdConsole();
        saved_ = std::cout.rdbuf(&gate_);
    }
    void TearDown() override {
        gate_.open();
        for (auto& t : threads_)
            t.join();
        const auto hold = holdConsole();
        std::cout.rdbuf(saved_);
    }

    // Queues `line` under the state lock on a thread of its own; the future is ready once that thread is
    // done with it.
    std::future<void> joinLine(std::string line) {
        auto done = std::make_shared<std::promise<void>>();
        auto ready = done->get_future();
        threads_.emplace_back([this, line = std::move(line), done] {
            {
                SignalingState::Lock lock(state_);
                queueConsoleLine(line);
            }
            done->set_value();
        });
        return ready;
    }

    bool textBecomes(const std::string& expected) {
        for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;) {
            if (gate_.text() == expected)
                return true;
            std::this_thread::sleep_for(1ms);
        }
        return gate_.text() == expected;
    }

    // The state's lock can be taken at once by another thread.
    bool stateIsFree() {
        auto sizes = std::async(std::launch::async, [this] { return state_.sizes(); });
        return sizes.wait_for(1s) == std::future_status::ready;
    }

    GateBuffer gate_;
    std::streambuf* saved_ = nullptr;
    ConsoleReporter reporter_;
    SignalingState state_{ServerSettings{}, &reporter_};
    std::vector<std::thread> threads_;
};

} // namespace

TEST_F(ConsoleLines, StalledStdoutHoldsNeitherTheStateNorTheThreadsThatJoin) {
    gate_.shut();
    auto first = joinLine("[+] join (rooms=1, clients=1)");
    EXPECT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_TRUE(gate_.waitForStalledWriter());

    // While that write waits, the state is free and further lines are only queued.
    EXPECT_TRUE(stateIsFree());
    auto second = joinLine("[+] join (rooms=1, clients=2)");
    EXPECT_EQ(second.wait_for(5s), std::future_status::ready);
    auto third = joinLine("[-] leave (rooms=1, clients=1)");
    EXPECT_EQ(third.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(gate_.text(), "");

    // Once stdout moves again every line comes out, whole and in order, with nobody asking for it.
    gate_.open();
    EXPECT_TRUE(textBecomes("[+] join (rooms=1, clients=1)\n[+] join (rooms=1, clients=2)\n"
                            "[-] leave (rooms=1, clients=1)\n"))
        << gate_.text();
}

TEST_F(ConsoleLines, BacklogPastItsBoundMakesTheNextLineWait) {
    gate_.shut();
    auto first = joinLine("first");
    ASSERT_TRUE(gate_.waitForStalledWriter());
    // Far more than a stalled stdout may leave waiting in memory: this one waits for the writer instead,
    // outside the state lock.
    const std::string huge(3 << 20, 'x');
    auto second = joinLine(huge);
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);
    EXPECT_TRUE(stateIsFree());

    gate_.open();
    EXPECT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(textBecomes("first\n" + huge + "\n"));
}

TEST_F(ConsoleLines, HoldingTheConsoleWritesWhatIsQueuedAndKeepsTheWriterOut) {
    {
        SignalingState::Lock lock(state_);
        queueConsoleLine("queued");
    }
    std::future<void> later;
    {
        const auto hold = holdConsole();
        EXPECT_EQ(gate_.text(), "queued\n"); // written by now, by the writer or by holdConsole itself
        later = joinLine("later");
        EXPECT_EQ(later.wait_for(5s), std::future_status::ready);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(gate_.text(), "queued\n");
    }
    flushConsoleLines();
    EXPECT_EQ(gate_.text(), "queued\nlater\n");
}

// Refusals past the budget in one second are counted, and the count is told once the next second's first
// refusal comes (and again at a flush), each reason on its own budget.
TEST_F(ConsoleLines, RefusalsPastTheBudgetAreCountedAndToldInTheNextWindow) {
    const unsigned budget = ConsoleReporter::refusalLinesPerSecond;
    for (unsigned i = 0; i < budget + 5; ++i)
        reporter_.refused("per_ip", "192.0.2." + std::to_string(i));
    reporter_.refused("origin", "198.51.100.1");
    std::this_thread::sleep_for(1100ms);
    reporter_.refused("per_ip", "192.0.2.200");
    reporter_.refused("per_ip", "192.0.2.201");
    reporter_.flushRefusals(); // nothing left out in this window: no line
    flushConsoleLines();

    std::string expected;
    for (unsigned i = 0; i < budget; ++i)
        expected += "[!] refused per_ip from 192.0.2." + std::to_string(i) + "\n";
    expected += "[!] refused origin from 198.51.100.1\n"
                "[!] refused per_ip: 5 more not logged\n"
                "[!] refused per_ip from 192.0.2.200\n"
                "[!] refused per_ip from 192.0.2.201\n";
    EXPECT_EQ(gate_.text(), expected);
}

TEST(ConsoleOutput, AStdoutWhoseReaderWentAwayIsReportedOnceAndServingGoesOn) {
    app_test::TempDir dir;
    auto started = app_test::startOnFreePort(
        dir.path(), [](uint16_t port) { return std::vector<std::string>{std::to_string(port)}; }, 5);
    ASSERT_TRUE(started.child->waitForStdoutLines(5)) << started.child->stderrText();
    started.child->closeStdout(); // `| tee` ended, or a log shipper restarted

    for (int i = 0; i < 3; ++i) { // each join writes a console line into the broken pipe
        auto client = app_test::WsClient::connect(started.port);
        client->sendText(R"({"type":"join","nick":"n","room":"r)" + std::to_string(i) + "\"}");
        EXPECT_EQ(client->receive(), R"({"peer":"","type":"joined"})") << i;
        std::this_thread::sleep_for(20ms); // the writer takes each line on its own
    }
    const std::string report = "Standard output cannot be written (Broken pipe)";
    EXPECT_TRUE(app_test::waitUntil([&] { return started.child->stderrText().find(report) != std::string::npos; }))
        << started.child->stderrText();
    EXPECT_FALSE(started.child->waitExit(0ms)) << "ended with " << started.child->waitExit(0ms).value_or(-1);
    ASSERT_EQ(::kill(started.child->pid(), SIGTERM), 0);
    EXPECT_EQ(started.child->waitExit(5s), 0);
    const std::string errors = started.child->stderrText();
    EXPECT_EQ(errors.find(report), errors.rfind(report)) << errors; // once
}
