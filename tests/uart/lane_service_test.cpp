// The lane's end of the control line: what each request does to the
// simulator and what the guest is answered.
#include "uart/lane_service.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "fpsim/test_port.h"

namespace {

using std::chrono::milliseconds;

class LaneServiceTest : public ::testing::Test {
  protected:
    LaneServiceTest() : simulator_(Options()), service_(simulator_, {"01", "05"}, kProfile) {}

    static fpsim::Options Options() {
        fpsim::Options options;
        options.stations = {"01", "05"};
        options.zeroMemory = true;
        return options;
    }

    static constexpr fpsim::Profile kProfile = fpsim::Profile::kLarge;
    fpsim::Simulator simulator_;
    uart_lane::LaneService service_;
};

TEST_F(LaneServiceTest, AnswersEveryRequest) {
    const struct {
        const char *request;
        const char *answer;
    } cases[] = {
        {"hello", "ok"},
        {"poke 01 DT 7 4660", "ok"},
        {"peek 01 DT 7", "ok 4660"},
        {"poke 05 Y 511 0xFFFF", "ok"},
        {"peek 05 Y 511", "ok 65535"},
        {"poke 01 FL 32764 1", "ok"},
        {"peek 01 FL 32764", "ok 1"},
        {"peek 03 DT 7", "error station 03 is not on the line"},
        {"peek 01 QQ 7", "error no area QQ"},
        {"peek 01 DT 10240", "error no word 10240 in DT"},
        {"peek 01 DT", "error needs STATION AREA INDEX"},
        {"poke 01 DT 7 65536", "error poke needs a value of 0 to 65535"},
        {"poke 01 DT 7", "error poke needs a value of 0 to 65535"},
        {"fault-once late:50", "ok"},
        {"fault-every 2 no-answer", "ok"},
        {"fault-every 0 late", "error fault-every needs N from 1 to 1000"},
        {"clear-faults", "ok"},
        {"expect", "error expect needs KEY=VALUE"},
        {"done", "error done needs a status"},
        {"reboot", "error unknown request 'reboot'"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(service_.Handle(c.request, 0), c.answer) << c.request;
    }
    EXPECT_EQ(simulator_.ReadWord("05", fpsim::Area::kY, 511), 0xFFFF);
    EXPECT_EQ(service_.Handle("fault-once bogus", 0).compare(0, 20, "error unknown fault "), 0);
    EXPECT_FALSE(service_.done());
}

TEST_F(LaneServiceTest, KeepsMarksMessagesAndTheGuestsStatus) {
    EXPECT_EQ(service_.Handle("expect rate=9600 parity=E  rts=0", 1700000000123456), "ok");
    EXPECT_EQ(service_.Handle("log QIVMatsushita01 : ColdStart() end OK", 0), "ok");
    EXPECT_EQ(service_.Handle("done 1", 0), "ok");
    ASSERT_EQ(service_.marks().size(), 1u);
    EXPECT_EQ(service_.marks()[0].micros, 1700000000123456);
    EXPECT_EQ(service_.marks()[0].expectation, "rate=9600 parity=E  rts=0");
    EXPECT_EQ(service_.driverLog(),
              std::vector<std::string>{"QIVMatsushita01 : ColdStart() end OK"});
    EXPECT_TRUE(service_.done());
    EXPECT_EQ(service_.guestStatus(), 1);
}

// A fault asked for over the control line reaches the controller's answers.
TEST_F(LaneServiceTest, FaultsReachTheLine) {
    std::string error;
    ASSERT_TRUE(simulator_.Start(&error)) << error;
    TestPort port(simulator_.PortPath());
    ASSERT_TRUE(port.IsOpen());
    const std::string request = "%01#RDD0000000001**\r";

    ASSERT_EQ(service_.Handle("fault-once no-answer", 0), "ok");
    ASSERT_TRUE(port.Write(request));
    EXPECT_EQ(port.ReadFor(milliseconds(150)), "") << "the faulted answer";
    ASSERT_TRUE(port.Write(request));
    EXPECT_EQ(port.ReadFrame(milliseconds(1000)), "%01$RD0000000016\r");

    ASSERT_EQ(service_.Handle("fault-every 1 error:42", 0), "ok");
    ASSERT_TRUE(port.Write(request));
    EXPECT_EQ(port.ReadFrame(milliseconds(1000)).substr(0, 6), "%01!42");
    ASSERT_EQ(service_.Handle("clear-faults", 0), "ok");
    ASSERT_TRUE(port.Write(request));
    EXPECT_EQ(port.ReadFrame(milliseconds(1000)), "%01$RD0000000016\r");
}

}  // namespace
