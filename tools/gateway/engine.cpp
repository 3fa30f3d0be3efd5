#include "tools/gateway/engine.h"

#include <pthread.h>
#include <stdio.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "tools/gateway/log.h"
#include "tools/hostkit/host_platform.h"
#include "tools/hostkit/session.h"

namespace gateway {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The status request that the driver sends a station whose answers may
// still be on their way, before it asks it again.
bool IsResyncFrame(const std::string &bytes) {
    return bytes.size() > 5 && bytes.compare(3, 3, "#RT") == 0;
}

// "RD D100-D126": the frame as a person reads it in the plan.
std::string FrameText(const Chunk &chunk) {
    const char device = static_cast<char>(chunk.tag.definition.device);
    const long first = chunk.tag.definition.wordAddress;
    const long last = first + static_cast<long>(chunk.words) - 1;
    return "read " + WordLabel(device, first) + (last > first ? "-" + WordLabel(device, last) : "");
}

}  // namespace

const char *WriteResultText(WriteResult result) {
    switch (result) {
        case WriteResult::kDone:
            return "done";
        case WriteResult::kNoAnswer:
            return "no answer";
        case WriteResult::kRefused:
            return "refused";
        case WriteResult::kPortFailed:
            return "port failed";
        case WriteResult::kStopping:
            return "stopping";
    }
    return "?";
}

// A block read with what the line thread keeps of it.
struct ScheduledBlock {
    BlockFrame frame;
    std::vector<size_t> tags;  // the configuration's index of each slot's tag
    size_t station = 0;        // the table's index of the block's station
    int rateMs = 0;
    Clock::time_point due{};
    bool readInPass = false;
};

class Engine::Line {
  public:
    Line(const Config &config, size_t index, TagTable &table, std::vector<ScheduledBlock> blocks,
         const std::string &port)
        : config_(config),
          line_(config.lines[index]),
          index_(index),
          table_(table),
          blocks_(std::move(blocks)),
          session_(Options(line_, port)),
          port_(port),
          backoffMs_(line_.reopenMs) {
        for (const ScheduledBlock &block : blocks_) {
            StationRun &run = stations_[block.station];
            run.blocks.push_back(&block - blocks_.data());
        }
        for (size_t tag = 0; tag < config.tags.size(); ++tag) {
            if (config.tags[tag].line == index_)
                lineTags_.push_back(tag);
        }
    }

    void Start() { thread_ = std::thread(&Line::Run, this); }

