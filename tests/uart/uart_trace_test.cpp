// The trace reader and its judgements, on a recorded excerpt of the lane's
// trace (one ColdStart, one read, one close on the emulated 16550) and on
// copies of it edited to break the keying.
#include "uart/uart_trace.h"

#include <stdio.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using uart_trace::Event;

std::vector<std::string> ReadLines(const std::string &name) {
    std::ifstream in(std::string(QIVMA_UART_TEST_DATA) + "/" + name);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<Event> EventsOf(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    std::istringstream in(text);
    return uart_trace::Parse(in);
}

std::vector<Event> Recorded(const std::string &name) {
    return EventsOf(ReadLines(name));
}

std::string Problems(const std::vector<std::string> &problems) {
    std::string text;
    for (const std::string &problem : problems)
        text += problem + "; ";
    return text;
}

constexpr int64_t kLead = 1000;
constexpr char kRequest[] = "%01#RDD000030000355\r";

TEST(UartTraceLine, ReadsEachKindOfEventAndNothingElse) {
    const struct {
        const char *text;
        bool parsed;
        Event::Kind kind;
        int64_t micros;
        unsigned offset, value;
    } cases[] = {
        {"15523@1796736501.913202:serial_write write addr 0x00 val 0x25", true, Event::Kind::kWrite,
         1796736501913202, 0, 0x25},
        {"7@12.000005:serial_read read addr 0x05 val 0x60", true, Event::Kind::kRead, 12000005, 5,
         0x60},
        {"7@12.5:serial_write write addr 0x08 val 0x00", false, Event::Kind::kWrite, 0, 0, 0},
        {"serial_write write addr 0x00 val 0x25", false, Event::Kind::kWrite, 0, 0, 0},
        {"7@12.000005:virtio_serial_throttle_port port 1", false, Event::Kind::kWrite, 0, 0, 0},
        {"7@12.000005:serial_read read addr 0x05", false, Event::Kind::kRead, 0, 0, 0},
        {"", false, Event::Kind::kWrite, 0, 0, 0},
    };
    for (const auto &c : cases) {
        Event event;
        ASSERT_EQ(uart_trace::ParseLine(c.text, &event), c.parsed) << c.text;
        if (!c.parsed)
            continue;
        EXPECT_EQ(event.kind, c.kind) << c.text;
        EXPECT_EQ(event.micros, c.micros) << c.text;
        EXPECT_EQ(event.offset, c.offset) << c.text;
        EXPECT_EQ(event.value, c.value) << c.text;
    }
    Event parameters;
    ASSERT_TRUE(uart_trace::ParseLine(
        "9@3.000001:serial_update_parameters baudrate=9600 parity='E' data=7 stop=2", &parameters));
    EXPECT_EQ(parameters.kind, Event::Kind::kParameters);
    EXPECT_EQ(parameters.baud, 9600u);
    EXPECT_EQ(parameters.parity, 'E');
    EXPECT_EQ(parameters.dataBits, 7);
    EXPECT_EQ(parameters.stopBits, 2);
}

TEST(UartTrace, TheRecordedReadIsOneFrameKeyedAsPromised) {
    const std::vector<Event> events = Recorded("one_read.trace");
    ASSERT_EQ(events.size(), 105u);
    const std::vector<uart_trace::Frame> frames = uart_trace::Frames(events, kLead);
    ASSERT_EQ(frames.size(), 1u) << "the divisor written at offset 0 is no character";
    const uart_trace::Frame &frame = frames[0];
    EXPECT_EQ(frame.text, kRequest);
    EXPECT_EQ(frame.problems, std::vector<std::string>());
    EXPECT_EQ(frame.rtsUpLine, 27u);
    EXPECT_EQ(frame.firstLine, 32u);
    EXPECT_EQ(frame.endLine, 59u);
    EXPECT_DOUBLE_EQ(uart_trace::Ms(frame.rtsUp, frame.firstChar), 1.295);
    EXPECT_DOUBLE_EQ(uart_trace::Ms(frame.lastChar, frame.transmitterEmpty), 0.039);
    EXPECT_DOUBLE_EQ(uart_trace::Ms(frame.transmitterEmpty, frame.rtsDown), 0.011);
    EXPECT_TRUE(frame.dtr);

    // The kernel's own RTS at the open, gone before the driver keys the frame.
    const std::vector<uart_trace::RtsPulse> pulses = uart_trace::RtsPulses(events);
    ASSERT_EQ(pulses.size(), 2u);
    EXPECT_EQ(pulses[0].upLine, 25u);
    EXPECT_EQ(pulses[0].characters, 0u);
    EXPECT_DOUBLE_EQ(uart_trace::Ms(pulses[0].up, pulses[0].down), 0.197);
    EXPECT_EQ(pulses[1].characters, 20u);

    const std::vector<uart_trace::PortSession> sessions = uart_trace::Sessions(events, frames);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].openLine, 3u);
    EXPECT_EQ(sessions[0].frames, 1u);
    EXPECT_GT(sessions[0].closed, sessions[0].opened);
    EXPECT_EQ(sessions[0].problems, std::vector<std::string>());
}

