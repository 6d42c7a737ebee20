// Strict UTF-8 checking that can stop and resume at any byte, for text messages that arrive in pieces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtc::detail {

class Utf8Checker {
public:
    // Checks the next bytes of the text; false at the first byte no valid text can contain (overlong forms,
    // surrogates, code points past U+10FFFF, stray continuation bytes). Stays false afterwards.
    bool feed(const char* data, std::size_t size);

    // The text seen so far ends on a whole character.
    bool complete() const { return pending_ == 0 && !failed_; }

    void reset() { *this = Utf8Checker{}; }

private:
    unsigned char pending_ = 0; // continuation bytes still owed by the current character
    unsigned char low_ = 0x80;  // range the next continuation byte must fall in
    unsigned char high_ = 0xBF;
    bool failed_ = false;
};

} // namespace rtc::detail
