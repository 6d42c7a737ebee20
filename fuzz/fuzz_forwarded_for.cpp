// The client address behind trusted proxies on arbitrary X-Forwarded-For lines, and trusted-range parsing on
// arbitrary entries. The result is always the peer or one of the header's entries in canonical form, an
// untrusted peer always gets itself, and nothing left of the client changes who the client is.
#include <algorithm>
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_util.hpp"
#include "signaling/trusted_proxies.hpp"

using namespace murva;

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (true) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

// Every address the header names, found apart from the server's walk: split on commas, trim, take the host
// out of "[h]...", "h:port" or a bare "h".
std::set<std::string> namedAddresses(const std::vector<std::string>& lines) {
    std::set<std::string> out;
    for (const std::string& line : lines) {
        std::size_t start = 0;
        while (start <= line.size()) {
            const auto comma = std::min(line.find(',', start), line.size());
            std::string item = line.substr(start, comma - start);
            item.erase(0, item.find_first_not_of(" \t"));
            item.erase(item.find_last_not_of(" \t") + 1);
            std::string host = item;
            if (!item.empty() && item.front() == '[' && item.find(']') != std::string::npos)
                host = item.substr(1, item.find(']') - 1);
            else if (item.find(':') != std::string::npos && item.find(':') == item.rfind(':'))
                host = item.substr(0, item.find(':'));
            if (const auto address = parseIpAddress(host))
                out.insert(formatIpAddress(*address));
            start = comma + 1;
        }
    }
    return out;
}

TrustedProxies makeTrusted(const std::vector<std::string>& entries) {
    std::string error;
    auto proxies = TrustedProxies::parse(entries, error);
    FUZZ_CHECK(proxies && error.empty());
    return *proxies;
}

// Any text as a list of trusted entries: a range that parses holds its own address, and addresses that parse
// are what inet_pton reads and print back to themselves.
void checkEntries(const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        const std::string part = entry.substr(0, entry.find('/'));
        if (const auto address = parseIpAddressUnmapped(part)) {
            unsigned char bytes[16];
            FUZZ_CHECK(inet_pton(address->v6 ? AF_INET6 : AF_INET, part.c_str(), bytes) == 1);
            FUZZ_CHECK(parseIpAddressUnmapped(formatIpAddress(*address)) == address);
        }
        std::string error;
        const auto proxies = TrustedProxies::parse({entry}, error);
        FUZZ_CHECK(proxies.has_value() == error.empty());
        if (!proxies)
            continue;
        const auto raw = parseIpAddressUnmapped(part);
        FUZZ_CHECK(raw.has_value());
        const bool shortMappedRange = unmapIpv4(*raw) != *raw && entry.find('/') != std::string::npos &&
                                      std::stoi(entry.substr(entry.find('/') + 1)) < 96;
        FUZZ_CHECK(proxies->contains(shortMappedRange ? *raw : unmapIpv4(*raw)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const TrustedProxies ranges = makeTrusted({"10.0.0.0/8", "127.0.0.1", "::1", "fd00::/8"});
    static const TrustedProxies everyone = makeTrusted({"0.0.0.0/0", "::/0"});
    static const TrustedProxies nobody;
    static const char* const peers[] = {"10.0.0.1", "203.0.113.9", "::1", "2001:db8::5", "::ffff:10.0.0.1", "junk"};

    fuzz::Input in(data, size);
    const uint8_t mode = in.byte() % 4;
    const std::string peer = peers[in.byte() % std::size(peers)];
    const std::vector<std::string> lines = splitLines(in.bytes(size));
    if (mode == 3) {
        checkEntries(lines);
        return 0;
    }
    const TrustedProxies& trusted = mode == 0 ? ranges : mode == 1 ? everyone : nobody;

    const std::string result = resolveClientAddress(peer, lines, trusted);
    const auto peerAddress = parseIpAddress(peer);
    const std::string peerText = peerAddress ? formatIpAddress(*peerAddress) : peer;
    if (!peerAddress || !trusted.contains(*peerAddress)) {
        FUZZ_CHECK(result == peerText);
        return 0;
    }
    if (result == peerText)
        return 0;
    FUZZ_CHECK(namedAddresses(lines).count(result) == 1);
    const auto resultAddress = parseIpAddress(result);
    FUZZ_CHECK(resultAddress && formatIpAddress(*resultAddress) == result);

    if (!trusted.contains(*resultAddress)) { // a client found: what its side prepends cannot move it
        std::vector<std::string> forged = lines;
        forged.front() = "6.6.6.6, [bad," + forged.front();
        forged.insert(forged.begin(), "7.7.7.7, 10.0.0.2");
        FUZZ_CHECK(resolveClientAddress(peer, forged, trusted) == result);
    }
    return 0;
}
