// The one boundary between the transport and application code: nothing thrown there escapes into I/O.
#pragma once

#include <exception>
#include <string>

#include "transport/detail/log.hpp"

namespace rtc::detail {

template <class F> void invokeGuarded(const char* where, F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& e) {
        try {
            log(LogLevel::Error, [&] { return std::string(where) + " handler threw: " + e.what(); });
        } catch (...) {
        }
    } catch (...) {
        try {
            log(LogLevel::Error, [&] { return std::string(where) + " handler threw a non-standard exception"; });
        } catch (...) {
        }
    }
}

} // namespace rtc::detail
