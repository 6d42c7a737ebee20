// The join and leave lines leave for stdout after the state lock is released: a stdout that stops taking
// text holds up no other connection, and the lines still come out whole and in the state's order.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

#include "signaling/console_lines.hpp"

namespace {

using namespace std::chrono_literals;

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
    void SetUp() override { saved_ = std::cout.rdbuf(&gate_); }
    void TearDown() override {
        gate_.open();
        for (auto& t : threads_)
            t.join();
        std::cout.rdbuf(saved_);
    }

    // Queues `line` under the state lock on a thread of its own; the future is ready once that thread has
    // left the lock (and written, if it was the one to write).
    std::future<void> joinLine(std::string line) {
        auto done = std::make_shared<std::promise<void>>();
        auto ready = done->get_future();
        threads_.emplace_back([line = std::move(line), done] {
            {
                StateLock lock;
                queueConsoleLine(line);
            }
            done->set_value();
        });
        return ready;
    }

    GateBuffer gate_;
    std::streambuf* saved_ = nullptr;
    std::vector<std::thread> threads_;
};

} // namespace

TEST_F(ConsoleLines, StalledStdoutHoldsNeitherTheStateNorTheOtherThreads) {
    gate_.shut();
    auto first = joinLine("[+] join (rooms=1, clients=1)");
    ASSERT_TRUE(gate_.waitForStalledWriter());
    EXPECT_EQ(first.wait_for(50ms), std::future_status::timeout); // it is the writer, and stdout is stalled

    // The state stays free while that write waits; later lines are left to the stalled writer.
    {
        std::unique_lock state(stateMutex, std::try_to_lock);
        EXPECT_TRUE(state.owns_lock());
    }
    auto second = joinLine("[+] join (rooms=1, clients=2)");
    EXPECT_EQ(second.wait_for(5s), std::future_status::ready);
    auto third = joinLine("[-] leave (rooms=1, clients=1)");
    EXPECT_EQ(third.wait_for(5s), std::future_status::ready);

    gate_.open();
    EXPECT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(gate_.text(), "[+] join (rooms=1, clients=1)\n[+] join (rooms=1, clients=2)\n"
                            "[-] leave (rooms=1, clients=1)\n");
}

TEST_F(ConsoleLines, BacklogPastItsBoundWaitsForTheWriter) {
    gate_.shut();
    auto first = joinLine("first");
    ASSERT_TRUE(gate_.waitForStalledWriter());
    // Far more than a stalled stdout may leave waiting in memory: this one waits its turn instead.
    const std::string huge(3 << 20, 'x');
    auto second = joinLine(huge);
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);
    {
        std::unique_lock state(stateMutex, std::try_to_lock);
        EXPECT_TRUE(state.owns_lock()); // still outside the state lock while it waits
    }

    gate_.open();
    EXPECT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(gate_.text(), "first\n" + huge + "\n");
}

TEST_F(ConsoleLines, HoldingTheConsoleWritesWhatIsQueuedAndKeepsWritersOut) {
    {
        StateLock lock;
        queueConsoleLine("queued");
        // Not written yet: the lock is still held.
        EXPECT_EQ(gate_.text(), "");
    }
    EXPECT_EQ(gate_.text(), "queued\n");

    std::future<void> later;
    {
        const auto hold = holdConsole();
        later = joinLine("later");
        EXPECT_EQ(later.wait_for(5s), std::future_status::ready); // queued, left for whoever writes next
        EXPECT_EQ(gate_.text(), "queued\n");
    }
    writeConsoleLines();
    EXPECT_EQ(gate_.text(), "queued\nlater\n");
}