    void Stop() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    std::future<WriteResult> Enqueue(std::vector<TagWrite> writes, Change change = nullptr) {
        Job job;
        job.writes = std::move(writes);
        job.change = std::move(change);
        std::future<WriteResult> result = job.done.get_future();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (stopping_) {
                job.done.set_value(WriteResult::kStopping);
                return result;
            }
            jobs_.push_back(std::move(job));
        }
        wake_.notify_all();
        return result;
    }

  private:
    struct Job {
        std::vector<TagWrite> writes;
        Change change;  // a read-modify-write of writes' one tag
        std::promise<WriteResult> done;
    };
    struct StationRun {
        std::vector<size_t> blocks;
        int failuresInRow = 0;
        bool demoted = false;
        Clock::time_point demotedUntil{};
    };

    static LineOptions Options(const LineConfig &line, const std::string &port) {
        LineOptions options;
        options.port = port;
        options.settings = line.settings;
        options.timeoutMs = line.timeoutMs;
        return options;
    }

    std::string Name() const { return "line " + line_.name; }

    void Run() {
        // Named for top -H and the benchmark: the line's own CPU time.
        pthread_setname_np(pthread_self(), ("line " + line_.name).substr(0, 15).c_str());
        for (;;) {
            RunWrites();
            if (Stopping())
                break;
            const Clock::time_point now = Clock::now();
            if (!open_) {
                if (now >= reopenAt_)
                    Open();
                if (!open_) {
                    WaitUntil(reopenAt_);
                    continue;
                }
            }
            ScheduledBlock *next = nullptr;
            Clock::time_point nextAt = Clock::time_point::max();
            for (ScheduledBlock &block : blocks_) {
                const StationRun &run = stations_[block.station];
                const Clock::time_point at =
                    run.demoted ? std::max(block.due, run.demotedUntil) : block.due;
                if (at < nextAt) {
                    nextAt = at;
                    next = &block;
                }
            }
            if (next == nullptr) {
                EndPass();
                WaitUntil(Clock::time_point::max());
                continue;
            }
            if (nextAt > now) {
                EndPass();
                WaitUntil(nextAt);
                continue;
            }
            // A block that comes round again before the line rested starts a
            // pass of its own: a line that never rests still has a scan time.
            if (next->readInPass)
                EndPass();
            Read(*next);
            table_.Publish();
        }
        session_.End();
        table_.UpdateLine(index_, [](LineStatus &status) {
            status.portOpen = false;
            status.portError = "stopped";
        });
    }

    bool Stopping() {
        std::lock_guard<std::mutex> hold(mutex_);
        return stopping_;
    }

    void WaitUntil(Clock::time_point at) {
        std::unique_lock<std::mutex> hold(mutex_);
        const auto ready = [&] { return stopping_ || !jobs_.empty(); };
        if (at == Clock::time_point::max())
            wake_.wait(hold, ready);
        else
            wake_.wait_until(hold, at, ready);
    }

    void Open() {
        std::string error;
        if (session_.Start(&error)) {
            open_ = true;
            backoffMs_ = line_.reopenMs;
            if (portFailedLogged_)
                Log(Name() + ": port " + port_ + " open again");
            portFailedLogged_ = false;
            table_.UpdateLine(index_, [](LineStatus &status) {
                status.portOpen = true;
                status.portError.clear();
            });
            // Every block at once, so that the tags come good again within a scan.
            for (ScheduledBlock &block : blocks_)
                block.due = Clock::now();
            return;
        }
        PortFailed(error);
    }

    void PortFailed(const std::string &why) {
        session_.End();
        open_ = false;
        // A pass cut by the port is no scan time: the next begins after the
        // port came back.
        ForgetPass();
        reopenAt_ = Clock::now() + milliseconds(backoffMs_);
        if (!portFailedLogged_) {
            Log(Name() + ": " + why + "; every tag of the line is bad, the port is opened again " +
                "every " + std::to_string(backoffMs_) + " ms and up to every " +
                std::to_string(line_.reopenMaxMs) + " ms");
            portFailedLogged_ = true;
        }
        backoffMs_ = std::min(backoffMs_ * 2, line_.reopenMaxMs);
        table_.SetBad(lineTags_, Quality::kPortFailed);
        for (auto &[station, run] : stations_) {
            table_.UpdateStation(
                station, [](StationStatus &status) { status.state = StationState::kPortFailed; });
        }
        table_.UpdateLine(index_, [&](LineStatus &status) {
            status.portOpen = false;
            status.portError = why;
        });
        table_.Publish();
    }

    // What an operation's line events add to the counters of its station and line.
    void Count(size_t station, const Outcome &outcome, bool failed) {
        Counters add;
        uint64_t sent = 0;
        for (const LineEvent &event : outcome.line) {
            add.bytes += event.bytes.size();
            if (event.kind != QIV_LINE_WRITTEN)
                continue;
            if (IsResyncFrame(event.bytes))
                ++add.resyncs;
            else
                ++sent;
        }
        add.retries = sent > 1 ? sent - 1 : 0;
        add.reads = 1;
        add.failures = failed ? 1 : 0;
        const auto apply = [&](Counters &c) {
            c.reads += add.reads;
            c.failures += add.failures;
            c.retries += add.retries;
            c.resyncs += add.resyncs;
            c.bytes += add.bytes;
        };
        table_.UpdateStation(station, [&](StationStatus &status) { apply(status.counters); });
        table_.UpdateLine(index_, [&](LineStatus &status) { apply(status.counters); });
    }

    void Read(ScheduledBlock &block) {
        const Clock::time_point start = Clock::now();
        const Outcome outcome = session_.Read(block.frame.chunk.tag);
        const Clock::time_point now = Clock::now();
        block.due = block.rateMs == 0 ? now : std::max(block.due + milliseconds(block.rateMs), now);
        if (outcome.portError != 0) {
            Count(block.station, outcome, true);
            PortFailed("port " + port_ + " failed: " + outcome.portFailure);
            return;
        }
        const bool good = outcome.status == QIV_STATUS_OK;
        Count(block.station, outcome, !good);
        StationRun &run = stations_[block.station];
        if (good) {
            const WallTime wall = std::chrono::system_clock::now();
            std::vector<TagTable::TagWords> values;
            for (size_t i = 0; i < block.frame.slots.size(); ++i)
                values.push_back({block.tags[i], SlotWords(block.frame.slots[i], outcome.words)});
            table_.SetGood(values, now, wall);
            if (run.demoted)
                Log(Name() + ": station " + StationText(block.station) +
                    " answers again, back "
                    "on scan");
            run.demoted = false;
            run.failuresInRow = 0;
            table_.UpdateStation(block.station, [&](StationStatus &status) {
                status.state = StationState::kAnswering;
                status.failuresInRow = 0;
                status.lastGood = wall;
            });
        } else {
            const bool refused = outcome.status == QIV_STATUS_REFUSED;
            table_.SetBad(block.tags, refused ? Quality::kRefused : Quality::kNoAnswer);
            // A station that answers, even wrongly, is there: only silence
            // takes it off scan.
            run.failuresInRow = refused ? 0 : run.failuresInRow + 1;
            if (run.failuresInRow >= line_.demoteAfter)
                Demote(block.station, run, now);
            table_.UpdateStation(block.station, [&](StationStatus &status) {
                status.failuresInRow = run.failuresInRow;
                status.lastError = refused ? "refused: " + outcome.response : "no answer";
                if (!run.demoted)
                    status.state = StationState::kFailing;
            });
        }
        NotePass(block, start, now);
    }

    std::string StationText(size_t station) const {
        const std::vector<StationStatus> stations = table_.Stations();
        return stations.at(station).station;
    }

    void Demote(size_t station, StationRun &run, Clock::time_point now) {
        if (!run.demoted) {
            Log(Name() + ": station " + StationText(station) + " did not answer " +
                std::to_string(run.failuresInRow) + " reads in a row: off scan for " +
                std::to_string(line_.demoteForMs / 1000) + " s at a time until it answers");
        }
        run.demoted = true;
        run.demotedUntil = now + milliseconds(line_.demoteForMs);
        for (size_t b : run.blocks)
            table_.SetBad(blocks_[b].tags, Quality::kDemoted);
        table_.UpdateStation(station, [&](StationStatus &status) {
            status.state = StationState::kDemoted;
            status.demotedUntil = run.demotedUntil;
            ++status.counters.demotions;
        });
        table_.UpdateLine(index_, [](LineStatus &status) { ++status.counters.demotions; });
    }

    // A pass is the reads of the blocks that were due, back to back: from
    // its first frame to its last answer. It ends when the line rests, so
    // that the scan time never holds the wait between two stations' reads.
    void NotePass(ScheduledBlock &block, Clock::time_point start, Clock::time_point end) {
        if (!passRunning_) {
            passRunning_ = true;
            passStart_ = start;
        }
        passEnd_ = end;
        block.readInPass = true;
    }

    void EndPass() {
        if (!passRunning_)
            return;
        const double ms = std::chrono::duration<double, std::milli>(passEnd_ - passStart_).count();
        table_.SetScan(index_, ms, passEnd_);
        ForgetPass();
    }

    void ForgetPass() {
        for (ScheduledBlock &block : blocks_)
            block.readInPass = false;
        passRunning_ = false;
    }

    void RunWrites() {
        for (;;) {
            Job job;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
                if (stopping_) {
                    job.done.set_value(WriteResult::kStopping);
                    continue;
                }
            }
            job.done.set_value(job.change ? Modify(job.writes.front().tag, job.change)
                                          : Carry(job.writes));
            table_.Publish();
        }
    }

    // An exchange of a write, counted for its station: what failed it, or
    // nothing when the controller answered it.
    std::optional<WriteResult> FailureOf(size_t station, const Outcome &outcome) {
        Count(station, outcome, outcome.status != QIV_STATUS_OK);
        if (outcome.portError != 0) {
            PortFailed("port " + port_ + " failed: " + outcome.portFailure);
            return WriteResult::kPortFailed;
        }
        if (outcome.status == QIV_STATUS_REFUSED)
            return WriteResult::kRefused;
        if (outcome.status != QIV_STATUS_OK)
            return WriteResult::kNoAnswer;
        return std::nullopt;
    }

    WriteResult Modify(size_t tag, const Change &change) {
        if (!open_)
            return WriteResult::kPortFailed;
        const TagConfig &config = config_.tags[tag];
        const size_t station = table_.StationIndex(index_, config.station);
        if (stations_[station].demoted)
            return WriteResult::kNoAnswer;
        const Outcome outcome = session_.Read(config.parsed);
        if (const std::optional<WriteResult> failure = FailureOf(station, outcome))
            return *failure;
        std::vector<uint16_t> words = change(outcome.words);
        if (words.size() != static_cast<size_t>(RegistersOf(config.type)))
            return WriteResult::kRefused;
        return Carry({{tag, std::move(words)}});
    }

    // Neighbouring registers of one station and memory go in one frame; a
    // contact in a frame of its own.
    WriteResult Carry(const std::vector<TagWrite> &writes) {
        if (!open_)
            return WriteResult::kPortFailed;
        for (size_t begin = 0; begin < writes.size();) {
            const TagConfig &first = config_.tags[writes[begin].tag];
            size_t end = begin + 1;
            std::vector<uint16_t> words = writes[begin].words;
            if (first.type != ValueType::kBit) {
                const TagDefinition &head = first.parsed.definition;
                const int step = head.width / 16;
                while (end < writes.size()) {
                    const TagConfig &next = config_.tags[writes[end].tag];
                    const TagConfig &last = config_.tags[writes[end - 1].tag];
                    const TagDefinition &d = next.parsed.definition;
                    if (next.station != first.station || d.device != head.device ||
                        d.width != head.width ||
                        d.wordAddress != last.parsed.definition.wordAddress + step)
                        break;
                    words.insert(words.end(), writes[end].words.begin(), writes[end].words.end());
                    ++end;
                }
            }
            const size_t station = table_.StationIndex(index_, first.station);
            if (stations_[station].demoted)
                return WriteResult::kNoAnswer;
            TagPlan plan;
            try {
                plan = PlanTag(first.address, first.parsed.dataType,
                               end - begin == 1 ? 0 : static_cast<int>(end - begin),
                               Operation::kWrite);
            } catch (const PlanError &) {
                return WriteResult::kRefused;
            }
            for (const Chunk &chunk : plan.chunks) {
                const std::vector<uint16_t> part(
                    words.begin() + static_cast<long>(chunk.firstWord),
                    words.begin() + static_cast<long>(chunk.firstWord + chunk.words));
                if (const std::optional<WriteResult> failure =
                        FailureOf(station, session_.Write(chunk.tag, part)))
                    return *failure;
            }
            // The controller holds these now.
            const Clock::time_point now = Clock::now();
            const WallTime wall = std::chrono::system_clock::now();
            std::vector<TagTable::TagWords> values;
            for (size_t i = begin; i < end; ++i)
                values.push_back({writes[i].tag, writes[i].words});
            table_.SetGood(values, now, wall);
            begin = end;
        }
        return WriteResult::kDone;
    }

    const Config &config_;
    const LineConfig &line_;
    const size_t index_;
    TagTable &table_;
    std::vector<ScheduledBlock> blocks_;
    std::map<size_t, StationRun> stations_;
    std::vector<size_t> lineTags_;
    Session session_;
    std::string port_;
    bool open_ = false;
    bool portFailedLogged_ = false;
    Clock::time_point reopenAt_{};
    int backoffMs_;
    bool passRunning_ = false;
    Clock::time_point passStart_{};
    Clock::time_point passEnd_{};

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

