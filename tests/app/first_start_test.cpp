// Starting without arguments: the default murva-signal.json is created once, loaded afterwards, and never
// written over; a file that exists but cannot be read stops the start.
#include <gtest/gtest.h>

#include <functional>

#include "app_test_util.hpp"
#include "config/config_file.hpp"

using namespace murva;

using namespace app_test;

namespace {

const std::string wroteLine = "No config found - wrote a default murva-signal.json. Edit it and restart to customise.";
const std::string unreadableError = "Failed to load murva-signal.json: could not open murva-signal.json\n";

// After a start without a port: either the summary for the built-in settings follows `firstLines`, or
// port 8080 was taken and the start failed after them.
void expectDefaultStart(ChildProcess& child, const std::vector<std::string>& firstLines) {
    auto expected = firstLines;
    for (auto& line : defaultSummary("ws://0.0.0.0:8080"))
        expected.push_back(line);
    if (waitServing(child, expected.size())) {
        EXPECT_EQ(child.stdoutLines(), expected);
        EXPECT_FALSE(child.waitExit(0ms)); // still serving
    } else {
        ASSERT_EQ(child.waitExit(0ms), 1) << "neither served nor ended";
        EXPECT_EQ(child.stderrText().rfind("Failed to start server on port 8080: ", 0), 0u) << child.stderrText();
        EXPECT_EQ(child.stdoutLines(), firstLines);
    }
}

} // namespace

TEST(FirstStart, WritesTheDefaultFileOnceAndLoadsItAfterwards) {
    TempDir dir;
    {
        auto first = startServer(dir.path(), {});
        expectDefaultStart(*first, {wroteLine});
    }
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"murva-signal.json"});
    EXPECT_EQ(dir.read("murva-signal.json"), defaultConfigText);

    {
        auto second = startServer(dir.path(), {});
        expectDefaultStart(*second, {"Loaded config from murva-signal.json"});
    }
    EXPECT_EQ(dir.read("murva-signal.json"), defaultConfigText);
}

TEST(FirstStart, AnExistingFileIsLoadedAndNeverWrittenOver) {
    TempDir dir;
    std::string text;
    {
        auto [child, port] = startOnFreePort(
            dir.path(),
            [&](uint16_t port) {
                text = configText(port, R"("allow_turn": false)");
                dir.write("murva-signal.json", text);
                return std::vector<std::string>{};
            },
            7);
        auto expected = defaultSummary("ws://127.0.0.1:" + std::to_string(port));
        expected[3] = "TURN disabled - direct P2P only (relay candidates stripped).";
        expected.insert(expected.begin(), "Loaded config from murva-signal.json");
        EXPECT_EQ(child->stdoutLines(), expected) << child->stderrText();
    }
    EXPECT_EQ(dir.read("murva-signal.json"), text);

    // A file that fails to load is reported, not replaced with the defaults.
    for (const std::string bad : {"[]", "", "{\"port\": 0}"}) {
        dir.write("murva-signal.json", bad);
        auto child = startServer(dir.path(), {});
        EXPECT_EQ(child->waitExit(), 1) << bad;
        EXPECT_EQ(child->stdoutText(), "") << bad;
        EXPECT_EQ(child->stderrText().rfind("Failed to load murva-signal.json: ", 0), 0u) << child->stderrText();
        EXPECT_EQ(dir.read("murva-signal.json"), bad);
        EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"murva-signal.json"});
    }
}

TEST(FirstStart, AFileThatExistsButCannotBeReadStopsTheStart) {
    namespace fs = std::filesystem;
    // Running as root, permissions would not stop a read; these three cannot be opened by anyone.
    struct Case {
        std::string name;
        std::function<void(const TempDir&)> make;
    };
    const Case cases[] = {
        {"dangling symlink",
         [](const TempDir& d) { fs::create_symlink(d.file("elsewhere.json"), d.file("murva-signal.json")); }},
        {"symlink loop",
         [](const TempDir& d) { fs::create_symlink("murva-signal.json", d.file("murva-signal.json")); }},
        {"directory", [](const TempDir& d) { fs::create_directory(d.file("murva-signal.json")); }},
    };
    for (const auto& c : cases) {
        TempDir dir;
        c.make(dir);
        const auto path = dir.file("murva-signal.json");
        const auto before = fs::symlink_status(path).type();
        const auto target = fs::is_symlink(path) ? fs::read_symlink(path) : fs::path();
        auto child = startServer(dir.path(), {});
        EXPECT_EQ(child->waitExit(), 1) << c.name;
        EXPECT_EQ(child->stderrText(), unreadableError) << c.name;
        EXPECT_EQ(child->stdoutText(), "") << c.name;

        // Left exactly as it was: no default written through the link, nothing new beside it.
        EXPECT_EQ(fs::symlink_status(path).type(), before) << c.name;
        if (before == fs::file_type::symlink) {
            EXPECT_EQ(fs::read_symlink(path), target) << c.name;
        }
        EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"murva-signal.json"}) << c.name;
    }
}

TEST(FirstStart, WhereNoFileCanBeCreatedItStartsWithDefaultsSilently) {
    // Nobody, root included, can create a file in /proc; the probe there finds nothing either.
    auto child = startServer("/proc", {});
    expectDefaultStart(*child, {});
    EXPECT_EQ(child->stderrText().find("murva-signal.json"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("/proc/murva-signal.json"));
}
