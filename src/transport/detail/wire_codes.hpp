// The WebSocket protocol's numbers the transport uses, each named here once: frame opcodes and close codes.
#pragma once

#include <cstdint>

namespace rtc::detail {

enum class Opcode : std::uint8_t { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

namespace close_code {
inline constexpr std::uint16_t normal = 1000;
inline constexpr std::uint16_t goingAway = 1001;
inline constexpr std::uint16_t protocolError = 1002;
inline constexpr std::uint16_t unsupported = 1003;
inline constexpr std::uint16_t noStatus = 1005; // never sent: a close frame without a code
inline constexpr std::uint16_t abnormal = 1006; // never sent: the connection ended without close frames
inline constexpr std::uint16_t badPayload = 1007;
inline constexpr std::uint16_t policy = 1008; // also: our outgoing queue went over its cap
inline constexpr std::uint16_t tooBig = 1009;
inline constexpr std::uint16_t internalError = 1011;
inline constexpr std::uint16_t tryAgainLater = 1013;
inline constexpr std::uint16_t tlsHandshake = 1015; // never sent
} // namespace close_code

} // namespace rtc::detail