Engine::Engine(const Config &config, TagTable &table) : config_(config), table_(table) {}

Engine::~Engine() {
    Stop();
}

bool Engine::Plan(std::string *error) {
    plans_.assign(config_.lines.size(), LinePlan());
    blocks_.assign(config_.lines.size(), {});
    rates_.assign(config_.lines.size(), {});
    for (size_t line = 0; line < config_.lines.size(); ++line) {
        const LineConfig &lineConfig = config_.lines[line];
        const double characterMs = CharacterMs(lineConfig.settings);
        std::map<int, std::vector<size_t>> byRate;
        for (size_t tag = 0; tag < config_.tags.size(); ++tag) {
            if (config_.tags[tag].line == line)
                byRate[config_.tags[tag].rateMs].push_back(tag);
        }
        LinePlan &plan = plans_[line];
        for (const auto &[rate, tags] : byRate) {
            std::vector<Tag> hostTags;
            for (size_t tag : tags)
                hostTags.push_back(config_.tags[tag].parsed);
            std::vector<BlockFrame> frames;
            try {
                frames = PlanBlocks(hostTags, lineConfig.gapWords);
            } catch (const PlanError &e) {
                *error = config_.file + ": line " + lineConfig.name + ": " + e.what();
                return false;
            }
            for (const BlockFrame &frame : frames) {
                FramePlan shown;
                shown.station = frame.chunk.tag.address.substr(0, 2);
                shown.request = FrameText(frame.chunk);
                shown.words = frame.chunk.words;
                shown.tags = frame.slots.size();
                shown.characters = RequestCharacters(frame.chunk, Operation::kRead) +
                                   AnswerCharacters(frame.chunk, Operation::kRead);
                shown.lineMs = static_cast<double>(shown.characters) * characterMs;
                shown.rateMs = rate;
                plan.lineMs += shown.lineMs;
                plan.frames.push_back(shown);
            }
            for (const Tag &tag : hostTags) {
                const Chunk single = {tag, 0, WordsPerElement(KindOf(tag))};
                plan.singleLineMs +=
                    static_cast<double>(RequestCharacters(single, Operation::kRead) +
                                        AnswerCharacters(single, Operation::kRead)) *
                    characterMs;
                ++plan.singleFrames;
            }
            blocks_[line].push_back(std::move(frames));
            rates_[line].push_back(rate);
        }
        // A tag is read at its rate at best, and no faster than a scan of its
        // line goes.
        for (const auto &[rate, tags] : byRate) {
            for (size_t tag : tags)
                table_.SetPeriod(tag, std::chrono::milliseconds(std::max(
                                          rate, static_cast<int>(std::ceil(plan.lineMs)))));
        }
    }
    return true;
}

