// The receiving half of the WebSocket protocol on the server side: splits the bytes a client sent into frames,
// unmasks them in place, reassembles fragmented messages and enforces every rule a client's frames must keep.
// Whole frames are handled straight from the caller's buffer; only an unfinished frame's bytes (or an unfinished
// fragmented message) are kept, in memory sized to them and released once they are used.
// No I/O: the session feeds it what it read, so it can be tested and fuzzed on bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "transport/detail/utf8.hpp"

namespace rtc::detail {

class FrameReader {
public:
    // Told of every complete message and control frame, in order. Payloads live only during the call.
    class Handler {
    public:
        virtual void onMessage(bool text, std::string_view payload) = 0;
        virtual void onPing(std::string_view payload) = 0;
        virtual void onPong() = 0;
        // The peer's close frame; `code` 0 when it carried none.
        virtual void onClose(std::uint16_t code, std::string_view reason) = 0;

    protected:
        ~Handler() = default;
    };

    explicit FrameReader(std::size_t maxMessageSize) : maxMessage_(maxMessageSize) {}

    // Handles every complete frame in [data, data + size) (unmasking it there) and keeps what is left of an
    // unfinished one. Returns 0, or the close code the connection must fail with; frames before the fault have
    // been handled. After a close frame or a fault nothing more is read: later calls return 0, or the fault.
    std::uint16_t feed(char* data, std::size_t size, Handler& handler);

    // A close frame has been read.
    bool closed() const { return closed_; }

    // Bytes kept for an unfinished frame or message.
    std::size_t kept() const { return frame_.size() + message_.size(); }

private:
    struct Header {
        std::size_t length = 0; // of the header; 0 while incomplete
        std::size_t needed = 2; // bytes needed to know the header, while incomplete
        std::uint64_t payload = 0;
        std::uint8_t opcode = 0;
        bool fin = false;
        char mask[4] = {};
    };

    // Reads the header at `p`; a non-zero result is the close code the frame fails the connection with.
    std::uint16_t readHeader(const unsigned char* p, std::size_t size, Header& header) const;
    std::uint16_t handleFrame(const Header& header, char* payload, Handler& handler);

    std::size_t maxMessage_;
    std::string frame_;   // the start of a frame not yet complete
    std::string message_; // the fragments of a message not yet complete
    std::size_t messageSize_ = 0;
    Utf8Checker utf8_;
    bool fragmented_ = false; // a message's first fragment has arrived, its last has not
    bool text_ = false;       // of the fragmented message
    bool closed_ = false;
    std::uint16_t failed_ = 0;
};

} // namespace rtc::detail
