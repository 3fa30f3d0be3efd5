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

std::string Row(const std::string &label, const std::string &good, const std::string &failed,
                const std::string &ms, const std::string &value) {
    char fixed[64];
    snprintf(fixed, sizeof fixed, "%-10.10s %6s %6s %9s  ", label.c_str(), good.c_str(),
             failed.c_str(), ms.c_str());
    return fixed + value;
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

void PollStats::Add(bool ok, double ms) {
    (ok ? good : failed) += 1;
    minMs = good + failed == 1 || ms < minMs ? ms : minMs;
    maxMs = ms > maxMs ? ms : maxMs;
    sumMs += ms;
}

double PollStats::AverageMs() const {
    return good + failed == 0 ? 0 : sumMs / static_cast<double>(good + failed);
}

std::string PollStats::Describe() const {
    char text[160];
    const long total = good + failed;
    snprintf(text, sizeof text,
             "%ld good, %ld failed (%ld%% lost), response min/avg/max %.1f/%.1f/%.1f ms", good,
             failed, total == 0 ? 0 : failed * 100 / total, minMs, AverageMs(), maxMs);
    return text;
}

std::vector<std::string> PollTable(const std::string &title, const std::vector<PollRow> &rows,
                                   size_t columns, size_t lines) {
    std::vector<std::string> table = {
        FitToWidth(title, columns),
        FitToWidth(Row("address", "good", "failed", "last ms", "value"), columns)};
    // The title, the headers and, when rows are left out, a line that says so.
    const size_t room = lines > 3 ? lines - 2 : 1;
    const bool cut = rows.size() > room;
    const size_t shown = cut ? room - 1 : rows.size();
    for (size_t i = 0; i < shown; ++i) {
        const PollRow &row = rows[i];
        char ms[16];
        snprintf(ms, sizeof ms, "%.1f", row.lastMs);
        table.push_back(FitToWidth(Row(row.label, std::to_string(row.stats->good),
                                       std::to_string(row.stats->failed), ms, row.value),
                                   columns));
    }
    if (cut) {
        table.push_back(FitToWidth(kEllipsis + std::string(" ") +
                                       std::to_string(rows.size() - shown) +
                                       " more rows (a taller terminal shows them)",
                                   columns));
    }
    return table;
}

std::string DrawInPlace(const std::vector<std::string> &lines, bool first) {
    std::string out = first ? "\x1b[H\x1b[2J" : "\x1b[H";
    for (const std::string &line : lines)
        out += line + "\x1b[K\n";
    return out + "\x1b[J";
}
