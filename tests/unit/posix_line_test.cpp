// The choice between the two paths of the POSIX line settings, with calls
// that the test scripts: the classic termios calls for every rate that has a
// constant, termios2 only for the others.
#include "serial/posix_line.h"

#include <errno.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// What each scripted call does, and the calls made.
struct Script {
    bool classicReads = true;
    uint32_t classicRate = 0;  // the rate the classic read tells
    bool classicWrites = true;
    bool exactReads = true;
    uint32_t exactRate = 0;
    bool exactWrites = true;
    int refusal = ENOTTY;  // errno of a refused call
    std::vector<std::string> calls;
};

Script g_script;

bool Answer(const char *name, bool ok) {
    g_script.calls.push_back(name);
    if (!ok)
        errno = g_script.refusal;
    return ok;
}

bool ReadClassic(int, KernelLine *line) {
    *line = KernelLine{};
    line->cflag = 0x55;
    line->rate = g_script.classicRate;
    return Answer("read classic", g_script.classicReads);
}
bool WriteClassic(int, const KernelLine &) {
    return Answer("write classic", g_script.classicWrites);
}
bool ReadExact(int, KernelLine *line) {
    *line = KernelLine{};
    line->rate = g_script.exactRate;
    return Answer("read exact", g_script.exactReads);
}
bool WriteExact(int, const KernelLine &) {
    return Answer("write exact", g_script.exactWrites);
}

const LineCalls kScripted = {ReadClassic, WriteClassic, ReadExact, WriteExact};

using Calls = std::vector<std::string>;

TEST(PosixLineSettings, RatesWithAConstant) {
    const struct {
        uint32_t rate;
        bool constant;
    } cases[] = {
        {50, true},     {300, true},    {1200, true},   {9600, true},    {19200, true},
        {38400, true},  {57600, true},  {115200, true}, {0, false},      {49, false},
        {12345, false}, {19201, false}, {65535, false}, {100000, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(HasRateConstant(c.rate), c.constant) << c.rate;
    }
}

TEST(PosixLineSettings, AWriteTakesThePathOfItsRate) {
    const struct {
        const char *what;
        uint32_t rate;
        bool classicWrites, exactWrites;
        bool ok;
        Calls calls;
    } cases[] = {
        {"a standard rate", 19200, true, true, true, {"write classic"}},
        {"the slowest", 50, true, true, true, {"write classic"}},
        {"no constant", 12345, true, true, true, {"write exact"}},
        {"no constant, termios2 refused", 65535, true, false, false, {"write exact"}},
        // A standard rate that the device refuses is not tried again
        // another way: the refusal stands.
        {"a standard rate refused", 9600, false, true, false, {"write classic"}},
    };
    for (const auto &c : cases) {
        g_script = Script();
        g_script.classicWrites = c.classicWrites;
        g_script.exactWrites = c.exactWrites;
        g_script.refusal = ENOSYS;
        KernelLine line = {};
        line.rate = c.rate;
        errno = 0;
        EXPECT_EQ(WriteLineSettings(kScripted, 3, line), c.ok) << c.what;
        EXPECT_EQ(g_script.calls, c.calls) << c.what;
        if (!c.ok) {
            EXPECT_EQ(errno, ENOSYS) << c.what << ": the refusal's own error";
        }
    }
}

TEST(PosixLineSettings, AReadAsksTermios2OnlyForARateWithoutAConstant) {
    const struct {
        const char *what;
        bool classicReads;
        uint32_t classicRate;
        bool exactReads;
        uint32_t exactRate;
        bool ok;
        uint32_t rate;
        Calls calls;
    } cases[] = {
        {"a standard rate", true, 19200, true, 777, true, 19200, {"read classic"}},
        {"a rate in bit/s", true, 0, true, 12345, true, 12345, {"read classic", "read exact"}},
        // The rest of the settings still stands: the next write gives the rate.
        {"termios2 refused", true, 0, false, 0, true, 0, {"read classic", "read exact"}},
        {"the classic read refused", false, 0, true, 12345, false, 0, {"read classic"}},
    };
    for (const auto &c : cases) {
        g_script = Script();
        g_script.classicReads = c.classicReads;
        g_script.classicRate = c.classicRate;
        g_script.exactReads = c.exactReads;
        g_script.exactRate = c.exactRate;
        KernelLine line = {};
        EXPECT_EQ(ReadLineSettings(kScripted, 3, &line), c.ok) << c.what;
        EXPECT_EQ(g_script.calls, c.calls) << c.what;
        if (c.ok) {
            EXPECT_EQ(line.rate, c.rate) << c.what;
            EXPECT_EQ(line.cflag, 0x55u) << c.what << ": the classic read's flags";
        }
    }
}

}  // namespace
