#include "driver/channel.h"

#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fake/platform_fake.h"
#include "unit/log_capture.h"

namespace {

using Log = std::vector<std::string>;
namespace fake = fake_platform;

constexpr SerialLineSettings kLine = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};

struct Channel {
    DriverInstance instance;
    DriverRequest request;

    Channel() {
        memset(&instance, 0, sizeof instance);
        memset(&request, 0, sizeof request);
        request.instance = &instance;
    }
    int32_t Start(const char *name, int32_t enable = 1, int32_t timeout = 4, uint8_t unit = 7) {
        PortConfig config;
        memset(&config, 0, sizeof config);
        memcpy(config.portName, name, strlen(name) + 1);
        config.enable = enable;
        config.timeout = timeout;
        config.lineSettings = kLine;
        request.params = &config;
        request.unit = unit;
        return ColdStart(&request);
    }
    int32_t Reconfigure(const char *name, int32_t timeout, SerialLineSettings line = kLine) {
        PortReconfig reconfig;
        memset(&reconfig, 0, sizeof reconfig);
        memcpy(reconfig.portName, name, strlen(name) + 1);
        reconfig.timeout = timeout;
        reconfig.lineSettings = line;
        request.params = &reconfig;
        return ReconfigurePort(&request);
    }
    int32_t Run(int32_t (*operation)(DriverRequest *)) { return operation(&request); }
};

class ChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        base_ = instanceCount;
    }
    void TearDown() override { instanceCount = base_; }

    // The messages as the host printed them.
    Log Messages() const {
        Log messages;
        for (const LogCapture::Entry &entry : log_.entries())
            messages.push_back(entry.message);
        return messages;
    }
    std::string Number(int offset) const {
        char text[16];
        snprintf(text, sizeof text, "%02d", base_ + offset);
        return text;
    }

    int32_t base_ = 0;
    LogCapture log_;
};

TEST_F(ChannelTest, ColdStartOpensConfiguresAndLogs) {
    Channel channel;
    EXPECT_EQ(channel.Start("COM1", 1, 4, 9), 0);
    EXPECT_EQ(channel.instance.port, fake::kHandle);
    EXPECT_EQ(fake::CallLog(),
              (Log{"CreateFile COM1", "GetCommState 28", "SetCommTimeouts 0/0/1000/0/0",
                   "SetCommState", "SetupComm 1200/1200", "GetCommTimeouts",
                   "SetCommTimeouts 0/0/40/0/0", "SetCommMask 4", "EscapeCommFunction CLRRTS"}));
    EXPECT_EQ(Messages(), (Log{"QivMatsushita" + Number(1) + ": ColdStart() entered",
                               "QIVMatsushita" + Number(1) + " : ColdStart() end OK"}));
    for (const LogCapture::Entry &entry : log_.entries())
        EXPECT_EQ(entry.category, 32);
    EXPECT_EQ(channel.instance.instanceNumber, base_ + 1);
    EXPECT_EQ(channel.instance.timeout, 4);
    EXPECT_EQ(channel.instance.portEnabled, 1);
    EXPECT_EQ(channel.instance.unit, 9);
    EXPECT_STREQ(channel.instance.openParams.portName, "COM1");
    EXPECT_EQ(channel.instance.openParams.openFlags, QIV_OPEN_DTR_ENABLE);
    EXPECT_EQ(channel.instance.openParams.lineSettings.baudRate, 19200);
    EXPECT_EQ(fake::State().fDtrControl, 1) << "DTR held on";
}

