#include "tools/gateway/status_report.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "qivma_version.h"
#include "tools/gateway/engine.h"
#include "tools/gateway/front_ends.h"
#include "tools/gateway/mqtt_messages.h"

namespace gateway {

namespace {

using std::chrono::duration;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

constexpr auto kSampleEvery = std::chrono::seconds(1);
constexpr auto kRateWindow = std::chrono::seconds(10);

Json CountersJson(const Counters &counters) {
    return {{"reads", counters.reads},         {"failures", counters.failures},
            {"retries", counters.retries},     {"resyncs", counters.resyncs},
            {"demotions", counters.demotions}, {"bytes", counters.bytes}};
}

Json TimeOrNull(WallTime time) {
    return time == WallTime{} ? Json() : Json(IsoTime(time));
}

// A trend's number with the digits that its float holds, not the noise of
// its widening to double.
Json TrendNumber(float value) {
    char text[32];
    snprintf(text, sizeof text, "%.7g", static_cast<double>(value));
    return Json(strtod(text, nullptr));
}

// [seconds ago, least, greatest, failed reads] per slot that saw a read; the
// least and greatest are null in a slot without a good read.
Json TrendJson(const std::vector<Trend::Point> &points) {
    Json trend = Json::array();
    for (const Trend::Point &point : points) {
        trend.push_back({std::round(point.agoS), point.read ? TrendNumber(point.min) : Json(),
                         point.read ? TrendNumber(point.max) : Json(), point.failed});
    }
    return trend;
}

double Seconds(WallTime from, WallTime to) {
    return duration<double>(to - from).count();
}

// A label's value as the text format quotes it.
std::string Quoted(const std::string &text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"')
            quoted += std::string("\\") + c;
        else if (c == '\n')
            quoted += "\\n";
        else
            quoted += c;
    }
    return quoted + "\"";
}

class Exposition {
  public:
    void Family(const std::string &name, const char *type, const std::string &help) {
        name_ = name;
        text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::vector<std::pair<std::string, std::string>> &labels, double value) {
        text_ += name_;
        for (size_t i = 0; i < labels.size(); ++i)
            text_ += (i == 0 ? "{" : ",") + labels[i].first + "=" + Quoted(labels[i].second);
        char number[32];
        snprintf(number, sizeof number, "%.17g", value);
        text_ += (labels.empty() ? " " : "} ") + std::string(number) + "\n";
    }
    const std::string &Text() const { return text_; }

  private:
    std::string name_;
    std::string text_;
};

using Labels = std::vector<std::pair<std::string, std::string>>;

struct CounterFamily {
    const char *name;
    const char *help;
    uint64_t Counters::*field;
};

const CounterFamily kCounterFamilies[] = {
    {"reads_total", "operations sent (block reads and writes)", &Counters::reads},
    {"failures_total", "operations that failed", &Counters::failures},
    {"retries_total", "frames sent again after an attempt went unanswered", &Counters::retries},
    {"resyncs_total", "times a doubtful station was brought in step before it was asked again",
     &Counters::resyncs},
    {"demotions_total", "times a station was taken off scan for failing", &Counters::demotions},
    {"bytes_total", "bytes written and read on the line", &Counters::bytes},
};

}  // namespace

uint64_t FramesOf(const Counters &counters) {
    return counters.reads + counters.retries + counters.resyncs;
}

std::vector<LineRates::Rate> LineRates::Update(const std::vector<LineStatus> &lines,
                                               SteadyTime now) {
    std::vector<Counters> counters;
    for (const LineStatus &line : lines)
        counters.push_back(line.counters);
    if (samples_.empty() || now - samples_.back().at >= kSampleEvery)
        samples_.push_back({now, counters});
    while (samples_.size() > 1 && now - samples_[1].at >= kRateWindow)
        samples_.pop_front();
    std::vector<Rate> rates(lines.size());
    const Sample &oldest = samples_.front();
    const double seconds = duration<double>(now - oldest.at).count();
    if (seconds <= 0)
        return rates;
    for (size_t i = 0; i < lines.size() && i < oldest.counters.size(); ++i) {
        const double bytes = static_cast<double>(counters[i].bytes - oldest.counters[i].bytes);
        const double frames =
            static_cast<double>(FramesOf(counters[i]) - FramesOf(oldest.counters[i]));
        const double busyMs = bytes * CharacterMs(config_.lines[i].settings);
        rates[i].utilisation = std::min(1.0, busyMs / (seconds * 1000));
        rates[i].framesPerSecond = frames / seconds;
    }
    return rates;
}

