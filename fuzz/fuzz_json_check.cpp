// The validating pass used for frames relayed untouched, against the JSON library's own parser: on every
// text both must agree, or a client could pass an invalid frame to its peer (or lose a valid one).
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_util.hpp"
#include "signaling/json_check.hpp"

using namespace murva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool valid = isValidJson(text);
    if (valid != nlohmann::json::accept(text)) {
        std::fprintf(stderr, "isValidJson says %s, the library says the opposite\n", valid ? "valid" : "invalid");
        FUZZ_CHECK(false);
    }
    return 0;
}
