// The relay filter on arbitrary text: the output is the input without exactly the lines that hold the
// marker, and never holds the marker itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.hpp"
#include "signaling/sdp_filter.hpp"

using namespace murva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string out = stripRelayLines(input);

    FUZZ_CHECK(out == fuzz::referenceStripRelayLines(input));
    FUZZ_CHECK(out.find(fuzz::marker) == std::string::npos);
    FUZZ_CHECK(out.size() <= input.size());
    FUZZ_CHECK(containsRelayMarker(input) == (input.find(fuzz::marker) != std::string::npos));
    FUZZ_CHECK(containsRelayMarker(input) == (out != input));
    // Filtering is idempotent.
    FUZZ_CHECK(stripRelayLines(out) == out);
    return 0;
}