TEST_F(ChannelTest, ChannelsAreNumberedByTheCountOfRunningOnes) {
    Channel first, second, third;
    first.Start("NULLDEV");
    second.Start("NULLDEV");
    EXPECT_EQ(first.instance.instanceNumber, base_ + 1);
    EXPECT_EQ(second.instance.instanceNumber, base_ + 2);
    log_.Clear();
    EXPECT_EQ(first.Run(EndQiv), 0);
    EXPECT_EQ(Messages(), (Log{"QIVMatsushita " + Number(1) + " : EndQiv()",
                               "QIVMatsushita " + Number(1) +
                                   " : No. of Instances left: " + std::to_string(base_ + 1)}));
    EXPECT_EQ(first.instance.instanceNumber, -1);
    third.Start("NULLDEV");
    EXPECT_EQ(third.instance.instanceNumber, base_ + 2) << "a running channel's number again";
    second.Run(EndQiv);
    log_.Clear();
    third.Run(EndQiv);
    EXPECT_EQ(Messages().back(),
              "QIVMatsushita " + Number(2) + " : No. of Instances left: " + std::to_string(base_));
    // Ending twice lowers the count twice, below zero too.
    instanceCount = 0;
    log_.Clear();
    third.Run(EndQiv);
    EXPECT_EQ(Messages().back(), "QIVMatsushita -1 : No. of Instances left: -1");
}

TEST_F(ChannelTest, WithoutAPortOnlyTheEntryIsLogged) {
    Channel channel;
    EXPECT_EQ(channel.Start("COM1", 0), 0);
    EXPECT_EQ(channel.instance.port, nullptr);
    EXPECT_EQ(channel.instance.portEnabled, 0);
    EXPECT_EQ(log_.formats(), (Log{"Qiv%s%02d: ColdStart() entered"}));
    EXPECT_TRUE(fake::CallLog().empty());
    EXPECT_EQ(channel.Run(EndQiv), 0);
    EXPECT_EQ(log_.entries().size(), 3u);
    EXPECT_TRUE(fake::CallLog().empty());
    EXPECT_EQ(channel.Run(PurgeInput), 0) << "even on no port";
}

TEST_F(ChannelTest, TheNullDevice) {
    Channel channel;
    EXPECT_EQ(channel.Start("nulldev"), 0);
    EXPECT_EQ(channel.instance.port, QIV_INVALID_PORT_HANDLE);
    EXPECT_EQ(log_.formats(),
              (Log{"Qiv%s%02d: ColdStart() entered", "QIV%s%02d : ColdStart() SetCommMask() fail",
                   "QIV%s%02d : ColdStart() end OK"}));
    for (const fake::Call &call : fake::Calls()) {
        EXPECT_TRUE(call.name == "GetCommTimeouts" || call.name == "SetCommMask") << call.name;
    }
    fake::Reset();
    EXPECT_EQ(channel.Run(PurgeInput), 0);
    EXPECT_EQ(channel.Run(ClosePort), 0);
    EXPECT_EQ(channel.instance.port, nullptr);
    EXPECT_TRUE(fake::CallLog().empty());
    for (const char *name : {"NullDev", "NULLDEV"}) {
        Channel other;
        EXPECT_EQ(other.Start(name), 0);
        EXPECT_EQ(other.instance.port, QIV_INVALID_PORT_HANDLE) << name;
    }
}

TEST_F(ChannelTest, AFailedOpenChangesNothingButTheEntry) {
    Channel channel;
    channel.instance.timeout = 77;
    channel.instance.unit = 5;
    strcpy(channel.instance.openParams.portName, "OLD");
    fake::FailNext("CreateFile");
    EXPECT_EQ(channel.Start("COM9", 1, 4, 9), 2);
    EXPECT_EQ(Messages(), (Log{"QivMatsushita" + Number(1) + ": ColdStart() entered",
                               "QIVMatsushita" + Number(1) + " : Fail to open COM9"}));
    EXPECT_EQ(channel.instance.port, nullptr);
    EXPECT_EQ(channel.instance.timeout, 77);
    EXPECT_EQ(channel.instance.unit, 5);
    EXPECT_STREQ(channel.instance.openParams.portName, "OLD");
    EXPECT_EQ(channel.instance.portEnabled, 1);
    EXPECT_EQ(channel.instance.instanceNumber, base_ + 1);
}

