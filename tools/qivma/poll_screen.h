// poll's table on a terminal: drawn over itself in place, never wider than
// the terminal, so that no row wraps and nothing scrolls.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// `text` cut to `columns` characters, an ellipsis marking the cut. Columns
// are counted in characters, not bytes.
std::string FitToWidth(const std::string &text, size_t columns);

// Response times of one tag's reads.
struct PollStats {
    long good = 0;
    long failed = 0;
    double minMs = 0, maxMs = 0, sumMs = 0;

    void Add(bool ok, double ms);
    double AverageMs() const;
    // "10 good, 0 failed (0% lost), response min/avg/max 20.1/20.3/20.9 ms"
    std::string Describe() const;
};

struct PollRow {
    std::string label;
    const PollStats *stats;
    double lastMs;
    std::string value;  // or why the read failed
};

// The screen's lines: a title, the column headers once, a row per element,
// as many as the terminal holds. Each line fits `columns`.
std::vector<std::string> PollTable(const std::string &title, const std::vector<PollRow> &rows,
                                   size_t columns, size_t lines);

// The escape sequences that draw `lines` from the top of the screen over what
// was there: each line cleared to its end, the rest of the screen below.
std::string DrawInPlace(const std::vector<std::string> &lines, bool first);
