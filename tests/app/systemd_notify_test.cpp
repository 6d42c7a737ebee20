// systemd notices: one datagram each to a socket at a path or in the abstract namespace, nothing without a
// usable NOTIFY_SOCKET, no waiting on a manager that stops reading; the watchdog interval from the environment.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "app/systemd_notify.hpp"
#include "app_test_util.hpp"

using namespace std::chrono_literals;
using app_test::NotifyReceiver;
using testing_support::ScopedEnv;
using testing_support::TempDir;

TEST(SystemdNotify, SendsEachNoticeAsOneDatagramAndNeverWaits) {
    TempDir dir;
    for (const std::string& target : {dir.file("notify"), "@murva-notify-test-" + std::to_string(getpid())}) {
        SCOPED_TRACE(target);
        NotifyReceiver manager(target);
        ScopedEnv socket("NOTIFY_SOCKET", target);
        EXPECT_TRUE(murva::notifyReady());
        EXPECT_EQ(manager.receive(), "READY=1");
        EXPECT_TRUE(murva::notifyWatchdog());
        EXPECT_EQ(manager.receive(), "WATCHDOG=1");
        EXPECT_TRUE(murva::notifyStopping());
        EXPECT_EQ(manager.receive(), "STOPPING=1");
        EXPECT_TRUE(murva::notify("STATUS=draining\nEXTEND_TIMEOUT_USEC=5000000"));
        EXPECT_EQ(manager.receive(), "STATUS=draining\nEXTEND_TIMEOUT_USEC=5000000");

        // A manager that no longer reads: once its queue is full, notices fail at once instead of waiting.
        int sent = 0;
        for (int i = 0; i < 5000; ++i)
            sent += murva::notifyWatchdog();
        EXPECT_GT(sent, 0);
        EXPECT_LT(sent, 5000);
    }

    // Not started by systemd, or a target that is neither an absolute path nor an abstract name: nothing is sent.
    NotifyReceiver manager(dir.file("notify-unused"));
    for (const std::optional<std::string>& target :
         {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("notify-unused"),
          std::optional<std::string>("/" + std::string(200, 'x'))}) {
        ScopedEnv socket("NOTIFY_SOCKET", target);
        EXPECT_FALSE(murva::notifyReady()) << target.value_or("(unset)");
    }
    EXPECT_TRUE(manager.idle());
}

TEST(SystemdNotify, WatchdogIntervalIsHalfOfWhatSystemdSet) {
    using Interval = std::optional<std::chrono::microseconds>;
    const std::string self = std::to_string(getpid());
    struct Case {
        std::optional<std::string> usec;
        std::optional<std::string> pid;
        Interval expected;
    };
    const Case cases[] = {
        {"30000000", std::nullopt, 15s},
        {"30000000", self, 15s},
        {"1000001", self, 500000us},
        {"30000000", "1", std::nullopt}, // inherited: the watchdog belongs to another process
        {std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, self, std::nullopt},
        {"0", std::nullopt, std::nullopt},
        {"30s", std::nullopt, std::nullopt},
        {"18446744073709551615", std::nullopt, std::nullopt}, // systemd's "infinity"
    };
    for (const Case& c : cases) {
        ScopedEnv usec("WATCHDOG_USEC", c.usec);
        ScopedEnv pid("WATCHDOG_PID", c.pid);
        EXPECT_EQ(murva::watchdogInterval(), c.expected)
            << "WATCHDOG_USEC=" << c.usec.value_or("(unset)") << " WATCHDOG_PID=" << c.pid.value_or("(unset)");
    }
}
