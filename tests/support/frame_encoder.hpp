// A client's WebSocket frame, masked as every frame to a server must be: for the tests and the fuzz targets alike.
// Header-only, since the fuzz targets are built without the test support library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace testing_support {

// Opcodes: 0x0 continuation, 0x1 text, 0x2 binary, 0x8 close, 0x9 ping, 0xA pong (any other is sent as given).
inline std::string maskedFrame(uint8_t opcode, std::string_view payload, bool fin, const char (&mask)[4]) {
    std::string frame;
    frame.reserve(payload.size() + 14);
    frame.push_back(static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F)));
    const std::uint64_t n = payload.size();
    if (n < 126) {
        frame.push_back(static_cast<char>(0x80 | n));
    } else if (n <= 0xFFFF) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(n >> 8));
        frame.push_back(static_cast<char>(n & 0xFF));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<char>((n >> shift) & 0xFF));
    }
    frame.append(mask, 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    return frame;
}

// The same with a fixed mask.
inline std::string clientFrame(uint8_t opcode, std::string_view payload, bool fin = true) {
    static constexpr char mask[4] = {0x12, 0x34, 0x56, 0x78};
    return maskedFrame(opcode, payload, fin, mask);
}

} // namespace testing_support
