// Logger state: an atomic level and a callback swapped under a mutex, called outside it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "transport/detail/log.hpp"

namespace rtc {
namespace {

std::atomic<int> currentLevel{static_cast<int>(LogLevel::None)};
std::mutex callbackMutex;
std::shared_ptr<const LogCallback> currentCallback;

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::Fatal: return "FATAL";
    case LogLevel::Error: return "ERROR";
    case LogLevel::Warning: return "WARN";
    case LogLevel::Info: return "INFO";
    case LogLevel::Debug: return "DEBUG";
    case LogLevel::Verbose: return "VERB";
    default: return "NONE";
    }
}

void writeToStderr(LogLevel level, const std::string& message) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::string line = std::string(stamp) + "." + std::to_string(1000 + millis).substr(1) + " " + levelName(level) +
                       " " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr); // one write per record keeps lines whole
}

} // namespace

void InitLogger(LogLevel level, LogCallback callback) {
    std::shared_ptr<const LogCallback> next;
    if (callback)
        next = std::make_shared<const LogCallback>(std::move(callback));
    {
        std::lock_guard lock(callbackMutex);
        currentCallback.swap(next);
    }
    currentLevel.store(static_cast<int>(level), std::memory_order_release);
}

void Log(LogLevel level, const std::string& message) {
    if (detail::logEnabled(level))
        detail::logWrite(level, message);
}

namespace detail {

bool logEnabled(LogLevel level) {
    return level != LogLevel::None && static_cast<int>(level) <= currentLevel.load(std::memory_order_acquire);
}

void logWrite(LogLevel level, const std::string& message) {
    std::shared_ptr<const LogCallback> callback;
    {
        std::lock_guard lock(callbackMutex);
        callback = currentCallback;
    }
    if (!callback) {
        writeToStderr(level, message);
        return;
    }
    try {
        (*callback)(level, message);
    } catch (...) {
        // A failing log sink must not take a connection down with it.
    }
}

} // namespace detail
} // namespace rtc
