// The open-loop latency workload's clock and frame numbering, apart so that they can be checked on their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "probe.hpp"

namespace bench {

// When each send is due. `lanes` senders share `rate` sends per second; lane `lane` sends its n-th frame at
// start + (n * lanes + lane) / rate, whatever happened to the earlier ones: the load does not wait for replies.
class OpenLoopSchedule {
public:
    OpenLoopSchedule(Clock::time_point start, double rate, unsigned lanes, unsigned lane);
    Clock::time_point at(uint64_t n) const;

private:
    Clock::time_point start_;
    double rate_;
    unsigned lanes_, lane_;
};

// A candidate frame of at least `bytes` bytes with room for a sequence number; the number goes into its padding.
std::string numberedFrame(std::size_t bytes);
// Writes `sequence` into a frame made by numberedFrame.
void setSequence(std::string& frame, uint64_t sequence);
// The sequence number of such a frame, or nothing when the frame carries none.
std::optional<uint64_t> sequenceOf(std::string_view frame);

} // namespace bench
