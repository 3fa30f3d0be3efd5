// What the command line asked for, once CLI11 has read it.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/hostkit/value_format.h"
#include "tools/qivma/session.h"

enum class OutputMode { kText, kJson, kJsonLines };

// The options that every command shares: the line and the output.
struct GlobalOptions {
    LineOptions line;
    SimulatorOptions sim;
    // --timeout was given; without it the tool picks one for the command.
    bool timeoutGiven = false;
    bool verbose = false;  // the driver's messages on stderr
    bool trace = false;
    bool quiet = false;  // values only
    OutputMode output = OutputMode::kText;
};

// --type not given: the type that each address suggests.
constexpr int32_t kTypeFromAddress = -1;

// How the addresses of read, write, poll and check are taken and shown.
struct TagOptions {
    std::vector<std::string> arguments;   // addresses, and values for write
    int32_t dataType = kTypeFromAddress;  // QIV_TYPE_*
    int count = 0;                        // 0: one value per address
    ValueFormat format = ValueFormat::kDefault;
    WordOrder wordOrder = WordOrder::kLowFirst;
    bool allowNonfinite = false;  // inf and nan may be written as floats
};

struct PollOptions {
    int intervalMs = 1000;
    int rounds = 0;  // 0: until interrupted
    std::string csvPath;
};

struct ScanOptions {
    std::string range;  // "FIRST-LAST", two decimal digits each; empty: 01-32
    std::string reg = "D0";
};

// A command line that cannot be followed: exit status 2. `reasons` adds
// lines under the message.
class UsageError : public std::runtime_error {
  public:
    explicit UsageError(const std::string &message, std::vector<std::string> reasons = {})
        : std::runtime_error(message), reasons_(std::move(reasons)) {}
    const std::vector<std::string> &reasons() const { return reasons_; }

  private:
    std::vector<std::string> reasons_;
};

// The exit statuses that the help promises.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
