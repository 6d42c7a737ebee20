// The PROXY protocol header (v1 text, v2 binary) a proxy sends ahead of its client's bytes: a pure parser fed
// what has arrived so far, which tells whether the header is complete, needs more bytes, or is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace rtc::detail {

inline constexpr std::size_t maxProxyV1Length = 107;       // "PROXY TCP6 <39> <39> <5> <5>\r\n"
inline constexpr std::size_t maxProxyV2Length = 16 + 4096; // fixed part plus addresses and TLVs

struct ProxySource {
    bool v6 = false;
    std::array<unsigned char, 16> address{}; // network byte order; IPv4 in the first four bytes
    uint16_t port = 0;
};

struct ProxyHeader {
    enum class Status {
        NeedMore,  // every byte so far belongs to a header that is not complete yet
        Done,      // a header of `length` bytes
        NotProxy,  // the bytes do not start like a PROXY header
        Malformed, // they start like one but break its rules (or it is too long)
    };
    Status status = Status::NeedMore;
    std::size_t length = 0;            // when Done
    std::optional<ProxySource> source; // when Done; empty for LOCAL, UNKNOWN and unspecified or UNIX
                                       // families, whose connection stands for itself (use the socket's peer)
};

ProxyHeader parseProxyHeader(std::string_view bytes);

} // namespace rtc::detail
