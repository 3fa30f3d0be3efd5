#include "tools/fpsim/controller.h"

#include <gtest/gtest.h>

#include "fpsim/test_frames.h"

namespace fpsim {
namespace {

// One station, zeroed memory, with a few known words.
class BusTest : public ::testing::Test {
  protected:
    BusTest() : bus_({"01"}, BusSettings()) {
        Memory &m = *bus_.MemoryOf("01");
        m.Clear();
        m.SetWord(Area::kData, 0, 5);
        m.SetWord(Area::kData, 1, 10);
        m.SetWord(Area::kData, 10239, 0xBEEF);
        m.SetWord(Area::kFile, 7, 0x1234);
        m.SetWord(Area::kX, 0, 0x0400);               // X000A on
        m.SetWord(Area::kR, 1, 0x0004);               // R0012 on
        m.SetWord(Area::kTimerCounter, 187, 0x0100);  // contact 3000 (C3000) on
        m.SetWord(Area::kSetValue, 5, 1000);
        m.SetWord(Area::kElapsedValue, 5, 3);
        m.SetWord(Area::kLinkData, 0, 5);
        m.SetWord(Area::kLinkData, 1, 10);
        m.SetWord(Area::kLinkData, 8447, 0xCAFE);
        m.SetWord(Area::kSystem, 1, 7);
        m.SetWord(Area::kSystem, 999, 0xABCD);
    }
    Outcome Send(const std::string &frame) { return bus_.Handle(frame); }
    Memory &memory() { return *bus_.MemoryOf("01"); }

