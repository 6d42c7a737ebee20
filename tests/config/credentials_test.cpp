// Secrets from outside the configuration file: the environment variable first, then the credential file in
// $CREDENTIALS_DIRECTORY (one trailing newline is no part of the secret), and a file that is there but cannot
// be read is an error that names it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "config/credentials.hpp"
#include "support/process.hpp"

using murva::externalSecret;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

const char* const variable = "MURVA_TEST_SECRET"; // no variable the server itself reads
const char* const credential = "test-secret";

} // namespace

TEST(Credentials, TheVariableWinsThenTheFileThenTheConfiguration) {
    TempDir dir;
    struct Case {
        const char* name;
        std::optional<std::string> value;    // of the variable; empty: unset
        std::optional<std::string> file;     // the credential file's content; empty: no file
        std::optional<std::string> expected; // empty: the configuration's value stands
    };
    const Case cases[] = {
        {"neither", std::nullopt, std::nullopt, std::nullopt},
        {"variable", "env", std::nullopt, "env"},
        {"variable over the file", "env", "file\n", "env"},
        {"empty variable over the file", "", "file\n", ""},
        {"file with its newline", std::nullopt, "s3cret\n", "s3cret"},
        {"file without one", std::nullopt, "s3cret", "s3cret"},
        {"only one newline goes", std::nullopt, "s3cret\n\n", "s3cret\n"},
        {"spaces belong to the secret", std::nullopt, " s3 cret \n", " s3 cret "},
        {"empty file", std::nullopt, "", ""},
        {"a newline alone", std::nullopt, "\n", ""},
    };
    ScopedEnv directory(murva::credentialsDirectoryVariable, dir.path());
    for (const Case& c : cases) {
        std::filesystem::remove(dir.file(credential));
        if (c.file)
            dir.write(credential, *c.file);
        ScopedEnv env(variable, c.value);
        EXPECT_EQ(externalSecret(variable, credential), c.expected) << c.name;
    }

    // Without a credentials directory the file is not looked for.
    dir.write(credential, "file");
    for (const std::optional<std::string>& unset : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ScopedEnv none(murva::credentialsDirectoryVariable, unset);
        ScopedEnv env(variable, std::nullopt);
        EXPECT_EQ(externalSecret(variable, credential), std::nullopt) << unset.value_or("(unset)");
    }
}

TEST(Credentials, AFileThatIsThereButCannotBeReadIsAnErrorNamingIt) {
    TempDir dir;
    ScopedEnv directory(murva::credentialsDirectoryVariable, dir.path());
    ScopedEnv env(variable, std::nullopt);
    const std::string path = dir.file(credential);
    for (const auto& [make, reason] : std::vector<std::pair<std::function<void()>, std::string>>{
             {[&] { std::filesystem::create_directory(path); }, "Is a directory"},
             {[&] { dir.write(credential, std::string(64 * 1024 + 1, 's')); }, "larger than 64 KiB"},
         }) {
        std::filesystem::remove_all(path);
        make();
        try {
            externalSecret(variable, credential);
            ADD_FAILURE() << reason << ": read";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot read credential " + path + ": " + reason);
        }
        // A variable that is set leaves the file unread.
        ScopedEnv set(variable, "env");
        EXPECT_EQ(externalSecret(variable, credential), "env");
    }
}