TEST_F(ChannelTest, ANameThatFillsItsFieldOpensNothing) {
    Channel channel;
    channel.instance.timeout = 77;
    PortConfig config;
    memset(&config, 0, sizeof config);
    memcpy(config.portName, "ABCDEFGHIJKL", 12);  // no terminator
    config.enable = 1;
    config.timeout = 4;
    channel.request.params = &config;
    EXPECT_EQ(ColdStart(&channel.request), 2);
    EXPECT_TRUE(fake::CallLog().empty());
    EXPECT_EQ(Messages().back(), "QIVMatsushita" + Number(1) + " : Fail to open ABCDEFGHIJKL");
    EXPECT_EQ(channel.instance.timeout, 77);
    EXPECT_EQ(channel.instance.openParams.portName[0], '\0');

    PortReconfig reconfig;
    memset(&reconfig, 0, sizeof reconfig);
    memcpy(reconfig.portName, "ABCDEFGHIJKL", 12);
    reconfig.timeout = 9;
    channel.request.params = &reconfig;
    EXPECT_EQ(ReconfigurePort(&channel.request), 2);
    EXPECT_TRUE(fake::CallLog().empty());
    EXPECT_EQ(channel.instance.timeout, 77);
    EXPECT_EQ(channel.instance.openParams.portName[0], '\0');
}

TEST_F(ChannelTest, ClosePort) {
    Channel channel;
    channel.Start("COM1");
    fake::Reset();
    EXPECT_EQ(channel.Run(ClosePort), 0);
    EXPECT_EQ(fake::CallLog(),
              (Log{"EscapeCommFunction CLRDTR", "EscapeCommFunction CLRRTS", "CloseHandle"}));
    EXPECT_EQ(channel.instance.port, nullptr);
    fake::Reset();
    EXPECT_EQ(channel.Run(ClosePort), 0);
    EXPECT_TRUE(fake::CallLog().empty()) << "nothing to close";

    // The platform refuses the close: the port stays.
    EXPECT_EQ(channel.Run(OpenPort), 0);
    fake::FailNext("CloseHandle");
    EXPECT_EQ(channel.Run(ClosePort), 2);
    EXPECT_EQ(channel.instance.port, fake::kHandle);
    // EndQiv ends the channel all the same.
    fake::FailNext("CloseHandle");
    EXPECT_EQ(channel.Run(EndQiv), 0);
    EXPECT_EQ(channel.instance.instanceNumber, -1);
    EXPECT_EQ(channel.instance.port, fake::kHandle);
}

TEST_F(ChannelTest, OpenPortReopensTheRecordedPortOnly) {
    Channel channel;
    channel.Start("COM1");
    channel.Run(ClosePort);
    channel.instance.portEnabled = 0;
    fake::Reset();
    EXPECT_EQ(channel.Run(OpenPort), 0);
    EXPECT_EQ(channel.instance.port, fake::kHandle);
    EXPECT_EQ(channel.instance.portEnabled, 1);
    // No channel time-out, no event mask, no RTS: the open's own state.
    EXPECT_EQ(fake::CallLog(),
              (Log{"CreateFile COM1", "GetCommState 28", "SetCommTimeouts 0/0/1000/0/0",
                   "SetCommState", "SetupComm 1200/1200"}));
    // A port that does not open leaves the instance as it was.
    channel.instance.port = nullptr;
    fake::FailNext("CreateFile");
    EXPECT_EQ(channel.Run(OpenPort), 2);
    EXPECT_EQ(channel.instance.port, nullptr);
}

