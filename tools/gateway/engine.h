// The scan engine: one thread per line, each owning its line's channel. It
// reads the line's tags in block frames at their rates, carries out the
// front ends' writes between reads, takes a station that keeps failing off
// scan for a while, and opens a failed port again with a back-off.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/gateway/config.h"
#include "tools/gateway/tag_table.h"
#include "tools/hostkit/tag_plan.h"

namespace gateway {

enum class WriteResult {
    kDone,        // the controller acknowledged every word
    kNoAnswer,    // the station did not answer, or is off scan
    kRefused,     // the station answered with an error, or a wrong frame
    kPortFailed,  // the line's port is not open
    kStopping,    // the gateway is stopping
};
const char *WriteResultText(WriteResult result);

// One tag's new value: its words in address order (a contact: 0 or 1).
struct TagWrite {
    size_t tag;
    std::vector<uint16_t> words;
};

// What one scan of a line sends: its block frames, and the time they take
// on the line at its rate.
struct FramePlan {
    std::string station;
    std::string request;  // e.g. "RD D100-D126"
    size_t words = 0;
    size_t tags = 0;
    size_t characters = 0;  // request and answer
    double lineMs = 0;
    int rateMs = 0;
};

struct LinePlan {
    std::vector<FramePlan> frames;
    double lineMs = 0;        // all frames of one scan
    size_t singleFrames = 0;  // frames that one read per tag would take
    double singleLineMs = 0;  // and their time on the line
};

class Engine {
  public:
    Engine(const Config &config, TagTable &table);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Plans every line's block frames; false with a reason for a tag that no
    // frame can read. Touches no port.
    bool Plan(std::string *error);
    const std::vector<LinePlan> &Plans() const { return plans_; }

    // Starts one thread per line. `ports`, when not empty, replaces each
    // line's port (the built-in simulator's pseudo-terminals).
    void Start(const std::vector<std::string> &ports = {});
    // Stops every line; each closes its port, its settings put back.
    void Stop();

    // Writes tags, all of one line, in the order given; the result comes once
    // the controller acknowledged them or did not.
    std::future<WriteResult> Write(std::vector<TagWrite> writes);
    // Reads a tag from its controller, then writes what `change` makes of
    // its words, with no other write of the line in between: a change of
    // part of a value made on the controller's value, not on the table's,
    // which may be a scan old.
    using Change = std::function<std::vector<uint16_t>(std::vector<uint16_t> words)>;
    std::future<WriteResult> Modify(size_t tag, Change change);

  private:
    class Line;

    const Config &config_;
    TagTable &table_;
    std::vector<LinePlan> plans_;
    std::vector<std::vector<std::vector<BlockFrame>>> blocks_;  // line, rate group, frame
    std::vector<std::vector<int>> rates_;                       // line, rate group
    std::vector<std::unique_ptr<Line>> lines_;
};

}  // namespace gateway
