// The line filter that removes relay candidates from session descriptions.
#include <gtest/gtest.h>

#include "signaling/sdp_filter.hpp"

using namespace murva;

TEST(SdpFilter, RemovesWholeLinesHoldingTheMarkerAndKeepsEverythingElseExactly) {
    EXPECT_EQ(stripRelayLines(""), "");
    EXPECT_EQ(stripRelayLines("v=0\r\n"), "v=0\r\n");
    EXPECT_EQ(stripRelayLines("a\r\nb typ relay x\r\nc\r\n"), "a\r\nc\r\n");
    EXPECT_EQ(stripRelayLines("a\nb typ relay\n"), "a\n");
    EXPECT_EQ(stripRelayLines("a\ntyp relay at end"), "a\n");
    EXPECT_EQ(stripRelayLines("typ relay\n"), "");
    EXPECT_EQ(stripRelayLines("keep no newline"), "keep no newline");
    EXPECT_EQ(stripRelayLines("\n\n\n"), "\n\n\n");
    EXPECT_EQ(stripRelayLines("TYP RELAY\nTyp relay\ntyp  relay\ntyprelay\n"),
              "TYP RELAY\nTyp relay\ntyp  relay\ntyprelay\n");
    EXPECT_EQ(stripRelayLines("x\r\ny\rtyp relay\r\nz"), "x\r\nz"); // a lone CR is no line end
    std::string withNul("a\0b\ntyp relay\0\nc", 16);
    EXPECT_EQ(stripRelayLines(withNul), std::string("a\0b\nc", 5));
}