    Bus bus_;
};

TEST_F(BusTest, EveryCommandAnswersWithItsEchoAndData) {
    const struct {
        std::string request;
        std::string response;
    } cases[] = {
        {"%01#RDD0000000001**\r", "%01$RD05000A0062\r"},
        {Request("01", "RDD1023910239"), Answer("01", "RDEFBE")},
        {Request("01", "RDF0000700007"), Answer("01", "RD3412")},
        {"%01#RCSX000A6C\r", Answer("01", "RC1")},
        {Request("01", "RCSR0012"), Answer("01", "RC1")},
        {Request("01", "RCSR0013"), Answer("01", "RC0")},
        {Request("01", "RCSC3000"), Answer("01", "RC1")},
        {Request("01", "RCST2999"), Answer("01", "RC0")},
        {Request("01", "RCCX00000001"), Answer("01", "RC00040000")},
        {Request("01", "RCCR00010001"), Answer("01", "RC0400")},
        {Request("01", "RCCT01870187"), Answer("01", "RC0001")},
        {Request("01", "RCCC01870187"), Answer("01", "RC0001")},
        {Request("01", "RS00050005"), Answer("01", "RSE803")},
        {Request("01", "RK00050005"), Answer("01", "RK0300")},
        {Request("01", "RT"), Answer("01", "RT9A25600100000000")},
        {"%01#RDL0000000001**\r", Answer("01", "RD05000A00")},  // link data registers
        {Request("01", "RDL0844708447"), Answer("01", "RDFECA")},
        {Request("01", "RR0000001"), Answer("01", "RR00000700")},  // system registers
        {Request("01", "RR0999999"), Answer("01", "RRCDAB")},
        // An extended frame is answered in kind.
        {Request("01", "RDD0000000001", '<'), Answer("01", "RD05000A00", '<')},
        {"<01#RR0000001**\r", Answer("01", "RR00000700", '<')},
        {Request("01",
                 "WDD0000200003"
                 "3412FFFF"),
         Answer("01", "WD")},
        {Request("01",
                 "WDF0000000000"
                 "0100"),
         Answer("01", "WD")},
        {Request("01",
                 "WCCY00020002"
                 "AA55"),
         Answer("01", "WC")},
        {Request("01", "WCSR00151"), Answer("01", "WC")},
        {Request("01", "WCSL00000"), Answer("01", "WC")},
        {Request("01",
                 "WS00010002"
                 "0A000B00"),
         Answer("01", "WS")},
        {Request("01",
                 "WK00070007"
                 "FF7F"),
         Answer("01", "WK")},
        {Request("01",
                 "WDL0000200003"
                 "7856CDAB"),
         Answer("01", "WD")},
    };
    for (const auto &c : cases) {
        const Outcome outcome = Send(c.request);
        EXPECT_TRUE(outcome.answered) << c.request;
        EXPECT_EQ(outcome.errorCode, 0) << c.request;
        EXPECT_EQ(outcome.response, c.response) << c.request;
    }
    // The writes reached memory, low byte first.
    EXPECT_EQ(memory().Word(Area::kData, 2), 0x1234);
    EXPECT_EQ(memory().Word(Area::kData, 3), 0xFFFF);
    EXPECT_EQ(memory().Word(Area::kFile, 0), 1);
    EXPECT_EQ(memory().Word(Area::kY, 2), 0x55AA);
    EXPECT_EQ(memory().Word(Area::kR, 1), 0x0024);  // R0015 is word 1, bit 5
    EXPECT_EQ(memory().Word(Area::kSetValue, 1), 10);
    EXPECT_EQ(memory().Word(Area::kSetValue, 2), 11);
    EXPECT_EQ(memory().Word(Area::kElapsedValue, 7), 0x7FFF);
    EXPECT_EQ(memory().Word(Area::kLinkData, 2), 0x5678);
    EXPECT_EQ(memory().Word(Area::kLinkData, 3), 0xABCD);
    EXPECT_EQ(memory().Word(Area::kData, 3), 0xFFFF) << "LD is an area of its own";
}

TEST_F(BusTest, MalformedAndImpossibleRequestsGetTheControllersErrorCode) {
    const struct {
        std::string request;
        const char *code;
    } cases[] = {
        {"%01#RDD000000000155\r", "40"},  // wrong block check
        {"%01#RDD0000000001xx\r", "40"},
        {"%01#RCSX0000\r", "40"},                         // block check left out
        {Request("01", "").substr(0, 4) + "**\r", "41"},  // "%01#" and nothing
        {"%01RDD0000000001**\r", "41"},                   // no "#"
        {Request("01", "RDD000000001"), "41"},            // a short field
        {Request("01", "RDD00000000A1"), "41"},           // not decimal
        {Request("01", "RCSX00G0"), "41"},
        {Request("01", "RCSXABCD"), "41"},
        {Request("01", "XX"), "42"},             // unknown command
        {Request("01", "RDQ0000000001"), "42"},  // unknown area
        {Request("01", "RCCQ00000000"), "42"},
        {Request("01", "RDD0000000001&"), "43"},  // multi-frame
        {Request("01", "RDX0000000001"), "60"},   // an area RD does not take
        {Request("01", "RCCD00000000"), "60"},
        {Request("01",
                 "WCCT00000000"
                 "0000"),
         "60"},  // T/C contacts take no writes
        {Request("01", "WCSC30001"), "60"},
        {Request("01", "RDD0000200001"), "61"},  // start above end
        {Request("01", "RDD1024010240"), "61"},  // beyond DT 10239
        {Request("01", "RDF3276532765"), "61"},  // beyond FL 32764
        {Request("01", "RDL0844808448"), "61"},  // beyond LD 8447
        {Request("01",
                 "WDL0844708448"
                 "00000000"),
         "61"},
        {Request("01", "RCCY05120512"), "61"},
        {Request("01", "RCSR8870"), "61"},
        {Request("01", "RCST3072"), "61"},
        {Request("01", "RS30723072"), "61"},
        {Request("01",
                 "WDD0000000001"
                 "0100"),
         "61"},  // one word for two
        {Request("01",
                 "WDD0000000000"
                 "01G0"),
         "61"},  // not hexadecimal
        {Request("01",
                 "WDD0000000000"
                 "0100"
                 "00"),
         "61"},
        {Request("01", "WCSR00102"), "61"},  // a contact is 0 or 1
        {Request("01",
                 "WCCX00000000"
                 "0100"),
         "61"},  // inputs cannot be written
        {Request("01", "WCSX00001"), "61"},
        {Request("01", "RR1000001"), "41"},  // RR's fields: "0", start, end
        {Request("01", "RR000001"), "41"},
        {Request("01", "RR00A0001"), "41"},
        {Request("01", "RR0002001"), "61"},
        {Request("01", "RR0000027"), "27"},
        {Request("01",
                 "WR0000000"
                 "0000"),
         "42"},                                  // fpsim takes no writes of them
        {Request("01", "RDD0000000027"), "27"},  // 28 words do not fit an answer
        {Request("01", "WDD0000000024" + std::string(100, '0')), "27"},  // 119 characters
    };
    for (const auto &c : cases) {
        const Outcome outcome = Send(c.request);
        EXPECT_TRUE(outcome.answered) << c.request;
        EXPECT_EQ(outcome.response, Refusal("01", c.code)) << c.request;
    }
    EXPECT_EQ(memory().Word(Area::kData, 0), 5) << "a refused write changed memory";
    EXPECT_EQ(memory().Word(Area::kX, 0), 0x0400) << "an input was written";
}

TEST_F(BusTest, TheLongestFramesFit) {
    // 27 words in one answer; a 118-character request.
    const Outcome read = Send(Request("01", "RDD0000000026"));
    EXPECT_EQ(read.errorCode, 0);
    EXPECT_EQ(read.response.size(), 4u * 27 + 9);
    const std::string write = Request("01", "WCCY00000024" + std::string(100, '0'));
    ASSERT_EQ(write.size(), 119u);
    EXPECT_EQ(Send(write).response, Answer("01", "WC"));
}

// An extended frame, "<" instead of "%", carries up to 2048 characters with
// its carriage return: 509 words in one answer, 507 in one write. Its answer,
// an error answer too, starts with "<".
TEST_F(BusTest, ExtendedFramesCarryLongReadsAndWritesAndAreAnsweredInKind) {
    const Outcome read = Send(Request("01", "RDD0000000508", '<'));
    EXPECT_EQ(read.errorCode, 0);
    EXPECT_EQ(read.response.size(), 4u * 509 + 9);
    EXPECT_EQ(read.response.substr(0, 16), "<01$RD05000A0000");
    EXPECT_EQ(read.response.substr(read.response.size() - 3, 2),
              TestBcc(read.response.substr(0, read.response.size() - 3)));
    const struct {
        std::string request;
        std::string response;
    } cases[] = {
        {Request("EE", "RDD0000000000", '<'), Answer("EE", "RD0500", '<')},
        {Request("01", "RDD0000000509", '<'), Refusal("01", "27", '<')},  // 510 words
        {Request("01", "WDD0000000506" + std::string(4 * 507, '1'), '<'), Answer("01", "WD", '<')},
        {Request("01", "WDD0000000507" + std::string(4 * 508, '0'), '<'), Refusal("01", "27", '<')},
        {"<01#RDD000000000155\r", Refusal("01", "40", '<')},
        {Request("01", "RDD0000000001&", '<'), Refusal("01", "43", '<')},
        {Request("01", "XX", '<'), Refusal("01", "42", '<')},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Send(c.request).response, c.response) << c.request.substr(0, 20);
    }
    EXPECT_EQ(memory().Word(Area::kData, 506), 0x1111) << "the long write reached memory";
    EXPECT_FALSE(Send(Request("FF",
                              "WDD0000000000"
                              "3412",
                              '<'))
                     .answered);
    EXPECT_EQ(memory().Word(Area::kData, 0), 0x1234) << "every station executes FF";
}

// Several contacts in one frame: RCP reads them in the order asked, WCP
// writes them all or, when any is refused, none.
TEST_F(BusTest, SeveralContactsAreReadInTheOrderAsked) {
    const struct {
        std::string contacts;
        std::string states;
    } cases[] = {
        {"1X000A", "1"},
        {"3X000AR0012R0013", "110"},
        {"2C3000T2999", "10"},
        {"2R0012R0012", "11"},  // the same contact twice
        {"8X0000X000AR0012R0013L0000Y0000C3000T0000", "01100010"},
        {"1R886F", "0"},  // the last relay of the large profile
    };
    for (const auto &c : cases) {
        const Outcome outcome = Send(Request("01", "RCP" + c.contacts));
        EXPECT_EQ(outcome.response, Answer("01", "RC" + c.states)) << c.contacts;
    }
}

TEST_F(BusTest, SeveralContactsAreWrittenInOneFrame) {
    EXPECT_EQ(Send(Request("01", "WCP3R00151Y00001L01511")).response, Answer("01", "WC"));
    EXPECT_EQ(memory().Word(Area::kR, 1), 0x0024);  // R0012 kept, R0015 set
    EXPECT_EQ(memory().Word(Area::kY, 0), 0x0001);
    EXPECT_EQ(memory().Word(Area::kL, 15), 0x0002);
    EXPECT_EQ(Send(Request("01", "WCP2R00120R00150")).response, Answer("01", "WC"));
    EXPECT_EQ(memory().Word(Area::kR, 1), 0);
    // What WCP wrote, RCP reads.
    EXPECT_EQ(Send(Request("01", "RCP3Y0000L0151R0012")).response, Answer("01", "RC110"));
}

TEST_F(BusTest, MultiContactFramesAreRefusedAsTheSingleContactOnesAre) {
    const struct {
        std::string command;
        const char *code;
    } cases[] = {
        {"RCP", "41"},        // no count
        {"RCPXX000A", "41"},  // a count that is not a digit
        {"RCP0", "61"},       // a count outside 1 to 8
        {"RCP9" + std::string(9 * 5, '0'), "61"},
        {"RCP2X000A", "41"},       // fewer contacts than counted
        {"RCP1X000AR0012", "41"},  // more
        {"RCP1X000", "41"},        // a short contact
        {"RCP2X000AD0000", "60"},  // an area that contacts do not have
        {"RCP1Q0000", "42"},       // an area that nothing has
        {"RCP1R00G0", "41"},       // not decimal
        {"RCP1R000a", "41"},       // a bit digit in lower case
        {"RCP2X000AR8870", "61"},  // beyond R886F
        {"RCP1T3072", "61"},       // beyond the last counter
        {"WCP0", "61"},
        {"WCP9" + std::string(9 * 6, '0'), "61"},
        {"WCPZR00151", "41"},
        {"WCP2R00151", "41"},   // fewer contacts than counted
        {"WCP1R0015", "41"},    // no value
        {"WCP1R001511", "41"},  // more than counted
        {"WCP1X00001", "61"},   // inputs cannot be written
        {"WCP1T00001", "60"},   // timer and counter contacts neither
        {"WCP1C30001", "60"},
        {"WCP1D00001", "60"},
        {"WCP1Q00001", "42"},
        {"WCP1R00102", "61"},  // a contact is 0 or 1
        {"WCP1R88701", "61"},
        {"WCP2R00141X00001", "61"},  // refused as a whole
        {"WCP2R00141R0014X", "61"},
    };
    for (const auto &c : cases) {
        const Outcome outcome = Send(Request("01", c.command));
        EXPECT_EQ(outcome.response, Refusal("01", c.code)) << c.command;
    }
    EXPECT_EQ(memory().Word(Area::kR, 1), 0x0004) << "a refused WCP changed a contact";
}

TEST(BusSettingsTest, InputWriteErrorIsASetting) {
    BusSettings settings;
    settings.inputWriteError = 60;
    Bus bus({"01"}, settings);
    EXPECT_EQ(bus.Handle(Request("01", "WCSX00001")).response, Refusal("01", "60"));
    EXPECT_EQ(bus.Handle(Request("01", "WCP1X00001")).response, Refusal("01", "60"));
}

TEST(BusSettingsTest, SmallProfileHasSmallerBounds) {
    BusSettings settings;
    settings.profile = Profile::kSmall;
    Bus bus({"01"}, settings);
    EXPECT_EQ(bus.Handle(Request("01", "RDD0204702047")).errorCode, 0);
    EXPECT_EQ(bus.Handle(Request("01", "RDD0204802048")).errorCode, 61);
    EXPECT_EQ(bus.Handle(Request("01", "RCCR00970097")).errorCode, 0);
    EXPECT_EQ(bus.Handle(Request("01", "RCCR00980098")).errorCode, 61);
    EXPECT_EQ(bus.Handle(Request("01", "RS05110511")).errorCode, 0);
    EXPECT_EQ(bus.Handle(Request("01", "RS05120512")).errorCode, 61);
    EXPECT_EQ(bus.Handle(Request("01", "RDL0012700127")).errorCode, 0);
    EXPECT_EQ(bus.Handle(Request("01", "RDL0012800128")).errorCode, 61);
    EXPECT_EQ(bus.Handle(Request("01", "RCP2R097FR0980")).errorCode, 61);
}

TEST(MultiDrop, EachStationAnswersOnlyItsOwn) {
    Bus bus({"01", "05"}, BusSettings());
    bus.MemoryOf("01")->SetWord(Area::kData, 0, 0x0101);
    bus.MemoryOf("05")->SetWord(Area::kData, 0, 0x0505);

    EXPECT_EQ(bus.Handle(Request("01", "RDD0000000000")).response, Answer("01", "RD0101"));
    EXPECT_EQ(bus.Handle(Request("05", "RDD0000000000")).response, Answer("05", "RD0505"));
    // Other stations, and a station field that is not the same text, are silent.
    for (const char *station : {"03", "5 ", " 5", "1", "00"}) {
        EXPECT_FALSE(bus.Handle(Request(station, "RDD0000000000")).answered) << station;
    }
    // A garbled frame from no readable station is silent.
    EXPECT_FALSE(bus.Handle("%0").answered);
    EXPECT_FALSE(bus.Handle("%01#RDD0000000000**").answered);  // no carriage return

    // EE: the first station answers, as "EE".
    EXPECT_EQ(bus.Handle(Request("EE", "RDD0000000000")).response, Answer("EE", "RD0101"));
    EXPECT_EQ(bus.Handle(Request("EE", "XX")).response, Refusal("EE", "42"));

    // FF: every station writes, none answers; a read does nothing.
    EXPECT_FALSE(bus.Handle(Request("FF",
                                    "WDD0000100001"
                                    "3412"))
                     .answered);
    EXPECT_EQ(bus.MemoryOf("01")->Word(Area::kData, 1), 0x1234);
    EXPECT_EQ(bus.MemoryOf("05")->Word(Area::kData, 1), 0x1234);
    EXPECT_FALSE(bus.Handle(Request("FF", "WCP1Y00001")).answered);
    EXPECT_TRUE(bus.MemoryOf("05")->Contact(Area::kY, 0));
    EXPECT_FALSE(bus.Handle(Request("FF", "RDD0000000000")).answered);
    // A broken FF write is executed nowhere.
    EXPECT_FALSE(bus.Handle("%FF#WDD00001000017856XX\r").answered);
    EXPECT_EQ(bus.MemoryOf("05")->Word(Area::kData, 1), 0x1234);
}

TEST(MultiDrop, EECanBeTurnedOff) {
    BusSettings settings;
    settings.answerEE = false;
    Bus bus({"01"}, settings);
    EXPECT_FALSE(bus.Handle(Request("EE", "RDD0000000000")).answered);
}

TEST(Memory, PatternAndAssignments) {
    Memory memory(Profile::kLarge);
    EXPECT_EQ(memory.Word(Area::kData, 100), 100);
    EXPECT_EQ(memory.Word(Area::kFile, 7), 0x4007);
    EXPECT_EQ(memory.Word(Area::kSetValue, 5), 105);
    EXPECT_EQ(memory.Word(Area::kY, 3), 0x2003);
    EXPECT_EQ(memory.Size(Area::kData), 10240u);
    EXPECT_EQ(memory.Size(Area::kFile), 32765u);
    EXPECT_EQ(memory.Size(Area::kR), 887u);
    EXPECT_EQ(memory.Size(Area::kTimerCounter), 192u);
    EXPECT_EQ(memory.Size(Area::kLinkData), 8448u);
    EXPECT_EQ(memory.Word(Area::kLinkData, 3), 0x6003);
    EXPECT_EQ(Memory(Profile::kSmall).Size(Area::kLinkData), 128u);
    EXPECT_EQ(memory.Word(Area::kSystem, 4), 0x7004);
    EXPECT_EQ(memory.Size(Area::kSystem), 1000u);

    const struct {
        const char *text;
        bool ok;
        Area area;
        size_t index;
        uint16_t value;
    } cases[] = {
        {"DT100=1234", true, Area::kData, 100, 1234},
        {"D5=0x10", true, Area::kData, 5, 16},
        {"FL7=-1", true, Area::kFile, 7, 0xFFFF},
        {"SV5=1000", true, Area::kSetValue, 5, 1000},
        {"EV0=3", true, Area::kElapsedValue, 0, 3},
        {"R3=0xFFFF", true, Area::kR, 3, 0xFFFF},
        {"LD8447=7", true, Area::kLinkData, 8447, 7},
        {"L3=9", true, Area::kL, 3, 9},  // L alone: the link relays
        {"SR999=2", true, Area::kSystem, 999, 2},
        // Blanks around "=" and before the number, as people write them.
        {"DT101 = 5", true, Area::kData, 101, 5},
        {"  DT 102\t=\t0x20 ", true, Area::kData, 102, 32},
        {"DT103=1 2", false, Area::kData, 0, 0},
        {"SR1000=1", false, Area::kData, 0, 0},
        {"LD8448=1", false, Area::kData, 0, 0},
        {"DT+5=1", false, Area::kData, 0, 0},
        {"DT10240=1", false, Area::kData, 0, 0},
        {"DT1=65536", false, Area::kData, 0, 0},
        {"QQ1=1", false, Area::kData, 0, 0},
        {"DT=1", false, Area::kData, 0, 0},
        {"DT1", false, Area::kData, 0, 0},
        {"DT1=x", false, Area::kData, 0, 0},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_EQ(memory.Assign(c.text, &error), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(memory.Word(c.area, c.index), c.value) << c.text;
        }
    }
}

}  // namespace
}  // namespace fpsim
