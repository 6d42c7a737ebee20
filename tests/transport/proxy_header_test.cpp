// The PROXY header parser on its own. Every complete header also parses the same with bytes behind it, and each
// of its proper prefixes asks for more, so a header arriving in pieces is never misread.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "transport/detail/proxy_header.hpp"

using rtc::detail::parseProxyHeader;
using Status = rtc::detail::ProxyHeader::Status;

namespace {

std::string v2(int command, int family, std::string payload) {
    return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + char(command) + char(family) + char(payload.size() >> 8) +
           char(payload.size() & 0xFF) + payload;
}

// "ip:port" of the parsed source, "" when there is none.
std::string sourceText(const rtc::detail::ProxyHeader& h) {
    char text[INET6_ADDRSTRLEN] = {};
    if (h.source)
        inet_ntop(h.source->v6 ? AF_INET6 : AF_INET, h.source->address.data(), text, sizeof text);
    return h.source ? std::string(text) + ":" + std::to_string(h.source->port) : "";
}

} // namespace

TEST(ProxyHeader, ParsesCompletePartialForeignAndBrokenHeaders) {
    const std::string tcp4("\xC0\x00\x02\x01\xC6\x33\x64\x02\xDC\x04\x01\xBB", 12); // 192.0.2.1:56324
    const std::string tcp6 = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x01" +
                             std::string(15, '\0') + "\x02\x0F\xA0\x01\xBB"; // [2001:db8::1]:4000
    const std::string tcp4v1 = "PROXY TCP4 192.0.2.1 198.51.100.2 56324 443";
    const std::vector<std::tuple<const char*, std::string, Status, std::string>> cases = {
        {"v1 TCP4", tcp4v1 + "\r\n", Status::Done, "192.0.2.1:56324"},
        {"v1 TCP6", "PROXY TCP6 2001:db8::1 ::2 4000 443\r\n", Status::Done, "2001:db8::1:4000"},
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", Status::Done, ""},
        {"v1 UNKNOWN at 107 bytes", "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n", Status::Done, ""},
        {"v1 at 108 bytes", "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", Status::Malformed, ""},
        {"v1 no line end in 107 bytes", "PROXY TCP4 " + std::string(120, '1'), Status::Malformed, ""},
        {"v1 ending in CR", tcp4v1 + "\r", Status::NeedMore, ""},
        {"nothing yet", "", Status::NeedMore, ""},
        {"HTTP", "GET / HTTP/1.1\r\n", Status::NotProxy, ""},
        {"POST", "POST / HTTP/1.1\r\n", Status::NotProxy, ""},
        {"TLS", "\x16\x03\x01\x00\x40", Status::NotProxy, ""},
        {"v1 bare LF", tcp4v1 + "\n", Status::Malformed, ""},
        {"v1 CR without LF", tcp4v1 + "\rX", Status::Malformed, ""},
        {"v1 double space", "PROXY TCP4  192.0.2.1 198.51.100.2 1 2\r\n", Status::Malformed, ""},
        {"v1 trailing space", tcp4v1 + " \r\n", Status::Malformed, ""},
        {"v1 missing field", "PROXY TCP4 192.0.2.1 198.51.100.2 1\r\n", Status::Malformed, ""},
        {"v1 TCP4 with IPv6", "PROXY TCP4 2001:db8::1 198.51.100.2 1 2\r\n", Status::Malformed, ""},
        {"v1 octet over 255", "PROXY TCP4 192.0.2.256 198.51.100.2 1 2\r\n", Status::Malformed, ""},
        {"v1 port over 65535", "PROXY TCP4 192.0.2.1 198.51.100.2 65536 2\r\n", Status::Malformed, ""},
        {"v1 leading zero", "PROXY TCP4 192.0.2.1 198.51.100.2 080 2\r\n", Status::Malformed, ""},
        {"v1 UNKNOWN glued", "PROXY UNKNOWNX\r\n", Status::Malformed, ""},
        {"v1 NUL", std::string("PROXY TCP4 192.0.2.1\0 198.51.100.2 1 2\r\n", 40), Status::Malformed, ""},
        {"v2 TCP4 with a TLV", v2(0x21, 0x11, tcp4 + "\x02\x00\x01h"), Status::Done, "192.0.2.1:56324"},
        {"v2 TCP6", v2(0x21, 0x21, tcp6), Status::Done, "2001:db8::1:4000"},
        {"v2 LOCAL", v2(0x20, 0x00, ""), Status::Done, ""},
        {"v2 LOCAL with addresses", v2(0x20, 0x11, tcp4), Status::Done, ""},
        {"v2 unspecified", v2(0x21, 0x00, ""), Status::Done, ""},
        {"v2 UDP4", v2(0x21, 0x12, tcp4), Status::Malformed, ""},
        {"v2 version 1", v2(0x11, 0x11, tcp4), Status::Malformed, ""},
        {"v2 block too short", v2(0x21, 0x21, tcp4), Status::Malformed, ""},
        {"v2 TCP6 block one byte short", v2(0x21, 0x21, tcp6.substr(0, 35)), Status::Malformed, ""},
        {"v2 over 4 KiB", v2(0x21, 0x11, tcp4 + std::string(4096, 't')), Status::Malformed, ""},
        {"v2 one byte short", v2(0x21, 0x11, tcp4).substr(0, 27), Status::NeedMore, ""},
        {"v2 broken signature", std::string("\r\n\r\n\0\r\nQUIX\n", 12) + "\x21\x11", Status::NotProxy, ""},
    };
    for (const auto& [name, bytes, status, source] : cases) {
        SCOPED_TRACE(name);
        const auto parsed = parseProxyHeader(bytes);
        ASSERT_EQ(parsed.status, status);
        if (status != Status::Done)
            continue;
        EXPECT_EQ(parsed.length, bytes.size());
        EXPECT_EQ(sourceText(parsed), source);
        for (const std::string& tail : {std::string("GET / HTTP/1.1\r\n"), std::string(300, '\0')}) {
            const auto withTail = parseProxyHeader(bytes + tail);
            EXPECT_EQ(withTail.length, parsed.length);
            EXPECT_EQ(sourceText(withTail), source);
        }
        for (std::size_t n = 0; n < bytes.size(); ++n)
            ASSERT_EQ(parseProxyHeader(std::string_view(bytes).substr(0, n)).status, Status::NeedMore) << n;
    }
}