TEST(UartTrace, EditedRecordingsAreCaught) {
    const struct {
        const char *file;
        const char *problem;
    } cases[] = {
        {"rts_before_temt.trace",
         "RTS fell 0.002 ms after the last character, before the line status showed the "
         "transmitter empty"},
        {"rts_lead_short.trace",
         "the first character went out 0.602 ms after RTS rose (less than 1.000 ms)"},
    };
    for (const auto &c : cases) {
        const std::vector<uart_trace::Frame> frames = uart_trace::Frames(Recorded(c.file), kLead);
        ASSERT_EQ(frames.size(), 1u) << c.file;
        EXPECT_EQ(frames[0].text, kRequest) << c.file;
        EXPECT_EQ(frames[0].problems, std::vector<std::string>{c.problem}) << c.file;
    }
}

// Lines of the recording taken out or changed, each breaking one promise.
TEST(UartTrace, BrokenKeyingAndModemLinesAreCaught) {
    using Lines = std::vector<std::string>;
    const auto without = [](size_t line) {
        return [line](Lines &lines) { lines.erase(lines.begin() + static_cast<long>(line - 1)); };
    };
    const auto lowerRtsAt = [](size_t line) {
        return [line](Lines &lines) {
            // A modem control write with DTR up and RTS down amid the frame.
            const std::string stamp = lines[line - 1].substr(0, lines[line - 1].find(':'));
            lines.insert(lines.begin() + static_cast<long>(line),
                         stamp + ":serial_write write addr 0x04 val 0x09");
        };
    };
    const struct {
        const char *what;
        std::function<void(Lines &)> edit;
        const char *frameProblem;    // of the first frame, or ""
        const char *sessionProblem;  // or ""
        size_t frames;
    } cases[] = {
        {"RTS never raised", without(27), "RTS was down when the first character went out", "", 1},
        {"RTS never lowered", [](Lines &lines) { lines.resize(58); },
         "RTS did not fall after the frame before the trace ended",
         "the port was still open when the trace ended", 1},
        {"RTS lowered amid the frame", lowerRtsAt(40),
         "RTS fell 0.000 ms after the last character, before the line status showed the "
         "transmitter empty",
         "", 2},
        {"DTR not lowered before the close", without(94), "",
         "DTR was still up when the kernel shut the port down", 1},
        {"no shut-down", without(98), "", "the port was still open when the trace ended", 1},
    };
    for (const auto &c : cases) {
        Lines lines = ReadLines("one_read.trace");
        c.edit(lines);
        const std::vector<Event> events = EventsOf(lines);
        const std::vector<uart_trace::Frame> frames = uart_trace::Frames(events, kLead);
        ASSERT_EQ(frames.size(), c.frames) << c.what;
        const std::string frameProblems = Problems(frames[0].problems);
        EXPECT_EQ(frameProblems, *c.frameProblem != '\0' ? std::string(c.frameProblem) + "; " : "")
            << c.what;
        if (c.frames == 2) {
            EXPECT_EQ(Problems(frames[1].problems),
                      "RTS was down when the first character went out; ")
                << c.what << ": the rest of the frame went out without RTS";
        }
        const std::vector<uart_trace::PortSession> sessions = uart_trace::Sessions(events, frames);
        ASSERT_EQ(sessions.size(), 1u) << c.what;
        EXPECT_EQ(Problems(sessions[0].problems),
                  *c.sessionProblem != '\0' ? std::string(c.sessionProblem) + "; " : "")
            << c.what;
    }
}

