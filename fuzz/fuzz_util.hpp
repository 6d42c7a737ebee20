// What the fuzz targets share: a failed check that stops the run with its line, a reader that turns the
// input into choices and byte strings, and reference versions of the text rules the server applies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                        \
            __builtin_trap();                                                                                          \
        }                                                                                                              \
    } while (0)

namespace fuzz {

// Reads the input front to back; once it is used up every read yields zeros or nothing.
class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }

    uint8_t byte() {
        if (size_ == 0)
            return 0;
        --size_;
        return *data_++;
    }

    uint16_t u16() {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }

    std::string bytes(std::size_t count) {
        const std::size_t n = count < size_ ? count : size_;
        std::string out(reinterpret_cast<const char*>(data_), n);
        data_ += n;
        size_ -= n;
        return out;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
};

inline constexpr std::string_view marker = "typ relay";

// Written apart from the server's filter: characters are gathered into a line until a line feed (which
// belongs to the line) or the end of the text; lines holding the marker are left out.
inline std::string referenceStripRelayLines(std::string_view text) {
    std::string out;
    std::string line;
    for (const char c : text) {
        line.push_back(c);
        if (c == '\n') {
            if (line.find(marker) == std::string::npos)
                out += line;
            line.clear();
        }
    }
    if (line.find(marker) == std::string::npos)
        out += line;
    return out;
}

// The longest prefix of valid UTF-8 `text` made of whole characters and at most `limit` bytes, found by
// walking character lengths from the front.
inline std::string referenceUtf8Prefix(const std::string& text, std::size_t limit) {
    std::size_t end = 0;
    while (end < text.size()) {
        const auto lead = static_cast<unsigned char>(text[end]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 4;
        if (end + length > limit)
            break;
        end += length;
    }
    return text.substr(0, end);
}

} // namespace fuzz