TEST_F(ChannelTest, ReconfigurePort) {
    Channel channel;
    channel.Start("COM1");
    fake::Reset();
    const SerialLineSettings slow = {9600, 7, QIV_STOPBITS_TWO, QIV_PARITY_EVEN};

    // A new name: the old port is closed first.
    EXPECT_EQ(channel.Reconfigure("COM2", 0, slow), 0);
    EXPECT_EQ(fake::CallLog(),
              (Log{"EscapeCommFunction CLRDTR", "EscapeCommFunction CLRRTS", "CloseHandle",
                   "CreateFile COM2", "GetCommState 28", "SetCommTimeouts 0/0/1000/0/0",
                   "SetCommState", "SetupComm 1200/1200"}));
    EXPECT_EQ(channel.instance.timeout, 4) << "a zero time-out keeps the recorded one";
    EXPECT_STREQ(channel.instance.openParams.portName, "COM2");
    EXPECT_EQ(channel.instance.openParams.lineSettings.baudRate, 9600);
    EXPECT_EQ(channel.instance.openParams.openFlags, QIV_OPEN_DTR_ENABLE);
    EXPECT_EQ(fake::State().baudRate, 9600u);

    // The same name: no close; the reopen fails as the port is taken.
    fake::Reset();
    fake::FailNext("CreateFile");
    EXPECT_EQ(channel.Reconfigure("COM2", 9), 2);
    EXPECT_EQ(fake::CallLog(), (Log{"CreateFile COM2"}));
    EXPECT_EQ(channel.instance.port, fake::kHandle) << "the old port stays open";
    EXPECT_EQ(channel.instance.timeout, 9);
    EXPECT_EQ(channel.instance.openParams.lineSettings.baudRate, 19200) << "recorded for later";
}

TEST_F(ChannelTest, ReconfigureOnAChannelStartedWithoutAPort) {
    Channel channel;
    channel.Start("COM1", 0);
    EXPECT_EQ(channel.Run(OpenPort), 0) << "the fake opens even the empty name";
    EXPECT_EQ(fake::CallLog().front(), "CreateFile");
    channel.instance.port = nullptr;
    fake::Reset();
    EXPECT_EQ(channel.Reconfigure("COM3", 5), 0);
    EXPECT_EQ(channel.instance.openParams.openFlags, 0) << "only ColdStart records DTR on";
    EXPECT_EQ(fake::State().fDtrControl, 0);
}

TEST_F(ChannelTest, PurgeInputDiscardsWhatWaits) {
    Channel channel;
    channel.Start("COM1");
    fake::Reset();
    fake::Timeouts() = {0, 0, 40, 0, 0};
    fake::Arrive("stale");
    EXPECT_EQ(channel.Run(PurgeInput), 0);
    EXPECT_EQ(fake::CallLog(),
              (Log{"ClearCommError", "ClearCommError", "GetCommTimeouts",
                   "SetCommTimeouts 0/0/50/0/0", "ReadFile 512", "SetCommTimeouts 0/0/40/0/0"}));
    // On a closed port the calls fail, and the failed query is reported.
    channel.Run(ClosePort);
    log_.Clear();
    EXPECT_EQ(channel.Run(PurgeInput), 0);
    EXPECT_EQ(log_.formats(), (Log{"ClearCommError (Rx) failed %08lx"}));
}

TEST_F(ChannelTest, APortThatReplacesAnotherClosesItOnceTheNewOneIsOpen) {
    const QivPortHandle second = reinterpret_cast<QivPortHandle>(static_cast<intptr_t>(0x5555));
    const struct {
        const char *what;
        std::function<int32_t(Channel &)> reopen;
    } cases[] = {
        // Another device each time: a start on the channel's own device
        // lets go of it first (below).
        {"ColdStart",
         [](Channel &c) {
             return c.Start(strcmp(c.instance.openParams.portName, "COM2") == 0 ? "COM3" : "COM2");
         }},
        {"OpenPort", [](Channel &c) { return c.Run(OpenPort); }},
        {"ReconfigurePort, same name", [](Channel &c) { return c.Reconfigure("COM1", 4); }},
    };
    for (const auto &c : cases) {
        Channel channel;
        channel.Start("COM1");
        fake::Reset();
        fake::NextHandle(second);
        EXPECT_EQ(c.reopen(channel), 0) << c.what;
        EXPECT_EQ(channel.instance.port, second) << c.what;
        std::vector<fake::Call> closes;
        for (const fake::Call &call : fake::Calls()) {
            if (call.name == "CloseHandle")
                closes.push_back(call);
        }
        ASSERT_EQ(closes.size(), 1u) << c.what;
        EXPECT_EQ(closes[0].port, fake::kHandle) << c.what << ": the old port closed";

        // A new port that does not open leaves the old one as it was.
        fake::Reset();
        fake::FailNext("CreateFile");
        EXPECT_EQ(c.reopen(channel), 2) << c.what;
        EXPECT_EQ(channel.instance.port, second) << c.what;
        for (const std::string &call : fake::CallLog())
            EXPECT_NE(call, "CloseHandle") << c.what;
    }
}