void Engine::Start(const std::vector<std::string> &ports) {
    for (size_t line = 0; line < config_.lines.size(); ++line) {
        std::vector<ScheduledBlock> scheduled;
        std::map<int, std::vector<size_t>> byRate;
        for (size_t tag = 0; tag < config_.tags.size(); ++tag) {
            if (config_.tags[tag].line == line)
                byRate[config_.tags[tag].rateMs].push_back(tag);
        }
        size_t group = 0;
        for (const auto &[rate, tags] : byRate) {
            for (const BlockFrame &frame : blocks_[line][group]) {
                ScheduledBlock block;
                block.frame = frame;
                for (const BlockSlot &slot : frame.slots)
                    block.tags.push_back(tags[slot.tag]);
                block.station = table_.StationIndex(line, config_.tags[block.tags.front()].station);
                block.rateMs = rate;
                scheduled.push_back(std::move(block));
            }
            ++group;
        }
        const std::string port = ports.empty() ? config_.lines[line].port : ports[line];
        lines_.push_back(std::make_unique<Line>(config_, line, table_, std::move(scheduled), port));
    }
    for (auto &line : lines_)
        line->Start();
}

void Engine::Stop() {
    for (auto &line : lines_)
        line->Stop();
    lines_.clear();
}

std::future<WriteResult> Engine::Write(std::vector<TagWrite> writes) {
    if (writes.empty() || lines_.empty()) {
        std::promise<WriteResult> none;
        none.set_value(writes.empty() ? WriteResult::kDone : WriteResult::kStopping);
        return none.get_future();
    }
    const size_t line = config_.tags.at(writes.front().tag).line;
    return lines_.at(line)->Enqueue(std::move(writes));
}

std::future<WriteResult> Engine::Modify(size_t tag, Change change) {
    if (lines_.empty()) {
        std::promise<WriteResult> none;
        none.set_value(WriteResult::kStopping);
        return none.get_future();
    }
    const size_t line = config_.tags.at(tag).line;
    return lines_.at(line)->Enqueue({{tag, {}}}, std::move(change));
}

}  // namespace gateway
