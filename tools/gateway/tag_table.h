// The gateway's picture of the plant: every tag's value, its quality and the
// time of its last good read, and the counters of each station and line.
// The line threads write it; the front ends (Modbus TCP, and whatever serves
// the plant next) read it, and may ask to hear of every change.
#pragma once

#include <stdint.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tools/gateway/config.h"

namespace gateway {

enum class Quality {
    kGood,
    kNeverRead,   // no read has come back since the gateway started
    kNoAnswer,    // the station did not answer the last read
    kRefused,     // the station answered with an error, or with a wrong frame
    kPortFailed,  // the line's port did not open, or failed
    kDemoted,     // the station is off scan for failing again and again
    kStale,       // the last good read is older than the tag's bound
};
const char *QualityText(Quality quality);

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

struct TagValue {
    // The value's words in address order: one, two for a 32-bit value; a
    // contact's 0 or 1.
    std::vector<uint16_t> words;
    Quality quality = Quality::kNeverRead;
    WallTime lastGood{};  // the epoch: never
    SteadyTime lastGoodSteady{};
};

struct Counters {
    uint64_t reads = 0;
    uint64_t failures = 0;
    uint64_t retries = 0;
    uint64_t resyncs = 0;  // the driver brought a doubtful station in step
    uint64_t demotions = 0;
    uint64_t bytes = 0;  // written and read on the line
};

enum class StationState { kNeverRead, kAnswering, kFailing, kDemoted, kPortFailed };
const char *StationStateText(StationState state);

struct StationStatus {
    std::string station;
    int unit = 0;
    size_t line = 0;
    StationState state = StationState::kNeverRead;
    int failuresInRow = 0;
    SteadyTime demotedUntil{};
    WallTime lastGood{};
    std::string lastError;
    Counters counters;
};

// What a value did over the last ten minutes, in slots of five seconds:
// the least and the greatest of its good reads in each slot, and how many
// reads of the slot failed. A slot with neither had no read. 120 slots of 16
// bytes: 1920 bytes per tag and per line, whatever the scan rate.
class Trend {
  public:
    static constexpr std::chrono::seconds kSlot{5};
    static constexpr size_t kSlots = 120;

    struct Point {
        double agoS = 0;    // from the slot's start to the time asked for
        bool read = false;  // a good read fell in the slot
        float min = 0, max = 0;
        uint32_t failed = 0;
    };

    void Good(SteadyTime at, double value);
    void Bad(SteadyTime at);
    // The slots of the last ten minutes that saw a read, oldest first.
    std::vector<Point> Points(SteadyTime now) const;

  private:
    struct Slot {
        int32_t number = -1;  // of kSlot since the steady clock's epoch
        float min = 0, max = 0;
        uint16_t good = 0, failed = 0;
    };
    Slot &At(SteadyTime at);

    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

struct LineStatus {
    std::string name;
    bool portOpen = false;
    std::string portError;  // why it is not open, when it is not
    double scanMs = 0;      // the last pass over the blocks that were due
    Counters counters;
};

class TagTable {
  public:
    explicit TagTable(const Config &config);

    // The line threads'. A block's tags under one hold of the lock, so that
    // a crowd of readers cannot keep a line waiting tag after tag.
    struct TagWords {
        size_t tag;
        std::vector<uint16_t> words;
    };
    void SetGood(const std::vector<TagWords> &values, SteadyTime at, WallTime wall);
    void SetBad(const std::vector<size_t> &tags, Quality quality);
    void SetGood(size_t tag, const std::vector<uint16_t> &words, SteadyTime at, WallTime wall) {
        SetGood({{tag, words}}, at, wall);
    }
    void SetBad(size_t tag, Quality quality) { SetBad(std::vector<size_t>{tag}, quality); }
    // Applies `change` to a station's status (its index in Stations()).
    // How often the tag is read at best: its rate, or one scan of its line
    // when that takes longer. A good value stays good for three of these and
    // a second.
    void SetPeriod(size_t tag, std::chrono::milliseconds period);
    void UpdateStation(size_t station, const std::function<void(StationStatus &)> &change);
    void UpdateLine(size_t line, const std::function<void(LineStatus &)> &change);
    // A pass over the line's due blocks took `ms`, ending at `at`.
    void SetScan(size_t line, double ms, SteadyTime at);
    // Tells the listeners of the tags changed since the last call.
    void Publish();

    // The front ends'. A good value whose last read is older than its bound
    // is reported stale.
    TagValue Get(size_t tag) const;
    // Several tags under one hold of the lock, so that they are of one moment.
    std::vector<TagValue> GetMany(const std::vector<size_t> &tags) const;
    std::vector<StationStatus> Stations() const;
    std::vector<LineStatus> Lines() const;
    size_t StationIndex(size_t line, const std::string &station) const;
    // Every tag's trend of its value, and every line's of its scan time.
    std::vector<std::vector<Trend::Point>> TagTrends(SteadyTime now) const;
    std::vector<std::vector<Trend::Point>> LineTrends(SteadyTime now) const;
    // Called on a line's thread with the tags whose value or quality changed.
    using Listener = std::function<void(const std::vector<size_t> &changed)>;
    void Listen(Listener listener);

  private:
    TagValue Current(size_t tag, SteadyTime now) const;

    const Config &config_;
    mutable std::mutex mutex_;
    std::vector<TagValue> values_;
    std::vector<Trend> tagTrends_;
    std::vector<Trend> lineTrends_;
    std::vector<std::chrono::milliseconds> staleAfter_;
    std::vector<StationStatus> stations_;
    std::vector<LineStatus> lines_;
    std::vector<size_t> changed_;
    std::vector<Listener> listeners_;
};

}  // namespace gateway
