// The sending half of the WebSocket protocol on the server side: unmasked, unfragmented frames appended to an
// output buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/detail/wire_codes.hpp"

namespace rtc::detail {

inline void appendFrame(std::string& out, Opcode opcode, std::string_view payload) {
    char header[10];
    std::size_t n = 2;
    header[0] = static_cast<char>(0x80 | static_cast<std::uint8_t>(opcode));
    const std::uint64_t size = payload.size();
    if (size < 126) {
        header[1] = static_cast<char>(size);
    } else if (size < 65536) {
        header[1] = 126;
        header[2] = static_cast<char>(size >> 8);
        header[3] = static_cast<char>(size);
        n = 4;
    } else {
        header[1] = 127;
        for (int i = 0; i < 8; ++i)
            header[2 + i] = static_cast<char>(size >> (56 - 8 * i));
        n = 10;
    }
    out.append(header, n);
    out.append(payload);
}

// A close frame: the code (none when 0) and the reason.
inline void appendClose(std::string& out, std::uint16_t code, std::string_view reason = {}) {
    std::string payload;
    if (code != 0) {
        payload.push_back(static_cast<char>(code >> 8));
        payload.push_back(static_cast<char>(code & 0xFF));
        payload.append(reason.substr(0, 123));
    }
    appendFrame(out, Opcode::Close, payload);
}

} // namespace rtc::detail
