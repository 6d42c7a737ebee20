// Strict UTF-8 checking, resumable between pieces of one text.
#include "transport/detail/utf8.hpp"

#include <cstring>

namespace rtc::detail {

bool Utf8Checker::feed(const char* data, std::size_t size) {
    if (failed_)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const auto* end = p + size;
    while (p != end) {
        if (pending_ == 0) {
            // Signaling text is mostly ASCII: skip it eight bytes at a time.
            while (end - p >= 8) {
                std::uint64_t word;
                std::memcpy(&word, p, 8);
                if (word & 0x8080808080808080ull)
                    break;
                p += 8;
            }
            if (p == end)
                break;
            const unsigned char b = *p++;
            if (b < 0x80)
                continue;
            low_ = 0x80;
            high_ = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                pending_ = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                pending_ = 2;
                if (b == 0xE0)
                    low_ = 0xA0; // no overlong three-byte forms
                else if (b == 0xED)
                    high_ = 0x9F; // no surrogates
            } else if (b >= 0xF0 && b <= 0xF4) {
                pending_ = 3;
                if (b == 0xF0)
                    low_ = 0x90; // no overlong four-byte forms
                else if (b == 0xF4)
                    high_ = 0x8F; // nothing past U+10FFFF
            } else {
                failed_ = true;
                return false;
            }
        } else {
            const unsigned char b = *p++;
            if (b < low_ || b > high_) {
                failed_ = true;
                return false;
            }
            --pending_;
            low_ = 0x80;
            high_ = 0xBF;
        }
    }
    return true;
}

} // namespace rtc::detail
