// Trusted proxy ranges, and the client address taken from X-Forwarded-For behind them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "signaling/trusted_proxies.hpp"

using murva::parseIpAddress;
using murva::TrustedProxies;

namespace {

TrustedProxies parseOrFail(const std::vector<std::string>& entries) {
    std::string error;
    auto proxies = TrustedProxies::parse(entries, error);
    EXPECT_TRUE(proxies) << error;
    return proxies.value_or(TrustedProxies{});
}

std::string repeat(const std::string& item, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += item + ",";
    return out;
}

} // namespace

TEST(TrustedProxies, RangesMatchTheirAddressesOnlyAndBadEntriesAreNamed) {
    struct Case {
        std::string entry, inside, outside;
    };
    for (const Case& c : std::vector<Case>{
             {"10.0.0.0/8", "10.255.1.2", "11.0.0.1"},
             {"10.1.2.3/8", "10.9.9.9", "9.255.255.255"}, // bits below the prefix are ignored
             {"192.168.1.0/25", "192.168.1.127", "192.168.1.128"},
             {"127.0.0.1", "::ffff:127.0.0.1", "127.0.0.2"},
             {"::1", "::1", "::2"},
             {"fd00::/8", "fdff::1", "fe00::1"},
             {"2001:db8::/33", "2001:db8:7fff::1", "2001:db8:8000::1"},
             {"::ffff:192.168.0.0/112", "192.168.3.4", "192.169.0.1"},
             {"::ffff:0.0.0.0/96", "203.0.113.9", "::1"}, // every IPv4 proxy
             {"0.0.0.0/0", "255.1.2.3", "::1"},
             {"::/0", "2001:db8::1", "1.2.3.4"}, // IPv6 ranges never cover IPv4 peers
         }) {
        const TrustedProxies proxies = parseOrFail({c.entry});
        EXPECT_TRUE(proxies.contains(*parseIpAddress(c.inside))) << c.entry << " " << c.inside;
        EXPECT_FALSE(proxies.contains(*parseIpAddress(c.outside))) << c.entry << " " << c.outside;
    }
    EXPECT_FALSE(TrustedProxies{}.contains(*parseIpAddress("127.0.0.1")));

    for (const std::string& bad :
         std::vector<std::string>{"", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8/8", "10.0.0",
                                  " 10.0.0.1", "localhost", "10.0.0.0/0008", "[::1]", "01.0.0.0/8"}) {
        std::string error;
        EXPECT_FALSE(TrustedProxies::parse({"127.0.0.1", bad}, error)) << bad;
        EXPECT_NE(error.find('"' + bad + '"'), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(TrustedProxies::parse({"10.0.0.1\n"}, error));
    EXPECT_NE(error.find("\"10.0.0.1\\x0a\""), std::string::npos) << error;
}

TEST(ForwardedFor, WalksFromTheRightPastTrustedHopsAndFallsBackToThePeerOnAnythingOdd) {
    const TrustedProxies trusted = parseOrFail({"10.0.0.0/8", "127.0.0.1", "::1", "fd00::/8"});
    const std::string client = "198.51.100.7";
    struct Case {
        std::string peer;
        std::vector<std::string> lines;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"203.0.113.9", {"198.51.100.7"}, "203.0.113.9"}, // untrusted peer: header ignored
        {"::ffff:203.0.113.9", {"198.51.100.7"}, "203.0.113.9"},
        {"not-an-ip", {"198.51.100.7"}, "not-an-ip"},
        {"10.0.0.1", {}, "10.0.0.1"},
        {"10.0.0.1", {"198.51.100.7"}, client},
        {"::ffff:10.0.0.1", {"198.51.100.7"}, client},
        {"10.0.0.1", {"6.6.6.6, 198.51.100.7"}, client},                  // forged leftmost
        {"10.0.0.1", {"garbage, ::ffff:198.51.100.7, 10.0.0.2"}, client}, // left of the client is never read
        {"10.0.0.1", {"198.51.100.7, 10.0.0.2, 127.0.0.1"}, client},
        {"10.0.0.1", {" \t198.51.100.7 \t,\t10.0.0.2 "}, client},
        {"10.0.0.1", {"198.51.100.7,, ,10.0.0.2,"}, client},
        {"10.0.0.1", {" , ,", ""}, "10.0.0.1"},
        {"10.0.0.1", {"198.51.100.7:4711"}, client},
        {"10.0.0.1", {"198.51.100.7, [::ffff:10.0.0.9]:80, fd12::3"}, client},
        {"10.0.0.1", {"6.6.6.6, 198.51.100.7", "10.0.0.2"}, client}, // lines joined in order
        {"10.0.0.1", {"198.51.100.1", "198.51.100.7"}, client},
        {"::1", {"2001:DB8:0::1"}, "2001:db8::1"},
        {"::1", {"[2001:db8::1]"}, "2001:db8::1"},
        {"::1", {"[2001:db8::1]:443"}, "2001:db8::1"},
        {"::1", {"2001:db8::1:443"}, "2001:db8::1:443"}, // bare IPv6 has no port
        {"::1", {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"}, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}, // 45
        {"10.0.0.1", {"10.0.0.3, 10.0.0.2"}, "10.0.0.3"}, // all trusted: leftmost
        {"10.0.0.1", {repeat("10.0.0.2", 15) + "10.0.0.3"}, "10.0.0.2"},
        {"10.0.0.1", {"198.51.100.7," + repeat("10.0.0.2", 15)}, client},
        {"10.0.0.1", {"198.51.100.7," + repeat("10.0.0.2", 16)}, "10.0.0.1"}, // beyond the hop cap
        {"10.0.0.1", {repeat("10.0.0.2", 17)}, "10.0.0.1"},
        {"10.0.0.1", {"198.51.100.7, bogus, 10.0.0.2"}, "10.0.0.1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(murva::resolveClientAddress(c.peer, c.lines, trusted), c.expected)
            << c.peer << " / " << testing::PrintToString(c.lines);
    }
    for (const std::string& malformed : std::vector<std::string>{"1.2.3.4.5",       "01.2.3.4",
                                                                 "1.2.3.4:99999",   "1.2.3.4:",
                                                                 "1.2.3.4:8o",      "[::1",
                                                                 "[::1]x",          "::1]:80",
                                                                 "[1.2.3.4]",       "[1.2.3.4]:80",
                                                                 "1.2.3",           "2130706433",
                                                                 "0x7f.0.0.1",      "1.2.3.4 5.6.7.8",
                                                                 "\"1.2.3.4\"",     "fe80::1%eth0",
                                                                 "unknown",         "\xef\xbc\x91.2.3.4",
                                                                 "1.2.3.4\xc2\xa0", std::string("1.2.3.4\0", 8),
                                                                 "1.2.3.4\r",       "::ffff:01.2.3.4",
                                                                 "2001:db8::1::2",  "[[::1]]"}) {
        EXPECT_EQ(murva::resolveClientAddress("10.0.0.1", {malformed + ", 10.0.0.2"}, trusted), "10.0.0.1")
            << testing::PrintToString(malformed);
    }
}
