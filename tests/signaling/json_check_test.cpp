// The validating pass must accept exactly what the JSON library's parser accepts: a frame it passes is
// forwarded as valid JSON, a frame it refuses is dropped.
#include <gtest/gtest.h>

#include <random>

#include <nlohmann/json.hpp>

#include "signaling/json_check.hpp"

using namespace murva;

namespace {

void expectSameVerdict(const std::string& text) {
    ASSERT_EQ(isValidJson(text), nlohmann::json::accept(text)) << "text: [" << text << "]";
}

} // namespace

TEST(JsonCheck, AgreesWithTheParserOnHandPickedEdges) {
    const std::vector<std::string> cases = {
        "",
        " ",
        "{}",
        "[]",
        "{ }",
        "[ ]",
        "{\"a\":1}",
        "{\"a\" : [1, 2.5, -0, 1e5, 1E-5, 0.0e+0]}",
        "[1,]",
        "[,1]",
        "{\"a\":1,}",
        "{,}",
        "{\"a\"}",
        "{\"a\":}",
        "{1:2}",
        "{\"a\":1 \"b\":2}",
        "[1 2]",
        "01",
        "-",
        "-0",
        "-01",
        "1.",
        ".5",
        "1e",
        "1e+",
        "+1",
        "0x10",
        "1e309",
        "-1e309",
        "1e308",
        "1e-400",
        "123456789012345678901234567890",
        std::string(400, '9'),
        "[" + std::string(400, '9') + "]",
        "true",
        "false",
        "null",
        "tru",
        "truex",
        "nul",
        "True",
        "NaN",
        "Infinity",
        "\"\"",
        "\"abc\"",
        "\"a\\\"b\"",
        "\"\\/\\b\\f\\n\\r\\t\\\\\"",
        "\"\\x\"",
        "\"\\",
        "\"\\u00e9\"",
        "\"\\u00E9\"",
        "\"\\u0000\"",
        "\"\\u12\"",
        "\"\\u12g4\"",
        "\"\\ud83d\\ude00\"",
        "\"\\ud83d\"",
        "\"\\ud83dx\"",
        "\"\\ud83d\\u0041\"",
        "\"\\ude00\"",
        "\"\\ud83d\\ud83d\"",
        "\"unterminated",
        "\"tab\there\"",
        "\"unit\x1fsep\"",
        "\"bell\x07\"",
        "\"\x01\"",
        std::string("\"nul\0byte\"", 10),
        "\"\x7f\"",
        "\"\xC3\xA9\"",
        "\"\xC3\"",
        "\"\xC0\x80\"",
        "\"\xC1\xBF\"",
        "\"\xE0\x80\x80\"",
        "\"\xE0\xA0\x80\"",
        "\"\xED\xA0\x80\"",
        "\"\xED\x9F\xBF\"",
        "\"\xEF\xBF\xBF\"",
        "\"\xF0\x8F\xBF\xBF\"",
        "\"\xF0\x90\x80\x80\"",
        "\"\xF4\x8F\xBF\xBF\"",
        "\"\xF4\x90\x80\x80\"",
        "\"\xF5\x80\x80\x80\"",
        "\"\xFF\"",
        "\"\x80\"",
        "\xEF\xBB\xBF{}",
        "\xEF\xBB\xBF",
        "\xEF\xBB{}",
        "\xEF{}",
        " \xEF\xBB\xBF{}",
        "{} ",
        "{}\n\r\t ",
        "{} {}",
        "{}x",
        "{} // c",
        "/* c */ {}",
        "{\"a\":1}\x00",
        "[[[[[]]]]]",
        "[[[[[]]]]",
        "{\"a\":{\"b\":{}}}",
        "\f{}",
        "\v{}",
        "[1,\xA0 2]",
        "[\"a\",\"b\",]",
        "{\"\":\"\"}",
        "[true,false,null]",
        "[-]",
        "[-1.5e-7]",
    };
    for (const auto& text : cases)
        expectSameVerdict(text);
}

TEST(JsonCheck, AgreesWithTheParserOnMutatedMessages) {
    // Real-looking frames, each mutated byte by byte and by splicing, with a fixed seed.
    const std::vector<std::string> seeds = {
        R"({"type":"candidate","candidate":"candidate:1 1 UDP 2114977791 127.0.0.1 52610 typ host","sdpMid":"0","sdpMLineIndex":0})",
        R"({"type":"offer","sdp":"v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\n","x":[1,-2.5e3,true,null,{"é":"\u00e9\ud83d\ude00"}]})",
        "{\"type\":\"join\",\"room\":\"r\xC3\xA9\",\"nick\":\"\xF0\x9F\x98\x80\"}",
        R"([[],{},"",0,-0.0,1E+2])",
    };
    // Built with its length: a C string would end at the NUL and drop every character after it.
    using namespace std::string_literals;
    const std::string alphabet =
        "{}[]\",:\\/ \t\r\n-+.0123456789eEtrufalsn\x00\x01\x1f\x7f\x80\xbf\xc2\xdf\xe0\xed\xef\xf0\xf4\xff"
        "ubfx"s;
    std::mt19937 rng(20261207);
    std::size_t accepted = 0, refused = 0;
    for (const auto& seed : seeds) {
        for (int round = 0; round < 20000; ++round) {
            std::string text = seed;
            const int edits = 1 + static_cast<int>(rng() % 3);
            for (int e = 0; e < edits && !text.empty(); ++e) {
                const std::size_t at = rng() % text.size();
                switch (rng() % 4) {
                case 0: text[at] = alphabet[rng() % alphabet.size()]; break;
                case 1: text.erase(at, 1 + rng() % 3); break;
                case 2: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
                default: text.insert(at, seed.substr(rng() % seed.size(), rng() % 12)); break;
                }
            }
            const bool verdict = nlohmann::json::accept(text);
            ASSERT_EQ(isValidJson(text), verdict) << "text: [" << text << "]";
            ++(verdict ? accepted : refused);
        }
    }
    // Both verdicts must be well represented, or the comparison proves little.
    EXPECT_GT(accepted, 5000u);
    EXPECT_GT(refused, 5000u);
}
