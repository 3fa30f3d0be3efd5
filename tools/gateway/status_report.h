// What the status page, /status.json and /metrics say: the lines, the
// stations and the tags as the table holds them. Apart from the HTTP server,
// so that the tests reach them without one.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "tools/gateway/config.h"
#include "tools/gateway/tag_table.h"
#include "tools/hostkit/value_format.h"

namespace gateway {

// Each line's busy share and frames per second over the last seconds, from
// samples of its counters.
class LineRates {
  public:
    struct Rate {
        double utilisation = 0;  // of the time, characters were on the line
        double framesPerSecond = 0;
    };
    explicit LineRates(const Config &config) : config_(config) {}
    // Takes a sample of `lines` now, and returns the rates since the oldest
    // sample kept (at most about ten seconds back).
    std::vector<Rate> Update(const std::vector<LineStatus> &lines, SteadyTime now);

  private:
    struct Sample {
        SteadyTime at;
        std::vector<Counters> counters;
    };
    const Config &config_;
    std::deque<Sample> samples_;
};

// Frames that went out: one per attempt, and the resynchronisations' own.
uint64_t FramesOf(const Counters &counters);

// /status.json: {"gateway", "lines", "stations", "tags"}.
Json StatusJson(const Config &config, const TagTable &table,
                const std::vector<LineRates::Rate> &rates, SteadyTime started);

// /metrics in the Prometheus text format.
std::string MetricsText(const Config &config, const TagTable &table);

// The status page: plain HTML and a script that asks for status.json every
// `refreshMs`.
std::string StatusPage(int refreshMs);

}  // namespace gateway
