// A channel to the controllers on one serial line: the driver called through
// QivMain as a host calls it. A program may run one session per line, each
// on a thread of its own; the calls on one session stay on its thread.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "qivma.h"
#include "tools/hostkit/line_settings.h"

class TcpLine;

// The line as the driver opens it.
struct LineOptions {
    std::string port;  // the device: /dev/ttyUSB0, COM3, NULLDEV, tcp://HOST:PORT
    SerialLineSettings settings = kFactoryLineSettings;
    int timeoutMs = 40;  // a multiple of 10: the driver counts in 10 ms steps
};

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
    // What stopped the port, when portError is set: the system error's text,
    // or how a TCP line's connection ended.
    std::string portFailure;
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

    // Opens the port and starts the channel; false with a reason.
    bool Start(std::string *error);
    // Ends the channel and closes its port; Start may follow.
    void End();
    Outcome Read(const Tag &tag);
    // `words` in address order, as Read returns them.
    Outcome Write(const Tag &tag, const std::vector<uint16_t> &words);

    // The name the driver was given for the port.
    const std::string &PortName() const { return portName_; }
    // The port for people: that name, or a TCP line with the name that
    // carries it ("tcp://10.0.0.5:4001 on pts/3").
    std::string PortText() const;
    const LineOptions &Options() const { return options_; }
    // Before Start.
    void SetPort(const std::string &port) { options_.port = port; }
    void SetTimeout(int ms) { options_.timeoutMs = ms; }

  private:
    Outcome Transact(int32_t command, const Tag &tag, int16_t *buffer);
    std::string PortFailureText(uint32_t code) const;

    LineOptions options_;
    std::vector<unsigned char> instanceBlock_;  // as large as the driver asks
    DriverInstance *instance_ = nullptr;
    bool started_ = false;
    std::string portName_;
    std::string shortLink_;         // a link made so that the name fits the host's field
    std::unique_ptr<TcpLine> tcp_;  // the connection of a tcp:// port, while started
};
