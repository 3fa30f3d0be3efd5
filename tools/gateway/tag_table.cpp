#include "tools/gateway/tag_table.h"

#include <algorithm>
#include <cmath>

#include "tools/gateway/front_ends.h"

namespace gateway {

namespace {

// A good value stays good for three of its scan periods and a second for the
// line's slowest exchange; a scan that falls further behind shows as stale.
std::chrono::milliseconds StaleBound(std::chrono::milliseconds period) {
    return 3 * std::max(period, std::chrono::milliseconds(100)) + std::chrono::seconds(1);
}

// The value as the page draws it: the number that the front ends show; none
// for a value shown as text.
double TrendValue(const TagConfig &tag, const std::vector<uint16_t> &words) {
    const Json shown = ShowTag(tag, words).json;
    if (shown.is_number())
        return shown.get<double>();
    if (shown.is_boolean())
        return shown.get<bool>() ? 1 : 0;
    return NAN;
}

int32_t SlotNumber(SteadyTime at) {
    return static_cast<int32_t>(at.time_since_epoch() / Trend::kSlot);
}

}  // namespace

constexpr std::chrono::seconds Trend::kSlot;
constexpr size_t Trend::kSlots;

Trend::Slot &Trend::At(SteadyTime at) {
    const int32_t number = SlotNumber(at);
    Slot &slot = slots_[static_cast<size_t>(number) % kSlots];
    if (slot.number != number)
        slot = Slot{number, 0, 0, 0, 0};
    return slot;
}

void Trend::Good(SteadyTime at, double value) {
    if (std::isnan(value))
        return;
    Slot &slot = At(at);
    const float v = static_cast<float>(value);
    slot.min = slot.good == 0 ? v : std::min(slot.min, v);
    slot.max = slot.good == 0 ? v : std::max(slot.max, v);
    if (slot.good < UINT16_MAX)
        ++slot.good;
}

void Trend::Bad(SteadyTime at) {
    Slot &slot = At(at);
    if (slot.failed < UINT16_MAX)
        ++slot.failed;
}

std::vector<Trend::Point> Trend::Points(SteadyTime now) const {
    const int32_t last = SlotNumber(now);
    std::vector<Point> points;
    for (int32_t number = std::max(0, last - static_cast<int32_t>(kSlots) + 1); number <= last;
         ++number) {
        const Slot &slot = slots_[static_cast<size_t>(number) % kSlots];
        if (slot.number != number || (slot.good == 0 && slot.failed == 0))
            continue;
        Point point;
        point.agoS = std::chrono::duration<double>(now - SteadyTime(number * kSlot)).count();
        point.read = slot.good > 0;
        point.min = slot.min;
        point.max = slot.max;
        point.failed = slot.failed;
        points.push_back(point);
    }
    return points;
}

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

TagTable::TagTable(const Config &config)
    : config_(config), tagTrends_(config.tags.size()), lineTrends_(config.lines.size()) {
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
    // Outside the lock: the page's numbers cost the readers no wait.
    std::vector<double> numbers;
    numbers.reserve(values.size());
    for (const TagWords &update : values)
        numbers.push_back(TrendValue(config_.tags.at(update.tag), update.words));
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t i = 0; i < values.size(); ++i) {
        const TagWords &update = values[i];
        tagTrends_[update.tag].Good(at, numbers[i]);
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
    const SteadyTime now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t tag : tags) {
        tagTrends_[tag].Bad(now);
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

void TagTable::SetScan(size_t line, double ms, SteadyTime at) {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.at(line).scanMs = ms;
    lineTrends_.at(line).Good(at, ms);
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

namespace {

std::vector<std::vector<Trend::Point>> PointsOf(const std::vector<Trend> &trends, SteadyTime now) {
    std::vector<std::vector<Trend::Point>> points;
    points.reserve(trends.size());
    for (const Trend &trend : trends)
        points.push_back(trend.Points(now));
    return points;
}

}  // namespace

std::vector<std::vector<Trend::Point>> TagTable::TagTrends(SteadyTime now) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return PointsOf(tagTrends_, now);
}

std::vector<std::vector<Trend::Point>> TagTable::LineTrends(SteadyTime now) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return PointsOf(lineTrends_, now);
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
