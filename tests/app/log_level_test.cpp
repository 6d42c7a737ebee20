// The log_level word and the transport's level it selects.
#include <gtest/gtest.h>

#include "app/logging.hpp"

using namespace murva;

TEST(LogLevel, TheSevenWordsMapSilently) {
    const std::pair<std::string, rtc::LogLevel> words[] = {
        {"none", rtc::LogLevel::None},       {"fatal", rtc::LogLevel::Fatal}, {"error", rtc::LogLevel::Error},
        {"warning", rtc::LogLevel::Warning}, {"info", rtc::LogLevel::Info},   {"debug", rtc::LogLevel::Debug},
        {"verbose", rtc::LogLevel::Verbose}};
    testing::internal::CaptureStderr();
    for (const auto& [word, level] : words)
        EXPECT_EQ(logLevelFromName(word), level) << word;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(LogLevel, AnyOtherTextWarnsAndUsesWarning) {
    // Whole text, case-sensitive: near misses are unknown too.
    const std::string unknown[] = {"Info", "", "WARNING", " debug", "verbose\n", "warn", "3"};
    for (const auto& name : unknown) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(logLevelFromName(name), rtc::LogLevel::Warning) << name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown log_level \"" + name + "\", using warning.\n");
    }

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    logLevelFromName("Info");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown log_level \"Info\", using warning.\n");
    EXPECT_EQ(out, "");
}
