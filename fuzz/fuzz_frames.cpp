// The WebSocket frame reader on arbitrary bytes cut into arbitrary reads, and on valid frame sequences built from
// the input (masked, fragmented, control frames between fragments, text of whole characters), whose messages
// must come back exactly. On any input: the events do not depend on where the reads cut the bytes, text messages
// are valid UTF-8 (checked apart from the reader's own checker), no message passes the limit, no more is kept
// than one frame and one message can hold, and a fault stays a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.hpp"
#include "support/frame_encoder.hpp"
#include "transport/detail/frame_reader.hpp"

namespace {

using rtc::detail::FrameReader;

struct Events final : FrameReader::Handler {
    std::vector<std::string> seen;
    std::vector<std::string> messages;
    void onMessage(bool text, std::string_view payload) override {
        seen.push_back((text ? "t" : "b") + std::string(payload));
        messages.emplace_back(payload);
    }
    void onPing(std::string_view payload) override {
        FUZZ_CHECK(payload.size() <= 125);
        seen.push_back("i" + std::string(payload));
    }
    void onPong() override { seen.emplace_back("o"); }
    void onClose(std::uint16_t code, std::string_view reason) override {
        seen.push_back("c" + std::to_string(code) + std::string(reason));
    }
};

// Decodes character by character, apart from the reader's checker.
bool referenceValidUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t length;
        uint32_t cp;
        if (lead < 0x80)
            length = 1, cp = lead;
        else if ((lead & 0xE0) == 0xC0)
            length = 2, cp = lead & 0x1F;
        else if ((lead & 0xF0) == 0xE0)
            length = 3, cp = lead & 0x0F;
        else if ((lead & 0xF8) == 0xF0)
            length = 4, cp = lead & 0x07;
        else
            return false;
        if (i + length > s.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

struct Outcome {
    std::vector<std::string> seen;
    uint16_t fault = 0;
};

Outcome readInPieces(const std::string& bytes, const std::vector<std::size_t>& cuts, std::size_t limit) {
    FrameReader reader(limit);
    Events events;
    Outcome out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size() && !out.fault; ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : bytes.size();
        std::string piece = bytes.substr(from, to - from);
        out.fault = reader.feed(piece.data(), piece.size(), events);
        from = to;
        FUZZ_CHECK(reader.kept() <= 2 * limit + 14 + 125);
    }
    if (out.fault) {
        std::string more = "\x81\x80\0\0\0\0";
        FUZZ_CHECK(reader.feed(more.data(), more.size(), events) == out.fault);
    }
    for (std::size_t i = 0; i < events.seen.size(); ++i)
        if (events.seen[i][0] == 't')
            FUZZ_CHECK(referenceValidUtf8(events.seen[i].substr(1)));
    for (const auto& m : events.messages)
        FUZZ_CHECK(m.size() <= limit);
    out.seen = std::move(events.seen);
    return out;
}

std::vector<std::size_t> cutsFrom(fuzz::Input& in, std::size_t size) {
    std::vector<std::size_t> cuts;
    const std::size_t count = in.byte() % 8;
    for (std::size_t i = 0; i < count && size > 0; ++i)
        cuts.push_back(in.u16() % (size + 1));
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

// A client's frame whose mask comes from the input.
std::string maskedFrame(uint8_t opcode, bool fin, const std::string& payload, fuzz::Input& in) {
    char mask[4];
    for (char& m : mask)
        m = static_cast<char>(in.byte());
    return testing_support::maskedFrame(opcode, payload, fin, mask);
}

// Whole characters: ASCII, two-, three- and four-byte forms, from the input.
std::string textFrom(fuzz::Input& in, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && !in.empty(); ++i) {
        const uint32_t pick = in.u16();
        uint32_t cp = pick % 4 == 0   ? 0x20 + pick % 95
                      : pick % 4 == 1 ? 0x80 + pick % 0x780
                      : pick % 4 == 2 ? 0xE000 + pick % 0x2000
                                      : 0x10000 + pick * 13 % 0x100000;
        if (cp < 0x80) {
            text.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            text.push_back(static_cast<char>(0xC0 | cp >> 6));
            text.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | cp >> 12));
            text.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | cp >> 18));
            text.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return text;
}

// Valid messages, each cut into fragments anywhere (text even inside a character), pings between: every
// message and ping comes back as built, with no fault.
void checkBuilt(fuzz::Input& in) {
    const std::size_t limit = 64 + in.byte() * 64u;
    std::string bytes;
    std::vector<std::string> expected;
    while (!in.empty() && expected.size() < 32) {
        const uint8_t choice = in.byte();
        if (choice % 5 == 0) {
            const std::string payload = in.bytes(choice % 126);
            bytes += maskedFrame(0x9, true, payload, in);
            expected.push_back("i" + payload);
            continue;
        }
        const bool text = choice & 1;
        std::string message = text ? textFrom(in, in.byte()) : in.bytes(in.u16() % (limit + 1));
        if (message.size() > limit)
            message.resize(0);
        const std::size_t fragments = 1 + (choice >> 5);
        std::size_t from = 0;
        for (std::size_t f = 0; f < fragments; ++f) {
            const bool last = f + 1 == fragments;
            const std::size_t to = last ? message.size() : from + (message.size() - from) * in.byte() / 255;
            bytes += maskedFrame(f == 0 ? (text ? 0x1 : 0x2) : 0x0, last, message.substr(from, to - from), in);
            from = to;
            // A pong between fragments is reported before the message it interrupts.
            if (!last && (in.byte() & 3) == 0)
                bytes += maskedFrame(0xA, true, "", in), expected.emplace_back("o");
        }
        expected.push_back((text ? "t" : "b") + message);
    }
    const auto cuts = cutsFrom(in, bytes.size());
    const auto outcome = readInPieces(bytes, cuts, limit);
    FUZZ_CHECK(outcome.fault == 0);
    FUZZ_CHECK(outcome.seen == expected);
}

void checkAnyInput(fuzz::Input& in) {
    const std::size_t limit = 1 + in.byte() * 8u;
    const std::size_t cutCount = in.byte();
    std::vector<uint16_t> raw;
    for (std::size_t i = 0; i < cutCount % 8; ++i)
        raw.push_back(in.u16());
    const std::string bytes = in.bytes(1 << 20);
    std::vector<std::size_t> cuts;
    for (const auto c : raw)
        cuts.push_back(c % (bytes.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    const auto whole = readInPieces(bytes, {}, limit);
    const auto pieces = readInPieces(bytes, cuts, limit);
    FUZZ_CHECK(whole.fault == pieces.fault);
    FUZZ_CHECK(whole.seen == pieces.seen);
    std::vector<std::size_t> everyByte;
    if (bytes.size() <= 512) {
        for (std::size_t i = 1; i < bytes.size(); ++i)
            everyByte.push_back(i);
        const auto bytewise = readInPieces(bytes, everyByte, limit);
        FUZZ_CHECK(whole.fault == bytewise.fault && whole.seen == bytewise.seen);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.byte() & 1)
        checkBuilt(in);
    else
        checkAnyInput(in);
    return 0;
}