// RTS lowered only at the close, after the answer had come in: the keying
// holds its order, and the answer heard while keyed is noted.
TEST(UartTrace, AnAnswerHeardWhileKeyedIsNoted) {
    std::vector<std::string> lines = ReadLines("one_read.trace");
    const std::vector<uart_trace::Frame> prompt = uart_trace::Frames(EventsOf(lines), kLead);
    ASSERT_EQ(prompt.size(), 1u);
    EXPECT_EQ(prompt[0].answerWhileKeyed, -1);
    lines.erase(lines.begin() + 58);  // the modem control write that lowered RTS
    const std::vector<uart_trace::Frame> late = uart_trace::Frames(EventsOf(lines), kLead);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].problems, std::vector<std::string>());
    EXPECT_EQ(late[0].endLine, 93u) << "DTR's write before the close lowers RTS too";
    EXPECT_DOUBLE_EQ(uart_trace::Ms(late[0].lastChar, late[0].answerWhileKeyed), 2.201);
}

TEST(UartTrace, TheStateAtEachMomentAgainstAnExpectation) {
    const std::vector<Event> events = Recorded("one_read.trace");
    const int64_t opened = events[2].micros;       // OUT2 up, before the format
    const int64_t configured = events[25].micros;  // the driver has lowered RTS
    const int64_t keyed = events[26].micros;       // RTS up for the frame
    const int64_t closing = events[93].micros;     // DTR down before the close
    const std::string defaults = "rate=19200 parity=O data=8 stop=1";
    const struct {
        int64_t at;
        std::string expectation;
        std::vector<std::string> differences;
    } cases[] = {
        {configured, defaults + " rts=0 dtr=1", {}},
        {keyed, defaults + " rts=1 dtr=1", {}},
        {keyed, "rts=0", {"rts: the UART has 1, expected 0"}},
        {closing, "dtr=0 rts=0", {}},
        {opened, "rate=19200 parity=N data=8", {}},
        {configured,
         "rate=9600 parity=E data=7 stop=2",
         {"rate: the UART has 19200, expected 9600", "parity: QEMU's model has O, expected E",
          "parity: the UART has O, expected E", "data: the UART has 8, expected 7",
          "stop: the UART has 1, expected 2"}},
        {configured, "baud=19200", {"unknown expectation 'baud=19200'"}},
        {events[0].micros - 1, "rts=0", {"the UART has not been given a line format yet"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(uart_trace::CompareState(uart_trace::StateAt(events, c.at), c.expectation),
                  c.differences)
            << c.expectation;
    }
}

// The line control register as the 8250 driver writes it for each format.
TEST(UartTrace, ParityFromTheLineControlRegister) {
    const struct {
        unsigned lineControl;
        char modelParity;  // what QEMU's model reports
        const char *expectation;
        size_t differences;
    } cases[] = {
        {0x0B, 'O', "parity=O data=8 stop=1", 0},
        {0x1E, 'E', "parity=E data=7 stop=2", 0},
        {0x2B, 'O', "parity=M", 0},
        {0x3B, 'E', "parity=S", 0},
        {0x03, 'N', "parity=N", 0},
        {0x2B, 'O', "parity=O", 1},
        {0x0B, 'E', "parity=O", 1},
    };
    for (const auto &c : cases) {
        char text[512];
        snprintf(text, sizeof text,
                 "1@1.000001:serial_write write addr 0x03 val 0x%02x\n"
                 "1@1.000002:serial_update_parameters baudrate=19200 parity='%c' data=%d "
                 "stop=%d\n",
                 c.lineControl, c.modelParity, static_cast<int>(c.lineControl & 3) + 5,
                 (c.lineControl & 4) != 0 ? 2 : 1);
        std::istringstream in(text);
        const uart_trace::LineState state = uart_trace::StateAt(uart_trace::Parse(in), 1000002);
        EXPECT_EQ(uart_trace::CompareState(state, c.expectation).size(), c.differences)
            << std::hex << c.lineControl << " " << c.expectation;
    }
}

TEST(UartTrace, SpreadOfFigures) {
    const struct {
        std::vector<double> values;
        double min, median, max;
    } cases[] = {
        {{3, 1, 2}, 1, 2, 3},
        {{4, 1, 3, 2}, 1, 2.5, 4},
        {{0.5}, 0.5, 0.5, 0.5},
    };
    for (const auto &c : cases) {
        const uart_trace::Spread spread = uart_trace::SpreadOf(c.values);
        EXPECT_EQ(spread.count, c.values.size());
        EXPECT_DOUBLE_EQ(spread.min, c.min);
        EXPECT_DOUBLE_EQ(spread.median, c.median);
        EXPECT_DOUBLE_EQ(spread.max, c.max);
    }
    EXPECT_EQ(uart_trace::SpreadOf({}).count, 0u);
    EXPECT_EQ(uart_trace::Visible(std::string("%01\r\x01", 5)), "%01<CR>\\x01");
}

}  // namespace
