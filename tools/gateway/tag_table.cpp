#include "tools/gateway/tag_table.h"

#include <algorithm>

namespace gateway {

namespace {

// A good value stays good for three of its scan periods and a second for the
// line's slowest exchange; a scan that falls further behind shows as stale.
std::chrono::milliseconds StaleBound(std::chrono::milliseconds period) {
    return 3 * std::max(period, std::chrono::milliseconds(100)) + std::chrono::seconds(1);
}

}  // namespace

const char *QualityText(Quality quality) {
    switch (quality) {
        case Quality::kGood:
            return "good";
        case Quality::kNeverRead:
            return "never read";
        case Quality::kNoAnswer:
            return "no answer";
        case Quality::kRefused:
            return "refused";
        case Quality::kPortFailed:
            return "port failed";
        case Quality::kDemoted:
            return "demoted";
        case Quality::kStale:
            return "stale";
    }
    return "?";
}

const char *StationStateText(StationState state) {
    switch (state) {
        case StationState::kNeverRead:
            return "never read";
        case StationState::kAnswering:
            return "answering";
        case StationState::kFailing:
            return "failing";
        case StationState::kDemoted:
            return "demoted";
        case StationState::kPortFailed:
            return "port failed";
    }
    return "?";
}

TagTable::TagTable(const Config &config) {
    for (const TagConfig &tag : config.tags) {
        TagValue value;
        value.words.assign(static_cast<size_t>(RegistersOf(tag.type)), 0);
        values_.push_back(value);
        staleAfter_.push_back(StaleBound(std::chrono::milliseconds(tag.rateMs)));
    }
    for (size_t line = 0; line < config.lines.size(); ++line) {
        LineStatus status;
        status.name = config.lines[line].name;
        status.portError = "not opened yet";
        lines_.push_back(status);
        for (const StationConfig &station : config.lines[line].stations) {
            StationStatus s;
            s.station = station.station;
            s.unit = station.unit;
            s.line = line;
            stations_.push_back(s);
        }
    }
}

void TagTable::SetGood(const std::vector<TagWords> &values, SteadyTime at, WallTime wall) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const TagWords &update : values) {
        TagValue &value = values_.at(update.tag);
        if (value.words != update.words || value.quality != Quality::kGood)
            changed_.push_back(update.tag);
        value.words = update.words;
        value.quality = Quality::kGood;
        value.lastGoodSteady = at;
        value.lastGood = wall;
    }
}

void TagTable::SetBad(const std::vector<size_t> &tags, Quality quality) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t tag : tags) {
        TagValue &value = values_.at(tag);
        if (value.quality != quality)
            changed_.push_back(tag);
        value.quality = quality;
    }
}

void TagTable::SetPeriod(size_t tag, std::chrono::milliseconds period) {
    std::lock_guard<std::mutex> hold(mutex_);
    staleAfter_.at(tag) = StaleBound(period);
}

void TagTable::UpdateStation(size_t station, const std::function<void(StationStatus &)> &change) {
    std::lock_guard<std::mutex> hold(mutex_);
    change(stations_.at(station));
}

void TagTable::UpdateLine(size_t line, const std::function<void(LineStatus &)> &change) {
    std::lock_guard<std::mutex> hold(mutex_);
    change(lines_.at(line));
}

void TagTable::Publish() {
    std::vector<size_t> changed;
    std::vector<Listener> listeners;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        changed.swap(changed_);
        listeners = listeners_;
    }
    if (changed.empty())
        return;
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    for (const Listener &listener : listeners)
        listener(changed);
}

TagValue TagTable::Current(size_t tag, SteadyTime now) const {
    TagValue value = values_.at(tag);
    if (value.quality == Quality::kGood && now - value.lastGoodSteady > staleAfter_[tag])
        value.quality = Quality::kStale;
    return value;
}

TagValue TagTable::Get(size_t tag) const {
    const SteadyTime now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> hold(mutex_);
    return Current(tag, now);
}

std::vector<TagValue> TagTable::GetMany(const std::vector<size_t> &tags) const {
    const SteadyTime now = std::chrono::steady_clock::now();
    std::vector<TagValue> values;
    values.reserve(tags.size());
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t tag : tags)
        values.push_back(Current(tag, now));
    return values;
}

std::vector<StationStatus> TagTable::Stations() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return stations_;
}

std::vector<LineStatus> TagTable::Lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
}

size_t TagTable::StationIndex(size_t line, const std::string &station) const {
    for (size_t i = 0; i < stations_.size(); ++i) {
        if (stations_[i].line == line && stations_[i].station == station)
            return i;
    }
    return stations_.size();
}

void TagTable::Listen(Listener listener) {
    std::lock_guard<std::mutex> hold(mutex_);
    listeners_.push_back(std::move(listener));
}

}  // namespace gateway
