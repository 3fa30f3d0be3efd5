// poll's table on a terminal: drawn over itself in place, never wider than
// the terminal, so that no row wraps and nothing scrolls.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// `text` cut to `columns` characters, an ellipsis marking the cut. Columns
// are counted in characters, not bytes.
std::string FitToWidth(const std::string &text, size_t columns);

// One tag's reads: how many came, how many failed, the attempts beyond the
// first that they took, and their times.
struct PollStats {
    long good = 0;
    long failed = 0;
    long retries = 0;
    double minMs = 0, maxMs = 0, sumMs = 0;

    void Add(bool ok, double ms, long retried);
    double AverageMs() const;
    // The failed reads in percent, rounded; never 0 when one failed, nor 100
    // when one came.
    long LostPercent() const;
};

// The summary as a table that fits 80 columns: a header and a row per tag.
std::vector<std::string> SummaryTable(const std::vector<std::string> &labels,
                                      const std::vector<const PollStats *> &stats);

struct PollRow {
    std::string label;
    const PollStats *stats;
    double lastMs;
    std::string value;  // or why the read failed
};

// The screen's lines: a title, the column headers once, a row per element,
// then `notes` (what to try, the trace), as many as the terminal holds, and
// `footer` last. Each line fits `columns`.
std::vector<std::string> PollTable(const std::string &title, const std::vector<PollRow> &rows,
                                   const std::vector<std::string> &notes, const std::string &footer,
                                   size_t columns, size_t lines);

// The escape sequences that draw `lines` from the top of the screen over what
// was there: each line cleared to its end, the rest of the screen below.
std::string DrawInPlace(const std::vector<std::string> &lines, bool first);
