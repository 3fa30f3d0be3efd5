// What host programs share: the line settings as people write them, block
// plans that merge neighbouring tags, and a scan through a session that gives
// each tag the value the controller holds.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/fpsim/simulator.h"
#include "tools/hostkit/line_settings.h"
#include "tools/hostkit/session.h"
#include "tools/hostkit/tag_plan.h"

namespace {

// E and G hold 32 bits; an eight-character address of a contact device
// names a contact.
std::vector<Tag> Parsed(const std::vector<std::string> &addresses) {
    std::vector<Tag> tags;
    for (const std::string &address : addresses) {
        const char device = address[2];
        const bool registers = device == 'D' || device == 'F';
        Tag tag;
        tag.address = address;
        tag.dataType = device == 'E' || device == 'G'      ? QIV_TYPE_DWORD
                       : !registers && address.size() == 8 ? QIV_TYPE_BIT
                                                           : QIV_TYPE_WORD;
        EXPECT_TRUE(Session::ParseTag(tag)) << address;
        tags.push_back(tag);
    }
    return tags;
}

// A frame as "ADDRESS xCOUNT: tag@word.bit ...", tags by their index.
std::string Described(const BlockFrame &frame) {
    std::string text = frame.chunk.tag.address + " x" + std::to_string(frame.chunk.tag.count) + ":";
    for (const BlockSlot &slot : frame.slots) {
        text += " " + std::to_string(slot.tag) + "@" + std::to_string(slot.word);
        if (slot.bit >= 0)
            text += "." + std::to_string(slot.bit);
    }
    return text;
}

TEST(HostkitBlockPlan, MergesNeighboursOfOneStationAndMemoryWithinAFrame) {
    const struct {
        std::vector<std::string> tags;
        int gap;
        std::vector<std::string> frames;
    } cases[] = {
        // E is read as the D words that hold it; a gap splits unless allowed.
        {{"01D00100", "01D00101", "01E00102", "01D00110"},
         0,
         {"01D00100 x4: 0@0 1@1 2@2", "01D00110 x1: 3@0"}},
        {{"01D00110", "01D00100", "01E00102"}, 6, {"01D00100 x11: 1@0 2@2 0@10"}},
        // Contacts through their words, beside the words themselves.
        {{"01R0012A", "01R0013", "01R0012B", "01X0000"},
         0,
         {"01R0012 x2: 0@0.10 2@0.11 1@1", "01X0000 x1: 3@0"}},
        // 27 words at most, and a 32-bit value never split between frames.
        {{"01D00000", "01D00026"}, 100, {"01D00000 x27: 0@0 1@26"}},
        {{"01D00000", "01D00027"}, 100, {"01D00000 x1: 0@0", "01D00027 x1: 1@0"}},
        {{"01D00000", "01E00026"}, 100, {"01D00000 x1: 0@0", "01D00026 x2: 1@0"}},
        // Stations and memories apart; F and G together.
        {{"02D00100", "01D00101", "01F00100", "01G00098"},
         5,
         {"01D00101 x1: 1@0", "01F00098 x3: 3@0 2@2", "02D00100 x1: 0@0"}},
    };
    for (const auto &c : cases) {
        const std::vector<BlockFrame> frames = PlanBlocks(Parsed(c.tags), c.gap);
        std::vector<std::string> described;
        for (const BlockFrame &frame : frames)
            described.push_back(Described(frame));
        EXPECT_EQ(described, c.frames) << c.tags.front() << " gap " << c.gap;
    }
    EXPECT_THROW(PlanBlocks(Parsed({"FFD00100"}), 0), PlanError);
}

TEST(HostkitBlockPlan, AScanGivesEachTagTheValueTheControllerHolds) {
    fpsim::Options options;
    options.stations = {"01"};
    options.zeroMemory = true;
    fpsim::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.Start(&error)) << error;
    simulator.WriteWord("01", fpsim::Area::kData, 100, 0xFFFE);
    simulator.WriteWord("01", fpsim::Area::kData, 102, 0x0001);  // E102, low word
    simulator.WriteWord("01", fpsim::Area::kData, 103, 0x0002);  // E102, high word
    simulator.WriteWord("01", fpsim::Area::kR, 12, 0x0400);      // R12A on, R12B off

    const std::vector<Tag> tags = Parsed({"01D00100", "01E00102", "01R0012A", "01R0012B"});
    const struct {
        ValueFormat format;
        const char *text;
    } expected[] = {{ValueFormat::kSigned, "-2"},
                    {ValueFormat::kUnsigned, "131073"},
                    {ValueFormat::kDefault, "1"},
                    {ValueFormat::kDefault, "0"}};
    LineOptions line;
    line.port = simulator.DevicePath();
    Session session(line);
    ASSERT_TRUE(session.Start(&error)) << error;
    size_t seen = 0;
    for (const BlockFrame &frame : PlanBlocks(tags, 4)) {
        const Outcome outcome = session.Read(frame.chunk.tag);
        ASSERT_EQ(outcome.status, QIV_STATUS_OK) << frame.chunk.tag.address;
        ASSERT_EQ(outcome.words.size(), frame.chunk.words);
        for (const BlockSlot &slot : frame.slots) {
            EXPECT_EQ(SlotValue(slot, outcome.words, expected[slot.tag].format).text,
                      expected[slot.tag].text)
                << tags[slot.tag].address;
            ++seen;
        }
    }
    EXPECT_EQ(seen, tags.size());
}

TEST(HostkitLineSettings, AsPeopleWriteThem) {
    // Each case starts from 4800-8N1; `shown` is what is printed after, and
    // for a refusal the start of what is said.
    const struct {
        const char *text;
        bool ok;
        const char *shown;
    } cases[] = {
        {"19200-8O1", true, "19200-8O1"},
        {"9600-7E2", true, "9600-7E2"},
        {"7e2", true, "4800-7E2"},  // the rate as it was
        {"300,5s1.5", true, "300-5S1.5"},
        {"50-6M1", true, "50-6M1"},
        {"65535-8N2", true, "65535-8N2"},
        {"115200-8N1", false, "takes a rate from 50 to 65535 bit/s"},  // beyond the driver's field
        {"49-8N1", false, "takes a rate from 50 to 65535 bit/s"},
        {"0x2580-8N1", false, "takes a rate from 50 to 65535 bit/s"},
        {"-8O1", false, "takes a rate from 50 to 65535 bit/s"},
        {"19200-8O", false, "takes data bits (5 to 8), parity (N, O, E, M or S)"},
        {"19200/8O1", false, "takes data bits"},
        {"9O1", false, "takes data bits"},
        {"8X1", false, "takes data bits"},
        {"8-1", false, "takes data bits"},
        {"8O3", false, "takes data bits"},
    };
    for (const auto &c : cases) {
        SerialLineSettings settings = {4800, 8, QIV_STOPBITS_ONE, QIV_PARITY_NONE};
        bool rateGiven = false;
        std::string error;
        EXPECT_EQ(ParseLineSettings(c.text, settings, &rateGiven, &error), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(LineSettingsText(settings), c.shown) << c.text;
        else
            EXPECT_EQ(error.rfind(c.shown, 0), 0u) << c.text << ": " << error;
    }
}

}  // namespace
