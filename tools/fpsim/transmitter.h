// The simulator's transmitter: what goes out on the line and when. Answers
// leave in the order of their requests, each no earlier than its own time and
// none before the previous one has gone out whole; at a given rate each
// character leaves when a line at that rate would have carried it; a
// chattering line sends noise bytes between answers, never inside one.
//
// It does no input or output and reads no clock: the serve loop asks what is
// due at a time point, writes it and reports what the line took, so that the
// timing can be checked to the microsecond with made-up time points.
#pragma once

#include <stddef.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>

namespace fpsim {

// The byte of a chattering line: neither "%" nor a carriage return nor a
// hexadecimal digit, so that it can never start, end or pass for part of a
// frame.
constexpr char kNoiseByte = '~';

class Transmitter {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // What is due on the line: part of an answer, or one noise byte.
    struct Piece {
        std::string bytes;  // empty: nothing is due
        bool noise = false;
    };
    struct SentAnswer {
        std::string bytes;
        std::string note;
    };

    // `charSeconds`: the line time of one character; 0 sends every answer at once.
    explicit Transmitter(double charSeconds);

    // An answer to leave no earlier than `due`, behind every answer queued
    // before it. With `repeatGapMs` 0 or more it goes out a second time, that
    // long after the first copy has gone out whole.
    void Queue(const std::string &bytes, TimePoint due, const std::string &note,
               int repeatGapMs = -1);
    // One noise byte every `gapMs` between answers, the first `gapMs` after
    // `now`; a gap of 0 stops the noise.
    void SetChatter(int gapMs, TimePoint now);
    // The byte that the chatter sends (kNoiseByte unless set).
    void SetNoiseByte(char noise) { noiseByte_ = noise; }

    // What should have left by `now` and has not.
    Piece Due(TimePoint now);
    // The line took `count` bytes of the piece at `now`; returns the answer
    // that they complete, if they do.
    std::optional<SentAnswer> Sent(size_t count, TimePoint now);
    // The line refused the piece: the rest of it is dropped.
    void Abandon(TimePoint now);
    // When Due next has something; TimePoint::max() when nothing will be due
    // until something is queued.
    TimePoint NextDue() const;

  private:
    struct Waiting {
        std::string bytes;
        TimePoint due;
        // 0 or more: `due` is that long after the previous answer has gone out.
        int gapAfterPreviousMs;
        std::string note;
    };
    struct Transmission {
        bool active = false;
        bool noise = false;
        std::string bytes;
        size_t sent = 0;
        TimePoint start;
        std::string note;
    };

    TimePoint AnswerStart() const;
    TimePoint NoiseStart() const;
    void Begin(TimePoint now);
    void Finish(TimePoint now);
    // Moves the next noise byte to the first tick of its rhythm after `time`.
    void SkipNoiseTicksThrough(TimePoint time);

    Clock::duration charTime_;
    std::deque<Waiting> waiting_;
    Transmission current_;
    TimePoint lineFreeAt_{};  // when the last transmission ended
    Clock::duration noiseGap_{};
    TimePoint nextNoise_{};
    char noiseByte_ = kNoiseByte;
};

}  // namespace fpsim
