// The PROXY header parser on arbitrary bytes, and on well-formed v1 and v2 headers built from the input, whose
// client must come back exactly. On any input: a complete header parses the same alone, its last proper prefix
// asks for more, a refusal stays a refusal whatever follows, and "more" is asked only below the length limits.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.hpp"
#include "transport/detail/proxy_header.hpp"

namespace {

using rtc::detail::parseProxyHeader;
using rtc::detail::ProxyHeader;
using Status = ProxyHeader::Status;

bool sameSource(const ProxyHeader& a, const ProxyHeader& b) {
    if (a.source.has_value() != b.source.has_value())
        return false;
    return !a.source ||
           (a.source->v6 == b.source->v6 && a.source->address == b.source->address && a.source->port == b.source->port);
}

void checkAnyInput(const std::string& bytes) {
    const auto parsed = parseProxyHeader(bytes);
    switch (parsed.status) {
    case Status::Done: {
        FUZZ_CHECK(parsed.length >= 15 && parsed.length <= bytes.size());
        FUZZ_CHECK(parsed.length <= rtc::detail::maxProxyV2Length);
        const auto alone = parseProxyHeader(std::string_view(bytes).substr(0, parsed.length));
        FUZZ_CHECK(alone.status == Status::Done && alone.length == parsed.length && sameSource(alone, parsed));
        FUZZ_CHECK(parseProxyHeader(std::string_view(bytes).substr(0, parsed.length - 1)).status == Status::NeedMore);
        break;
    }
    case Status::NeedMore:
        FUZZ_CHECK(bytes.size() < (bytes[0] == 'P' ? rtc::detail::maxProxyV1Length : rtc::detail::maxProxyV2Length));
        break;
    case Status::NotProxy:
    case Status::Malformed:
        FUZZ_CHECK(parseProxyHeader(bytes + "\r\n\r\n").status == parsed.status);
        FUZZ_CHECK(parseProxyHeader(bytes + std::string(300, '\0')).status == parsed.status);
        break;
    }
}

void checkBuiltV1(fuzz::Input& in) {
    const bool v6 = in.byte() & 1;
    unsigned char source[16] = {}, destination[16] = {};
    for (std::size_t i = 0; i < (v6 ? 16u : 4u); ++i)
        source[i] = in.byte(), destination[i] = in.byte();
    const uint16_t sourcePort = in.u16(), destinationPort = in.u16();
    char sourceText[INET6_ADDRSTRLEN], destinationText[INET6_ADDRSTRLEN];
    inet_ntop(v6 ? AF_INET6 : AF_INET, source, sourceText, sizeof sourceText);
    inet_ntop(v6 ? AF_INET6 : AF_INET, destination, destinationText, sizeof destinationText);
    const std::string header = std::string("PROXY ") + (v6 ? "TCP6 " : "TCP4 ") + sourceText + " " + destinationText +
                               " " + std::to_string(sourcePort) + " " + std::to_string(destinationPort) + "\r\n";
    const auto parsed = parseProxyHeader(header + in.bytes(64));
    FUZZ_CHECK(parsed.status == Status::Done && parsed.length == header.size() && parsed.source);
    FUZZ_CHECK(parsed.source->v6 == v6 && parsed.source->port == sourcePort);
    FUZZ_CHECK(std::memcmp(parsed.source->address.data(), source, v6 ? 16 : 4) == 0);
}

void checkBuiltV2(fuzz::Input& in) {
    const bool v6 = in.byte() & 1;
    const std::size_t addressBytes = v6 ? 16 : 4;
    std::string block = in.bytes(2 * addressBytes + 4);
    block.resize(2 * addressBytes + 4, '\0');
    const std::string tlvs = in.bytes(in.byte());
    const std::size_t length = block.size() + tlvs.size();
    std::string header("\r\n\r\n\0\r\nQUIT\n\x21", 13);
    header += static_cast<char>(v6 ? 0x21 : 0x11);
    header += static_cast<char>(length >> 8);
    header += static_cast<char>(length & 0xFF);
    header += block + tlvs;
    const auto parsed = parseProxyHeader(header + in.bytes(64));
    FUZZ_CHECK(parsed.status == Status::Done && parsed.length == header.size() && parsed.source);
    FUZZ_CHECK(parsed.source->v6 == v6);
    FUZZ_CHECK(std::memcmp(parsed.source->address.data(), block.data(), addressBytes) == 0);
    const auto port = static_cast<uint16_t>(static_cast<unsigned char>(block[2 * addressBytes]) << 8 |
                                            static_cast<unsigned char>(block[2 * addressBytes + 1]));
    FUZZ_CHECK(parsed.source->port == port);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    switch (in.byte() % 3) {
    case 0: {
        const std::string bytes = in.bytes(size);
        if (!bytes.empty())
            checkAnyInput(bytes);
        break;
    }
    case 1: checkBuiltV1(in); break;
    case 2: checkBuiltV2(in); break;
    }
    return 0;
}
