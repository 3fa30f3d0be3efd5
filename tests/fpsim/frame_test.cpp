#include "tools/fpsim/frame.h"

#include <gtest/gtest.h>

namespace fpsim {
namespace {

// Block checks of frames worked out in the protocol's documentation.
TEST(BlockCheck, WorkedFrames) {
    const struct {
        const char *text;
        const char *check;
    } cases[] = {
        {"%01#RCSX0000", "1D"},
        {"%01#RDD0010000100", "55"},
        {"%01#RDD0000000001", "54"},
        {"%01#RCSX000A", "6C"},
        {"%01$RD05000A00", "62"},
        {"%01$RC0", "21"},
        {"%01$WD", "13"},
        {"%01$WC", "14"},
        {"%01$WS", "04"},
        {"%01$WK", "1C"},
        {"%01!40", "01"},
        {"%01!41", "00"},
        {"%01!42", "03"},
        {"%01!60", "03"},
        {"%01!61", "02"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Hex2(BlockCheck(c.text)), c.check) << c.text;
    }
}

TEST(Frames, ResponsesAndWords) {
    EXPECT_EQ(NormalResponse("01", "RD", WireWord(5) + WireWord(10)), "%01$RD05000A0062\r");
    EXPECT_EQ(NormalResponse("01", "WD", ""), "%01$WD13\r");
    EXPECT_EQ(ErrorResponse("01", 41), "%01!4100\r");
    EXPECT_EQ(WireWord(0x1234), "3412");
    EXPECT_EQ(Sealed("%01$RC0"), "%01$RC021\r");
    EXPECT_EQ(Printable(std::string("%01\r\x01", 5)), "%01<CR><01>");

    const struct {
        const char *text;
        bool ok;
        uint16_t value;
    } words[] = {{"3412", true, 0x1234}, {"FFFF", true, 0xFFFF}, {"0080", true, 0x8000},
                 {"34G2", false, 0},     {"ffff", false, 0},     {"341", false, 0}};
    for (const auto &w : words) {
        uint16_t value = 0;
        EXPECT_EQ(ParseWireWord(w.text, 0, value), w.ok) << w.text;
        if (w.ok) {
            EXPECT_EQ(value, w.value) << w.text;
        }
    }
}

}  // namespace
}  // namespace fpsim
