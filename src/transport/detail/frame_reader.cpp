// Client frames: header checks, unmasking, reassembly and the close frame's rules.
#include "transport/detail/frame_reader.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/detail/wire_codes.hpp"

namespace rtc::detail {
namespace {

constexpr auto continuation = static_cast<std::uint8_t>(Opcode::Continuation);
constexpr auto textFrame = static_cast<std::uint8_t>(Opcode::Text);
constexpr auto binaryFrame = static_cast<std::uint8_t>(Opcode::Binary);
constexpr auto closeFrame = static_cast<std::uint8_t>(Opcode::Close);
constexpr auto pingFrame = static_cast<std::uint8_t>(Opcode::Ping);
constexpr auto pongFrame = static_cast<std::uint8_t>(Opcode::Pong);

void unmask(char* p, std::size_t n, const char (&mask)[4]) {
    std::uint32_t m32;
    std::memcpy(&m32, mask, 4);
    const std::uint64_t m64 = (std::uint64_t{m32} << 32) | m32;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        w ^= m64;
        std::memcpy(p + i, &w, 8);
    }
    for (; i < n; ++i)
        p[i] = static_cast<char>(p[i] ^ mask[i % 4]);
}

// Close codes a peer may send, as the connection's other implementations accept them.
bool isValidCloseCode(std::uint16_t code) {
    using namespace close_code;
    if (code < normal || (code > tlsHandshake && code <= 2999))
        return false;
    return code != 1004 && code != noStatus && code != abnormal && code != tlsHandshake; // 1004: reserved
}

} // namespace

std::uint16_t FrameReader::readHeader(const unsigned char* p, std::size_t size, Header& h) const {
    h = Header{};
    if (size < 2) {
        h.needed = 2;
        return 0;
    }
    const std::uint8_t opcode = p[0] & 0x0F;
    const bool control = opcode & 0x8;
    const std::uint8_t length7 = p[1] & 0x7F;
    if (p[0] & 0x70)
        return close_code::protocolError; // no extension is negotiated
    if ((opcode > binaryFrame && opcode < closeFrame) || opcode > pongFrame)
        return close_code::protocolError;
    if (!(p[1] & 0x80))
        return close_code::protocolError; // clients must mask
    if (control && (!(p[0] & 0x80) || length7 > 125))
        return close_code::protocolError;
    if (opcode == continuation && !fragmented_)
        return close_code::protocolError;
    if ((opcode == textFrame || opcode == binaryFrame) && fragmented_)
        return close_code::protocolError;
    const std::size_t extra = length7 == 126 ? 2 : length7 == 127 ? 8 : 0;
    h.needed = 2 + extra + 4;
    if (size < h.needed)
        return 0;
    std::uint64_t length = length7;
    if (extra) {
        length = 0;
        for (std::size_t i = 0; i < extra; ++i)
            length = (length << 8) | p[2 + i];
        // The shortest form is required, and the top bit of the long form is always 0.
        if ((extra == 2 && length < 126) || (extra == 8 && (length < 65536 || length >> 63)))
            return close_code::protocolError;
    }
    if (!control && (length > maxMessage_ || messageSize_ + length > maxMessage_))
        return close_code::tooBig;
    h.opcode = opcode;
    h.fin = p[0] & 0x80;
    h.payload = length;
    std::memcpy(h.mask, p + 2 + extra, 4);
    h.length = h.needed;
    return 0;
}

std::uint16_t FrameReader::feed(char* data, std::size_t size, Handler& handler) {
    if (failed_ || closed_)
        return failed_;
    Header h;
    // First the frame left unfinished by the last read: take only the bytes it still lacks.
    while (!frame_.empty()) {
        if (auto fault = readHeader(reinterpret_cast<const unsigned char*>(frame_.data()), frame_.size(), h))
            return failed_ = fault;
        const std::size_t want = h.length ? h.length + static_cast<std::size_t>(h.payload) : h.needed;
        const std::size_t take = std::min(want - frame_.size(), size);
        if (h.length && frame_.capacity() < want)
            frame_.reserve(want); // once, to the frame's size (bounded by the checks above)
        frame_.append(data, take);
        data += take;
        size -= take;
        if (frame_.size() < want) {
            if (size == 0)
                return 0;
            continue; // the header is whole now; its length tells how much more to take
        }
        if (!h.length)
            continue;
        std::string frame = std::move(frame_);
        frame_ = std::string();
        if (auto fault = handleFrame(h, frame.data() + h.length, handler))
            return failed_ = fault;
        if (closed_)
            return 0;
    }
    // Then every whole frame straight from the buffer.
    while (size > 0) {
        if (auto fault = readHeader(reinterpret_cast<const unsigned char*>(data), size, h))
            return failed_ = fault;
        if (!h.length || size - h.length < h.payload) {
            if (h.length)
                frame_.reserve(h.length + static_cast<std::size_t>(h.payload));
            frame_.assign(data, size);
            return 0;
        }
        if (auto fault = handleFrame(h, data + h.length, handler))
            return failed_ = fault;
        if (closed_)
            return 0;
        const std::size_t used = h.length + static_cast<std::size_t>(h.payload);
        data += used;
        size -= used;
    }
    return 0;
}

std::uint16_t FrameReader::handleFrame(const Header& h, char* payload, Handler& handler) {
    const auto size = static_cast<std::size_t>(h.payload);
    unmask(payload, size, h.mask);
    switch (h.opcode) {
    case textFrame:
    case binaryFrame:
        if (h.opcode == textFrame && (!utf8_.feed(payload, size) || (h.fin && !utf8_.complete()))) {
            utf8_.reset();
            return close_code::badPayload;
        }
        if (h.fin) {
            utf8_.reset();
            handler.onMessage(h.opcode == textFrame, {payload, size});
            return 0;
        }
        fragmented_ = true;
        text_ = h.opcode == textFrame;
        messageSize_ = size;
        message_.assign(payload, size);
        return 0;
    case continuation: {
        if (text_ && (!utf8_.feed(payload, size) || (h.fin && !utf8_.complete())))
            return close_code::badPayload;
        messageSize_ += size;
        message_.append(payload, size);
        if (!h.fin)
            return 0;
        const std::string message = std::exchange(message_, std::string());
        fragmented_ = false;
        messageSize_ = 0;
        utf8_.reset();
        handler.onMessage(text_, message);
        return 0;
    }
    case pingFrame: handler.onPing({payload, size}); return 0;
    case pongFrame: handler.onPong(); return 0;
    default: break; // close
    }
    std::uint16_t code = 0;
    std::string_view reason;
    if (size == 1)
        return close_code::protocolError;
    if (size >= 2) {
        code = static_cast<std::uint16_t>((static_cast<unsigned char>(payload[0]) << 8) |
                                          static_cast<unsigned char>(payload[1]));
        reason = {payload + 2, size - 2};
        Utf8Checker check;
        if (!isValidCloseCode(code) || !check.feed(reason.data(), reason.size()) || !check.complete())
            return close_code::protocolError;
    }
    closed_ = true;
    message_ = std::string();
    handler.onClose(code, reason);
    return 0;
}

} // namespace rtc::detail
