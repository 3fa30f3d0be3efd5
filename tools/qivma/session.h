// The tool's channel to a controller: the driver called through QivMain as a
// host calls it, on a port or on the built-in simulator.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "qivma.h"

struct LineOptions {
    std::string port;  // the device; empty with `sim`
    bool sim = false;  // run the built-in simulator and use it as the port
    // The stations the simulator plays; empty: 01 and every station named.
    std::vector<std::string> simStations;
    uint16_t baud = 19200;
    uint16_t dataBits = 8;
    uint16_t parity = QIV_PARITY_ODD;
    uint16_t stopBits = QIV_STOPBITS_ONE;
    int timeoutMs = 40;
    bool verbose = false;  // the driver's messages on stderr
};

// A tag as the driver parsed it.
struct Tag {
    std::string address;
    int32_t dataType = 0;
    int32_t count = 0;  // 0: a single value; N: a block of N elements
    TagDefinition definition = {};
};

// What one read or write came to.
struct Outcome {
    int32_t status = 0;
    std::vector<int16_t> words;  // read: the buffer's words that hold the result
    std::string request;         // the frame as it went on the line ("" if none)
    std::string response;        // what came back to the last attempt
    double milliseconds = 0;
};

class Session {
  public:
    explicit Session(const LineOptions &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    static DriverInfo Info();
    // Parses a tag; false with every reason when the driver refuses it.
    static bool ParseTag(Tag &tag, std::vector<std::string> *reasons);

    // Starts the channel (and the simulator); false with a reason.
    bool Start(const std::vector<Tag> &tags, std::string *error);
    Outcome Read(const Tag &tag);
    Outcome Write(const Tag &tag, const std::vector<int16_t> &words);

    // Words a read fills: 1 (word 1), 2 (words 0 and 1), or the block's.
    static int WordsOf(const Tag &tag);
    // What a failed outcome means, for a person.
    std::string Explain(const Tag &tag, const Outcome &outcome) const;
    const std::string &PortName() const { return portName_; }

  private:
    Outcome Transact(int32_t command, const Tag &tag, int16_t *buffer);

    LineOptions options_;
    std::vector<unsigned char> instanceBlock_;  // as large as the driver asks
    DriverInstance *instance_ = nullptr;
    bool started_ = false;
    std::string portName_;
    std::string shortLink_;  // a link made so that the name fits the host's field
};
