// The emulated 16550 UART as its own register trace shows it: QEMU's
// serial_write, serial_read and serial_update_parameters events, read back
// into what the UART was told to do (characters sent, modem lines, line
// format) and judged against what the driver promises on a half-duplex line.
#pragma once

#include <stdint.h>

#include <istream>
#include <string>
#include <vector>

namespace uart_trace {

// Register offsets and bits of a 16550, as the trace names them.
constexpr uint8_t kRegData = 0;  // THR when written, unless the divisor latch is selected
constexpr uint8_t kRegLineControl = 3;
constexpr uint8_t kRegModemControl = 4;
constexpr uint8_t kRegLineStatus = 5;

constexpr uint8_t kLcrWordLength = 0x03;
constexpr uint8_t kLcrTwoStopBits = 0x04;
constexpr uint8_t kLcrParityEnable = 0x08;
constexpr uint8_t kLcrEvenParity = 0x10;
constexpr uint8_t kLcrStickParity = 0x20;
constexpr uint8_t kLcrDivisorLatch = 0x80;

constexpr uint8_t kMcrDtr = 0x01;
constexpr uint8_t kMcrRts = 0x02;
constexpr uint8_t kMcrOut2 =
    0x08;  // the PC's interrupt gate: set while the kernel has the port open

constexpr uint8_t kLsrDataReady = 0x01;         // DR: a received character waits in RBR
constexpr uint8_t kLsrTransmitterEmpty = 0x40;  // TEMT: holding and shift register both empty

// One line of the trace.
struct Event {
    enum class Kind { kWrite, kRead, kParameters };
    Kind kind = Kind::kWrite;
    int64_t micros = 0;  // the host's wall clock when QEMU logged it
    size_t line = 0;     // 1-based line number in the trace file
    uint8_t offset = 0;  // register offset of a read or write
    uint8_t value = 0;
    // serial_update_parameters: the format as QEMU's UART model derived it.
    uint64_t baud = 0;
    char parity = 'N';
    int dataBits = 0;
    int stopBits = 0;
};

// Parses "PID@SECONDS.MICROS:serial_write write addr 0xOO val 0xVV" and its
// serial_read and serial_update_parameters siblings; false for anything else.
bool ParseLine(const std::string &text, Event *event);
// Every serial event of a trace, in order; other lines are skipped.
std::vector<Event> Parse(std::istream &in);

// The UART's settings and modem lines at one moment.
struct LineState {
    bool known = false;  // a serial_update_parameters event came before that moment
    uint64_t baud = 0;
    int dataBits = 0;
    int stopBits = 0;
    char parity = 'N';       // from the line control register: N, O, E, M (mark) or S (space)
    char modelParity = 'N';  // what QEMU's model made of it: N, O or E
    uint8_t lineControl = 0;
    uint8_t modemControl = 0;
    bool rts() const { return (modemControl & kMcrRts) != 0; }
    bool dtr() const { return (modemControl & kMcrDtr) != 0; }
};

// The state after every event logged at or before `micros`.
LineState StateAt(const std::vector<Event> &events, int64_t micros);

// Compares a state with "rate=19200 parity=O data=8 stop=1 rts=0 dtr=1" (any
// of the keys); the differences, one text each, or an unknown key.
std::vector<std::string> CompareState(const LineState &state, const std::string &expectation);

// One frame as the UART sent it: a run of characters written to THR with no
// write to the modem control register among them, and the keying around it.
struct Frame {
    std::string text;
    size_t firstLine = 0;           // trace line of its first character
    int64_t rtsUp = -1;             // when RTS last rose before it; -1: RTS was down
    size_t rtsUpLine = 0;           // trace line of that modem control write
    int64_t firstChar = 0;          // its first THR write
    int64_t lastChar = 0;           // its last THR write
    int64_t transmitterEmpty = -1;  // the first LSR read showing TEMT after the last character
    int64_t rtsDown = -1;           // the MCR write that ended it, if it lowered RTS
    size_t endLine = 0;             // trace line of that MCR write (0: none came)
    int64_t answerWhileKeyed = -1;  // the first character received while RTS was still up
    bool dtr = false;               // DTR while it went out
    std::vector<std::string> problems;
};

// The frames of a trace, each checked: RTS up at least `minLeadMicros`
// before the first character, the empty transmitter read after the last one,
// and only then RTS down. An answer that begins to come in before RTS is down
// is noted, not judged: whether the sender is off the line in time depends on
// how soon the guest's scheduler lets it lower RTS and on how soon the
// controller answers, which the emulator does not hold to any real figure.
std::vector<Frame> Frames(const std::vector<Event> &events, int64_t minLeadMicros);

// One stretch of time with RTS up, and the characters sent within it.
struct RtsPulse {
    int64_t up = 0;
    int64_t down = -1;  // -1: still up at the end of the trace
    size_t upLine = 0;
    size_t characters = 0;
};

// Every time RTS was up: with the frames, and also when nothing went out.
std::vector<RtsPulse> RtsPulses(const std::vector<Event> &events);

// One opening of the port by the kernel: from the modem control write that
// sets OUT2 to the one that clears it (the 8250 driver's start-up and
// shut-down).
struct PortSession {
    int64_t opened = 0;
    int64_t closed = -1;  // -1: still open at the end of the trace
    size_t openLine = 0;
    size_t frames = 0;
    std::vector<std::string> problems;
};

// Each session, checked: DTR up with every frame, and lowered by its own
// write before the kernel's shut-down.
std::vector<PortSession> Sessions(const std::vector<Event> &events,
                                  const std::vector<Frame> &frames);

// Milliseconds between two time stamps, for people.
double Ms(int64_t fromMicros, int64_t toMicros);

// Minimum, median and maximum of a set of figures.
struct Spread {
    size_t count = 0;
    double min = 0, median = 0, max = 0;
};
Spread SpreadOf(std::vector<double> values);

// The text of a frame with its carriage return made visible.
std::string Visible(const std::string &bytes);

}  // namespace uart_trace
