#include "tools/fpsim/transmitter.h"

#include <algorithm>

namespace fpsim {

Transmitter::Transmitter(double charSeconds)
    : charTime_(
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(charSeconds))) {
}

void Transmitter::Queue(const std::string &bytes, TimePoint due, const std::string &note,
                        int repeatGapMs) {
    if (bytes.empty()) {
        return;  // nothing to send, and nothing that would ever end
    }
    waiting_.push_back({bytes, due, -1, note});
    if (repeatGapMs >= 0) {
        waiting_.push_back({bytes, TimePoint(), repeatGapMs, note + " (second copy)"});
    }
}

void Transmitter::SetChatter(int gapMs, TimePoint now) {
    noiseGap_ = std::chrono::milliseconds(std::max(gapMs, 0));
    nextNoise_ = now + noiseGap_;
}

Transmitter::TimePoint Transmitter::AnswerStart() const {
    // A second copy has no time until the first has gone out.
    if (waiting_.empty() || waiting_.front().gapAfterPreviousMs >= 0) {
        return TimePoint::max();
    }
    return std::max(waiting_.front().due, lineFreeAt_);
}

Transmitter::TimePoint Transmitter::NoiseStart() const {
    if (noiseGap_ <= Clock::duration::zero()) {
        return TimePoint::max();
    }
    return std::max(nextNoise_, lineFreeAt_);
}

void Transmitter::Begin(TimePoint now) {
    const TimePoint answer = AnswerStart();
    const TimePoint noise = NoiseStart();
    // Whichever would have started first on a real line; an answer due at the
    // same moment as a noise byte goes first.
    if (answer <= noise && answer <= now) {
        Waiting &next = waiting_.front();
        current_ = {true, false, std::move(next.bytes), 0, answer, std::move(next.note)};
        waiting_.pop_front();
    } else if (noise < answer && noise <= now) {
        current_ = {true, true, std::string(1, noiseByte_), 0, noise, ""};
        SkipNoiseTicksThrough(noise);
    }
}

Transmitter::Piece Transmitter::Due(TimePoint now) {
    if (!current_.active) {
        Begin(now);
    }
    if (!current_.active) {
        return {};
    }
    size_t due = current_.bytes.size();
    if (charTime_ > Clock::duration::zero()) {
        // A character leaves once the line has carried all of it.
        const auto carried = now < current_.start ? 0 : (now - current_.start) / charTime_;
        due = std::min(due, static_cast<size_t>(carried));
    }
    if (due <= current_.sent) {
        return {};
    }
    return {current_.bytes.substr(current_.sent, due - current_.sent), current_.noise};
}

std::optional<Transmitter::SentAnswer> Transmitter::Sent(size_t count, TimePoint now) {
    if (!current_.active) {
        return std::nullopt;
    }
    current_.sent += count;
    if (current_.sent < current_.bytes.size()) {
        return std::nullopt;
    }
    std::optional<SentAnswer> answer;
    if (!current_.noise) {
        answer = SentAnswer{current_.bytes, current_.note};
    }
    Finish(now);
    return answer;
}

void Transmitter::Abandon(TimePoint now) {
    if (current_.active) {
        Finish(now);
    }
}

void Transmitter::Finish(TimePoint now) {
    lineFreeAt_ = now;
    if (!current_.noise) {
        // The ticks that fell inside the answer are lost, as on a line that
        // one sender holds.
        SkipNoiseTicksThrough(now);
        if (!waiting_.empty() && waiting_.front().gapAfterPreviousMs >= 0) {
            waiting_.front().due =
                now + std::chrono::milliseconds(waiting_.front().gapAfterPreviousMs);
            waiting_.front().gapAfterPreviousMs = -1;
        }
    }
    current_ = Transmission();
}

void Transmitter::SkipNoiseTicksThrough(TimePoint time) {
    if (noiseGap_ <= Clock::duration::zero() || nextNoise_ > time) {
        return;
    }
    nextNoise_ += ((time - nextNoise_) / noiseGap_ + 1) * noiseGap_;
}

Transmitter::TimePoint Transmitter::NextDue() const {
    if (current_.active) {
        return current_.start + charTime_ * static_cast<Clock::rep>(current_.sent + 1);
    }
    return std::min(AnswerStart(), NoiseStart());
}

}  // namespace fpsim