TEST_F(ChannelTest, AChannelClosesOnlyAPortThatItOpened) {
    const QivPortHandle second = reinterpret_cast<QivPortHandle>(static_cast<intptr_t>(0x5555));
    const QivPortHandle hostsOwn = reinterpret_cast<QivPortHandle>(static_cast<intptr_t>(0x77));
    const struct {
        const char *what;
        QivPortHandle inBlock;  // what B's block holds before its start
    } cases[] = {
        {"a block copied from a running channel's", fake::kHandle},
        {"a block never zeroed", hostsOwn},
    };
    for (const auto &c : cases) {
        Channel a;
        ASSERT_EQ(a.Start("COM1"), 0);
        Channel b;
        memcpy(&b.instance, &a.instance, sizeof b.instance);
        b.instance.port = c.inBlock;
        fake::Reset();
        fake::NextHandle(second);
        EXPECT_EQ(b.Start("COM2"), 0) << c.what;
        EXPECT_EQ(b.instance.port, second) << c.what;
        EXPECT_EQ(b.Run(ClosePort), 0) << c.what;
        EXPECT_EQ(b.Run(EndQiv), 0) << c.what;
        for (const fake::Call &call : fake::Calls()) {
            if (call.name == "CloseHandle") {
                EXPECT_EQ(call.port, second) << c.what << ": only B's own port is closed";
            }
        }
        // A block that holds another's handle closes nothing either.
        Channel copy;
        memcpy(&copy.instance, &a.instance, sizeof copy.instance);
        fake::Reset();
        EXPECT_EQ(copy.Run(ClosePort), 0) << c.what;
        EXPECT_TRUE(fake::CallLog().empty()) << c.what;
        EXPECT_EQ(copy.instance.port, nullptr) << c.what << ": forgotten";
        // A's port is still its own: its close is made.
        fake::Reset();
        EXPECT_EQ(a.Run(EndQiv), 0) << c.what;
        EXPECT_EQ(fake::CallLog(),
                  (Log{"EscapeCommFunction CLRDTR", "EscapeCommFunction CLRRTS", "CloseHandle"}))
            << c.what;
    }
}

TEST_F(ChannelTest, ASecondColdStartOnItsOwnPortLetsGoOfItFirst) {
    Channel channel;
    ASSERT_EQ(channel.Start("COM1"), 0);
    for (int start = 0; start < 3; ++start) {
        fake::Reset();
        EXPECT_EQ(channel.Start("COM1"), 0) << start;
        const Log calls = fake::CallLog();
        ASSERT_GE(calls.size(), 4u);
        EXPECT_EQ(Log(calls.begin(), calls.begin() + 4),
                  (Log{"EscapeCommFunction CLRDTR", "EscapeCommFunction CLRRTS", "CloseHandle",
                       "CreateFile COM1"}))
            << start;
        EXPECT_EQ(channel.instance.port, fake::kHandle);
    }
    // Another device stays open until the new one has opened (see above).
    fake::Reset();
    fake::FailNext("CreateFile");
    EXPECT_EQ(channel.Start("COM2"), 2);
    for (const std::string &call : fake::CallLog())
        EXPECT_NE(call, "CloseHandle");
    EXPECT_EQ(channel.instance.port, fake::kHandle);
}

}  // namespace
