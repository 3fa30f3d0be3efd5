// uart_trace_check: judges one uart lane session (uart_lane --out DIR) from
// the UART's own side, the register trace that QEMU kept.
//
// usage: uart_trace_check CHECK DIR
//   line-settings  the UART's format and modem lines at each moment the guest marked
//   rts-keying     RTS up at least 1 ms before each frame, down only after the
//                  transmitter is empty; the frames are those the controller received
//   dtr            DTR up while the port is open, lowered before each close
//   driver-log     no failed line control in the driver's log messages
//   drain-time     the time from the last character to RTS down (figures)
// Exit status: 0 passed, 1 failed, 77 when the session did not run here.
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "uart/uart_trace.h"

namespace {

using uart_trace::Event;
using uart_trace::Frame;
using uart_trace::Ms;

constexpr int kSkipped = 77;
constexpr int64_t kMinRtsLeadMicros = 1000;

struct Session {
    std::string dir;
    std::vector<Event> events;
    std::vector<std::string> traceLines;
};

std::vector<std::string> Lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

void PrintSpread(const char *what, const std::vector<double> &values) {
    const uart_trace::Spread spread = uart_trace::SpreadOf(values);
    if (spread.count == 0) {
        printf("%s: no frames\n", what);
        return;
    }
    printf("%s: %zu frames, min %.3f ms, median %.3f ms, max %.3f ms\n", what, spread.count,
           spread.min, spread.median, spread.max);
}

int LineSettings(const Session &session) {
    int failures = 0, marks = 0;
    for (const std::string &line : Lines(session.dir + "/marks.txt")) {
        std::istringstream words(line);
        int64_t micros = 0;
        std::string expectation;
        if (!(words >> micros) || !std::getline(words >> std::ws, expectation))
            continue;
        ++marks;
        const uart_trace::LineState state = uart_trace::StateAt(session.events, micros);
        const std::vector<std::string> differences = uart_trace::CompareState(state, expectation);
        printf("%s %-52s LCR 0x%02X MCR 0x%02X, QEMU's model: %llu bit/s parity %c %d/%d\n",
               differences.empty() ? "ok  " : "FAIL", expectation.c_str(), state.lineControl,
               state.modemControl, static_cast<unsigned long long>(state.baud), state.modelParity,
               state.dataBits, state.stopBits);
        for (const std::string &difference : differences)
            printf("       %s\n", difference.c_str());
        failures += differences.empty() ? 0 : 1;
    }
    if (marks == 0) {
        printf("FAIL: the guest marked no moment to judge\n");
        return 1;
    }
    printf("%d of %d states as expected\n", marks - failures, marks);
    return failures == 0 ? 0 : 1;
}

// The trace lines of one frame, from RTS up to RTS down.
void PrintExcerpt(const Session &session, const Frame &frame) {
    const size_t from = frame.rtsUpLine != 0 ? frame.rtsUpLine : frame.firstLine;
    const size_t to = frame.endLine != 0 ? frame.endLine : frame.firstLine;
    printf("one frame as the UART saw it (trace lines %zu to %zu):\n", from, to);
    for (size_t line = from; line <= to && line <= session.traceLines.size(); ++line)
        printf("  %s\n", session.traceLines[line - 1].c_str());
}

int RtsKeying(const Session &session) {
    const std::vector<Frame> frames = uart_trace::Frames(session.events, kMinRtsLeadMicros);
    int failures = 0;
    std::vector<double> leads;
    for (const Frame &frame : frames) {
        if (frame.rtsUp >= 0)
            leads.push_back(Ms(frame.rtsUp, frame.firstChar));
        for (const std::string &problem : frame.problems) {
            printf("FAIL frame at trace line %zu (%s): %s\n", frame.firstLine,
                   uart_trace::Visible(frame.text).c_str(), problem.c_str());
        }
        failures += frame.problems.empty() ? 0 : 1;
    }
    // What went out between RTS up and down is what the controller received.
    const std::vector<std::string> received = Lines(session.dir + "/controller-frames.txt");
    size_t matched = 0;
    while (matched < frames.size() && matched < received.size() &&
           uart_trace::Visible(frames[matched].text) == received[matched]) {
        ++matched;
    }
    if (matched != frames.size() || matched != received.size()) {
        printf("FAIL: the UART sent %zu frames, the controller received %zu; they part at %zu",
               frames.size(), received.size(), matched);
        if (matched < frames.size())
            printf(" (UART: %s)", uart_trace::Visible(frames[matched].text).c_str());
        if (matched < received.size())
            printf(" (controller: %s)", received[matched].c_str());
        printf("\n");
        ++failures;
    }
    size_t empty = 0;
    double longest = 0;
    for (const uart_trace::RtsPulse &pulse : uart_trace::RtsPulses(session.events)) {
        if (pulse.characters == 0 && pulse.down >= 0) {
            ++empty;
            longest = std::max(longest, Ms(pulse.up, pulse.down));
        }
    }
    for (const Frame &frame : frames) {
        if (frame.problems.empty() && frame.text.compare(0, 6, "%01#RD") == 0) {
            PrintExcerpt(session, frame);
            break;
        }
    }
    PrintSpread("RTS up to the first character", leads);
    std::vector<double> lateDowns;
    for (const Frame &frame : frames) {
        if (frame.answerWhileKeyed >= 0 && frame.rtsDown >= 0)
            lateDowns.push_back(Ms(frame.lastChar, frame.rtsDown));
    }
    // Not judged: a matter of the guest's scheduling and of the simulator's
    // 2 ms scan, neither of them a figure of real hardware.
    PrintSpread("answer coming in before RTS was down (last character to RTS down)", lateDowns);
    printf("RTS up with no character sent: %zu times, the longest %.3f ms\n", empty, longest);
    printf("%zu frames, %d with a fault of their keying\n", frames.size(), failures);
    return frames.empty() || failures != 0 ? 1 : 0;
}

int Dtr(const Session &session) {
    const std::vector<Frame> frames = uart_trace::Frames(session.events, kMinRtsLeadMicros);
    const std::vector<uart_trace::PortSession> sessions =
        uart_trace::Sessions(session.events, frames);
    int failures = 0;
    size_t used = 0;
    for (const uart_trace::PortSession &port : sessions) {
        used += port.frames != 0 ? 1 : 0;
        for (const std::string &problem : port.problems)
            printf("FAIL port opened at trace line %zu: %s\n", port.openLine, problem.c_str());
        failures += port.problems.empty() ? 0 : 1;
    }
    printf("%zu openings of the port by the kernel, %zu of them with frames; %d with a fault\n",
           sessions.size(), used, failures);
    return used == 0 || failures != 0 ? 1 : 0;
}

int DriverLog(const Session &session) {
    static const char *const kLineControlFailures[] = {
        "EscapeCommFunction fail",
        "WaitTxEmpty() WaitCommEvent() EV_TXEMPTY fail",
        "ClearCommError (Rx) failed",
        "GetCommModemStatus fail",
    };
    int failures = 0, starts = 0;
    const std::vector<std::string> messages = Lines(session.dir + "/driver-log.txt");
    for (const std::string &message : messages) {
        starts += message.find("ColdStart() end OK") != std::string::npos ? 1 : 0;
        for (const char *failure : kLineControlFailures) {
            if (message.find(failure) != std::string::npos) {
                printf("FAIL: %s\n", message.c_str());
                ++failures;
            }
        }
    }
    printf("%zu messages from the driver, %d channel starts, %d failed line controls\n",
           messages.size(), starts, failures);
    // No start at all would mean that the messages never reached the lane.
    return starts == 0 || failures != 0 ? 1 : 0;
}

int DrainTime(const Session &session) {
    std::vector<double> afterEmpty, afterLast;
    for (const Frame &frame : uart_trace::Frames(session.events, kMinRtsLeadMicros)) {
        if (frame.rtsDown < 0 || frame.transmitterEmpty < 0)
            continue;
        afterEmpty.push_back(Ms(frame.transmitterEmpty, frame.rtsDown));
        afterLast.push_back(Ms(frame.lastChar, frame.rtsDown));
    }
    printf("figures of QEMU's emulated 16550 under software emulation, not of hardware:\n");
    PrintSpread("transmitter empty (LSR TEMT read) to RTS down", afterEmpty);
    PrintSpread("last character (THR write) to RTS down", afterLast);
    return afterEmpty.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::map<std::string, std::function<int(const Session &)>> checks = {
        {"line-settings", LineSettings}, {"rts-keying", RtsKeying}, {"dtr", Dtr},
        {"driver-log", DriverLog},       {"drain-time", DrainTime},
    };
    if (argc != 3 || checks.count(argv[1]) == 0) {
        fprintf(stderr,
                "usage: uart_trace_check line-settings|rts-keying|dtr|driver-log|drain-time "
                "DIR\n");
        return 2;
    }
    Session session;
    session.dir = argv[2];
    const std::vector<std::string> skipped = Lines(session.dir + "/skipped");
    if (!skipped.empty()) {
        printf("uart lane skipped: %s\n", skipped.front().c_str());
        return kSkipped;
    }
    std::ifstream trace(session.dir + "/trace.log");
    session.events = uart_trace::Parse(trace);
    session.traceLines = Lines(session.dir + "/trace.log");
    if (session.events.empty()) {
        printf("FAIL: no serial events in %s/trace.log\n", session.dir.c_str());
        return 1;
    }
    return checks.at(argv[1])(session);
}
