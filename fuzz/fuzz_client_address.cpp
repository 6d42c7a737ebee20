// The remote-address-to-IP derivation on arbitrary text, and on addresses built in the two shapes the
// transport reports ("[v6]:port", "v4:port"), whose IP part must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.hpp"
#include "signaling/client_address.hpp"

using namespace murva;

namespace {

std::string portText(fuzz::Input& in) { return std::to_string(in.u16()); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    switch (in.byte() % 3) {
    case 0: { // anything at all
        const std::string text = in.bytes(size);
        const std::string ip = clientIpFromAddress(text);
        FUZZ_CHECK(text.find(ip) != std::string::npos);
        FUZZ_CHECK(ip.size() <= text.size());
        if (text.find(':') == std::string::npos && (text.empty() || text.front() != '['))
            FUZZ_CHECK(ip == text); // nothing to strip
        break;
    }
    case 1: { // "[x]:port" with any x that holds no ']'
        std::string host;
        for (const char c : in.bytes(64))
            if (c != ']')
                host.push_back(c);
        const std::string address = "[" + host + "]:" + portText(in);
        FUZZ_CHECK(clientIpFromAddress(address) == host);
        break;
    }
    case 2: { // "a.b.c.d:port"
        std::string host;
        for (int part = 0; part < 4; ++part)
            host += (part ? "." : "") + std::to_string(in.byte());
        FUZZ_CHECK(clientIpFromAddress(host + ":" + portText(in)) == host);
        break;
    }
    }
    return 0;
}