Json StatusJson(const Config &config, const TagTable &table,
                const std::vector<LineRates::Rate> &rates, SteadyTime started) {
    const WallTime wallNow = std::chrono::system_clock::now();
    const SteadyTime steadyNow = std::chrono::steady_clock::now();
    Json status;
    status["gateway"] = {
        {"version", QIVMA_VERSION_STRING},
        {"file", config.file},
        {"time", IsoTime(wallNow)},
        {"uptime_s", duration_cast<std::chrono::seconds>(steadyNow - started).count()}};

    const std::vector<LineStatus> lines = table.Lines();
    const std::vector<std::vector<Trend::Point>> lineTrends = table.LineTrends(steadyNow);
    status["lines"] = Json::array();
    for (size_t i = 0; i < lines.size(); ++i) {
        const LineConfig &line = config.lines[i];
        const LineRates::Rate rate = i < rates.size() ? rates[i] : LineRates::Rate();
        status["lines"].push_back({{"name", line.name},
                                   {"port", line.port},
                                   {"settings", LineSettingsText(line.settings)},
                                   {"timeout_ms", line.timeoutMs},
                                   {"port_open", lines[i].portOpen},
                                   {"port_error", lines[i].portError},
                                   {"scan_ms", lines[i].scanMs},
                                   {"scan_trend", TrendJson(lineTrends[i])},
                                   {"utilisation", rate.utilisation},
                                   {"frames_per_second", rate.framesPerSecond},
                                   {"counters", CountersJson(lines[i].counters)}});
    }

    std::vector<size_t> all(config.tags.size());
    for (size_t tag = 0; tag < all.size(); ++tag)
        all[tag] = tag;
    const std::vector<TagValue> values = table.GetMany(all);
    const std::vector<StationStatus> stations = table.Stations();
    status["stations"] = Json::array();
    for (const StationStatus &station : stations) {
        std::vector<TagValue> own;
        for (size_t tag = 0; tag < config.tags.size(); ++tag) {
            if (config.tags[tag].line == station.line &&
                config.tags[tag].station == station.station)
                own.push_back(values[tag]);
        }
        const bool demoted =
            station.state == StationState::kDemoted && station.demotedUntil > steadyNow;
        const auto left = station.demotedUntil - steadyNow;
        Json entry = {
            {"line", config.lines[station.line].name},
            {"station", station.station},
            {"unit", station.unit},
            {"state", StationStateText(station.state)},
            {"online", StationOnline(station, own)},
            {"failures_in_row", station.failuresInRow},
            {"demoted_until",
             demoted ? Json(IsoTime(wallNow + duration_cast<WallTime::duration>(left))) : Json()},
            {"demoted_for_s", demoted ? Json(duration<double>(left).count()) : Json()},
            {"last_good", TimeOrNull(station.lastGood)},
            {"last_error", station.lastError},
            {"counters", CountersJson(station.counters)}};
        status["stations"].push_back(entry);
    }

    const std::vector<std::vector<Trend::Point>> tagTrends = table.TagTrends(steadyNow);
    status["tags"] = Json::array();
    for (size_t tag = 0; tag < config.tags.size(); ++tag) {
        const TagConfig &tagConfig = config.tags[tag];
        const TagValue &value = values[tag];
        const bool read = value.lastGood != WallTime{};
        const ShownValue shown = ShowTag(tagConfig, value.words);
        status["tags"].push_back({{"name", tagConfig.name},
                                  {"line", config.lines[tagConfig.line].name},
                                  {"station", tagConfig.station},
                                  {"address", tagConfig.address},
                                  {"type", ValueTypeName(tagConfig.type)},
                                  {"table", TableName(tagConfig.table)},
                                  {"register", tagConfig.reg},
                                  {"unit", tagConfig.unit},
                                  {"writable", tagConfig.writable},
                                  {"value", read ? shown.json : Json()},
                                  {"text", read ? shown.text : ""},
                                  {"quality", QualityText(value.quality)},
                                  {"last_good", TimeOrNull(value.lastGood)},
                                  {"age_s", read ? Json(Seconds(value.lastGood, wallNow)) : Json()},
                                  {"trend", TrendJson(tagTrends[tag])}});
    }
    return status;
}

