// The large buffers an I/O thread reads into: every connection on the thread uses the same ones, one after the
// other, so a connection keeps no read buffer of its own while it waits.
#pragma once

#include <cstddef>

namespace rtc::detail {

constexpr std::size_t ioBufferSize = 64 * 1024;

// This thread's buffer for bytes as they come off the socket.
char* socketBuffer();

// This thread's buffer for bytes TLS has decrypted.
char* plainBuffer();

} // namespace rtc::detail
