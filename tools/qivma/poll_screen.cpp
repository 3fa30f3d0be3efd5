#include "tools/qivma/poll_screen.h"

#include <stdio.h>

namespace {

const char kEllipsis[] = "\xE2\x80\xA6";

// A UTF-8 continuation byte is not a character of its own.
bool StartsCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

size_t Characters(const std::string &text) {
    size_t n = 0;
    for (const char c : text)
        n += StartsCharacter(c) ? 1 : 0;
    return n;
}

// Labels as wide as the widest, within bounds: "01:D100-D101" is 12.
constexpr size_t kNarrowestLabel = 5;
constexpr size_t kWidestLabel = 16;

size_t LabelWidth(const std::vector<std::string> &labels) {
    size_t width = kNarrowestLabel;
    for (const std::string &label : labels)
        width = Characters(label) > width ? Characters(label) : width;
    return width < kWidestLabel ? width : kWidestLabel;
}

std::string Padded(const std::string &text, size_t width) {
    const std::string cut = FitToWidth(text, width);
    return cut + std::string(width - Characters(cut), ' ');
}

std::string Row(const std::string &label, size_t width, const std::string &good,
                const std::string &failed, const std::string &retries, const std::string &ms,
                const std::string &value) {
    char fixed[64];
    snprintf(fixed, sizeof fixed, " %5s %6s %7s %8s  ", good.c_str(), failed.c_str(),
             retries.c_str(), ms.c_str());
    return Padded(label, width) + fixed + value;
}

std::string Tenths(double ms) {
    char text[24];
    snprintf(text, sizeof text, "%.1f", ms);
    return text;
}

}  // namespace

std::string FitToWidth(const std::string &text, size_t columns) {
    if (Characters(text) <= columns)
        return text;
    if (columns == 0)
        return "";
    std::string cut;
    size_t n = 0;
    for (const char c : text) {
        if (StartsCharacter(c) && ++n > columns - 1)
            break;
        cut += c;
    }
    return cut + kEllipsis;
}

void PollStats::Add(bool ok, double ms, long retried) {
    (ok ? good : failed) += 1;
    retries += retried;
    minMs = good + failed == 1 || ms < minMs ? ms : minMs;
    maxMs = ms > maxMs ? ms : maxMs;
    sumMs += ms;
}

double PollStats::AverageMs() const {
    return good + failed == 0 ? 0 : sumMs / static_cast<double>(good + failed);
}

long PollStats::LostPercent() const {
    const long total = good + failed;
    if (total == 0)
        return 0;
    const long percent = (failed * 200 + total) / (2 * total);
    if (failed > 0 && percent == 0)
        return 1;
    if (good > 0 && percent == 100)
        return 99;
    return percent;
}

std::vector<std::string> SummaryTable(const std::vector<std::string> &labels,
                                      const std::vector<const PollStats *> &stats) {
    const size_t width = LabelWidth(labels);
    std::vector<std::string> table;
    char fixed[96];
    snprintf(fixed, sizeof fixed, " %5s %6s %5s %7s %8s %8s %8s", "good", "failed", "lost",
             "retries", "min ms", "avg ms", "max ms");
    table.push_back(Padded("label", width) + fixed);
    for (size_t i = 0; i < labels.size(); ++i) {
        const PollStats &s = *stats[i];
        const std::string lost = std::to_string(s.LostPercent()) + "%";
        snprintf(fixed, sizeof fixed, " %5ld %6ld %5s %7ld %8.1f %8.1f %8.1f", s.good, s.failed,
                 lost.c_str(), s.retries, s.minMs, s.AverageMs(), s.maxMs);
        table.push_back(Padded(labels[i], width) + fixed);
    }
    return table;
}

std::vector<std::string> PollTable(const std::string &title, const std::vector<PollRow> &rows,
                                   const std::vector<std::string> &notes, const std::string &footer,
                                   size_t columns, size_t lines) {
    std::vector<std::string> labels;
    for (const PollRow &row : rows)
        labels.push_back(row.label);
    const size_t width = LabelWidth(labels);
    std::vector<std::string> table = {
        FitToWidth(title, columns),
        FitToWidth(Row("label", width, "good", "failed", "retries", "last ms", "value"), columns)};
    // The title, the headers, the footer and, when rows are left out, a line
    // that says so.
    const size_t room = lines > 4 ? lines - 3 : 1;
    const bool cut = rows.size() > room;
    const size_t shown = cut ? room - 1 : rows.size();
    for (size_t i = 0; i < shown; ++i) {
        const PollRow &row = rows[i];
        table.push_back(
            FitToWidth(Row(row.label, width, std::to_string(row.stats->good),
                           std::to_string(row.stats->failed), std::to_string(row.stats->retries),
                           Tenths(row.lastMs), row.value),
                       columns));
    }
    if (cut) {
        table.push_back(FitToWidth(kEllipsis + std::string(" ") +
                                       std::to_string(rows.size() - shown) +
                                       " more rows (a taller terminal shows them)",
                                   columns));
    }
    for (size_t i = 0; i < notes.size() && table.size() + 1 < lines; ++i)
        table.push_back(FitToWidth(notes[i], columns));
    table.push_back(FitToWidth(footer, columns));
    return table;
}

std::string DrawInPlace(const std::vector<std::string> &lines, bool first) {
    std::string out = first ? "\x1b[H\x1b[2J" : "\x1b[H";
    for (const std::string &line : lines)
        out += line + "\x1b[K\n";
    return out + "\x1b[J";
}
