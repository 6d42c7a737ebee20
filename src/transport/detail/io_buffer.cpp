// Per-thread read buffers, made on a thread's first read.
#include "transport/detail/io_buffer.hpp"

#include <memory>

namespace rtc::detail {
namespace {

char* threadBuffer(std::unique_ptr<char[]>& buffer) {
    if (!buffer)
        buffer.reset(new char[ioBufferSize]);
    return buffer.get();
}

thread_local std::unique_ptr<char[]> socketBytes;
thread_local std::unique_ptr<char[]> plainBytes;

} // namespace

char* socketBuffer() { return threadBuffer(socketBytes); }

char* plainBuffer() { return threadBuffer(plainBytes); }

} // namespace rtc::detail
