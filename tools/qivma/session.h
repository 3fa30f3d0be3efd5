// The tool's channel to a controller: the driver called through QivMain as a
// host calls it, on a port or on the built-in simulator.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "qivma.h"

struct LineOptions {
    std::string port;  // the device; empty with `sim`
    // Linux: run the built-in simulator and use it as the port. Windows: talk
    // to fpsim.exe, which serves the far end of `simPort`'s null-modem pair.
    bool sim = false;
    std::string simPort;  // Windows: the COM port that `sim` opens
    // The stations the simulator plays; empty: 01 and every station named.
    std::vector<std::string> simStations;
    // Faults of the simulator's first answers, one each, in order.
    std::vector<std::string> simFaults;
    // "N:KIND": a fault of every Nth answer after those; empty for none.
    std::string simFaultEvery;
    uint16_t baud = 19200;
    uint16_t dataBits = 8;
    uint16_t parity = QIV_PARITY_ODD;
    uint16_t stopBits = QIV_STOPBITS_ONE;
    int timeoutMs = 40;  // a multiple of 10: the driver counts in 10 ms steps
    // --timeout was given; without it the tool picks one for the command.
    bool timeoutGiven = false;
    bool verbose = false;  // the driver's messages on stderr
};

// The rate and character format as people write them: "19200-8O1".
std::string LineSettingsText(const LineOptions &line);

// A tag as the driver parsed it.
struct Tag {
    std::string address;
    int32_t dataType = 0;
    int32_t count = 0;  // 0: a single value; N: a block of N elements
    TagDefinition definition = {};
};

// Bytes that the driver wrote, read or threw away, as its line monitor
// reported them.
struct LineEvent {
    int32_t kind;         // QIV_LINE_*
    uint64_t sinceStart;  // microseconds since the operation started
    std::string bytes;
};

// What one call of QivMain for a read or a write came to.
struct Outcome {
    int32_t status = 0;
    // A read's value in address order: one word, two for a 32-bit value, a
    // contact's 0 or 1, or a block's words.
    std::vector<uint16_t> words;
    std::string request;   // the frame as it went on the line ("" if none)
    std::string response;  // what came back to the last attempt
    double milliseconds = 0;
    std::vector<LineEvent> line;  // empty when the driver has no line monitor
    bool nullDevice = false;      // the channel had no device (NULLDEV)
    int timeoutMs = 0;            // each attempt's wait for its answer
    // The system's error code when the port refused a read or a write (the
    // line monitor's failure event); 0 when it never did.
    uint32_t portError = 0;
};

class Session {
  public:
    explicit Session(const LineOptions &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    static DriverInfo Info();
    // Parses a tag; false when the driver refuses it.
    static bool ParseTag(Tag &tag);

    // Starts the channel (and the simulator, playing the tags' stations);
    // false with a reason.
    bool Start(const std::vector<Tag> &tags, std::string *error);
    Outcome Read(const Tag &tag);
    // `words` in address order, as Read returns them.
    Outcome Write(const Tag &tag, const std::vector<uint16_t> &words);

    const std::string &PortName() const { return portName_; }
    const LineOptions &Options() const { return options_; }
    // The time-out the channel starts with (before Start).
    void SetTimeout(int ms) { options_.timeoutMs = ms; }

  private:
    Outcome Transact(int32_t command, const Tag &tag, int16_t *buffer);
    static void QIVMA_CALL OnLine(void *context, const QivLineEvent *event);

    LineOptions options_;
    std::vector<unsigned char> instanceBlock_;  // as large as the driver asks
    DriverInstance *instance_ = nullptr;
    bool started_ = false;
    std::string portName_;
    std::string shortLink_;       // a link made so that the name fits the host's field
    Outcome *capture_ = nullptr;  // the operation whose bytes the monitor records
    uint64_t operationStart_ = 0;
};