std::string MetricsText(const Config &config, const TagTable &table) {
    const std::vector<LineStatus> lines = table.Lines();
    const std::vector<StationStatus> stations = table.Stations();
    const auto lineLabels = [&](size_t line) { return Labels{{"line", config.lines[line].name}}; };
    const auto stationLabels = [&](const StationStatus &station) {
        return Labels{{"line", config.lines[station.line].name},
                      {"station", station.station},
                      {"unit", std::to_string(station.unit)}};
    };
    Exposition out;
    for (const CounterFamily &family : kCounterFamilies) {
        out.Family(std::string("qivma_gateway_line_") + family.name, "counter",
                   std::string("Per line: ") + family.help + ".");
        for (size_t i = 0; i < lines.size(); ++i)
            out.Sample(lineLabels(i), static_cast<double>(lines[i].counters.*family.field));
        out.Family(std::string("qivma_gateway_station_") + family.name, "counter",
                   std::string("Per station: ") + family.help + ".");
        for (const StationStatus &station : stations)
            out.Sample(stationLabels(station), static_cast<double>(station.counters.*family.field));
    }
    out.Family("qivma_gateway_line_frames_total", "counter",
               "Frames sent on the line: one per attempt, and the resynchronisations'.");
    for (size_t i = 0; i < lines.size(); ++i)
        out.Sample(lineLabels(i), static_cast<double>(FramesOf(lines[i].counters)));
    out.Family("qivma_gateway_line_scan_seconds", "gauge",
               "The last pass over the line's blocks that were due: its first frame to its "
               "last answer.");
    for (size_t i = 0; i < lines.size(); ++i)
        out.Sample(lineLabels(i), lines[i].scanMs / 1000);
    out.Family("qivma_gateway_line_port_open", "gauge", "1 while the line's port is open.");
    for (size_t i = 0; i < lines.size(); ++i)
        out.Sample(lineLabels(i), lines[i].portOpen ? 1 : 0);

    const StationState kStates[] = {StationState::kNeverRead, StationState::kAnswering,
                                    StationState::kFailing, StationState::kDemoted,
                                    StationState::kPortFailed};
    out.Family("qivma_gateway_station_state", "gauge",
               "1 for the state the station is in, 0 for the others.");
    for (const StationStatus &station : stations) {
        for (const StationState state : kStates) {
            Labels labels = stationLabels(station);
            labels.push_back({"state", StationStateText(state)});
            out.Sample(labels, station.state == state ? 1 : 0);
        }
    }

    const Quality kQualities[] = {Quality::kGood,    Quality::kNeverRead,  Quality::kNoAnswer,
                                  Quality::kRefused, Quality::kPortFailed, Quality::kDemoted,
                                  Quality::kStale};
    std::map<std::pair<size_t, std::string>, std::map<Quality, int>> counts;
    for (const StationStatus &station : stations)
        counts[{station.line, station.station}];
    for (size_t tag = 0; tag < config.tags.size(); ++tag) {
        const TagConfig &tagConfig = config.tags[tag];
        ++counts[{tagConfig.line, tagConfig.station}][table.Get(tag).quality];
    }
    out.Family("qivma_gateway_tags", "gauge", "Tags of the station by their quality.");
    for (const StationStatus &station : stations) {
        const std::map<Quality, int> &byQuality = counts[{station.line, station.station}];
        for (const Quality quality : kQualities) {
            Labels labels = stationLabels(station);
            labels.push_back({"quality", QualityText(quality)});
            const auto found = byQuality.find(quality);
            out.Sample(labels, found == byQuality.end() ? 0 : found->second);
        }
    }
    return out.Text();
}

}  // namespace gateway
