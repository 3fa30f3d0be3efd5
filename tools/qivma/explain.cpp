#include "tools/qivma/explain.h"

#include <math.h>

#include <vector>

#include "tools/hostkit/tcp_line.h"
#include "tools/hostkit/value_format.h"
#include "tools/qivma/tool_platform.h"
#include "wire/wire_rules.h"

namespace {

std::string Ms(double ms) {
    return std::to_string(static_cast<long>(ms + 0.5)) + " ms";
}

// What came in after the first request, cut into frames at each "%" and
// after each carriage return, with the times of their first and last bytes.
struct Arrival {
    std::string bytes;
    double firstMs = 0, lastMs = 0;
};

struct Story {
    std::vector<double> sent;  // each request's time
    std::vector<Arrival> arrivals;
    std::string leftovers;  // thrown away before the first request: left from before
    // The driver first sent the status request, to bring a station whose
    // answers may still be coming back in step; what came before the request.
    bool resynchronised = false;
    std::string beforeRequest;
};

Story ReadStory(const Outcome &outcome) {
    Story story;
    for (const LineEvent &event : outcome.line) {
        const double ms = event.sinceStart / 1000.0;
        if (event.kind == QIV_LINE_WRITTEN && IsStatusRequest(event.bytes)) {
            story.resynchronised = true;
            continue;
        }
        if (event.kind == QIV_LINE_WRITTEN) {
            story.sent.push_back(ms);
            continue;
        }
        if (story.sent.empty()) {
            (story.resynchronised ? story.beforeRequest : story.leftovers) += event.bytes;
            continue;
        }
        for (const char c : event.bytes) {
            std::vector<Arrival> &a = story.arrivals;
            if (a.empty() || c == '%' || a.back().bytes.back() == '\r')
                a.push_back({"", ms, ms});
            a.back().bytes += c;
            a.back().lastMs = ms;
        }
    }
    return story;
}

// A well-formed answer or error answer of some station.
bool IsAnswer(const std::string &frame) {
    return frame.size() >= static_cast<size_t>(wire::kAnswerOverhead) && frame[0] == '%' &&
           (frame[3] == '$' || frame[3] == '!') && frame.back() == '\r' &&
           wire::BlockCheckHolds(frame.data(), static_cast<int32_t>(frame.size()));
}

bool IsOwnAnswer(const std::string &frame, const std::string &station) {
    return IsAnswer(frame) && frame.compare(1, 2, station) == 0;
}

// "read" or "write", from the request frame ("%01#RD..", "%01#WC..").
std::string RequestKind(const std::string &request) {
    return request.size() > 4 && request[4] == 'W' ? "write" : "read";
}

// What the status request before the operation's own says: why the station
// had to be brought back in step.
std::string ResynchronisedNote(const Exchange &exchange, const Outcome &outcome,
                               const Story &story) {
    if (!story.resynchronised || story.sent.empty())
        return "";
    const std::string kind = RequestKind(outcome.request);
    const std::string station = exchange.station;
    // What the station sent after its requests had given up, found before
    // this one's request: thrown away before the status request, and read
    // before its answer.
    const std::string stale = story.leftovers + story.beforeRequest;
    size_t answers = 0;
    for (size_t at = stale.find("%" + station); at != std::string::npos;
         at = stale.find("%" + station, at + 1)) {
        ++answers;
    }
    // One of them is the status answer itself.
    if (answers > 1) {
        return "station " + station +
               " answered later than the horizon; resynchronised before this " + kind;
    }
    return "station " + station +
           " had left a request unanswered in its time; resynchronised "
           "before this " +
           kind;
}

// The request come back, as an adapter that hears itself returns it.
bool IsEcho(const std::string &frame) {
    return frame.size() >= 4 && frame[0] == '%' && frame[3] == '#';
}

// The start of the station's answer, cut off before its end.
bool IsCutAnswer(const std::string &frame, const std::string &station) {
    return frame.size() >= 4 && frame[0] == '%' && frame.compare(1, 2, station) == 0 &&
           frame[3] == '$' && frame.back() != '\r';
}

// "1", "1 and 2", "1, 2 and 3".
std::string Numbers(const std::vector<int> &numbers) {
    std::string text;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0)
            text += i + 1 == numbers.size() ? " and " : ", ";
        text += std::to_string(numbers[i]);
    }
    return text;
}

int RoundedUpToSteps(double ms) {
    return static_cast<int>(ceil(ms / 10 - 1e-9)) * 10;
}

// Before the monitor's trace was there: a hint from the frames' sizes alone,
// which can only say what may be.
std::string SizeHint(const LineOptions &line, const Exchange &exchange) {
    const double ms =
        LineMilliseconds(line, exchange.requestCharacters + exchange.answerCharacters);
    if (ms + 10 <= line.timeoutMs)
        return "";
    return "at " + LineSettingsText(line.settings) + " this request and its answer take about " +
           Ms(ms) + " on the line, more than the time-out (" + std::to_string(line.timeoutMs) +
           " ms): if the station is there, try --timeout " +
           std::to_string(TimeoutFor(line, exchange.requestCharacters + exchange.answerCharacters,
                                     line.timeoutMs));
}

// The hint for an operation that brought no usable answer, from what came.
std::string NoAnswerHint(const LineOptions &line, const Exchange &exchange, const Story &story) {
    const size_t characters = exchange.requestCharacters + exchange.answerCharacters;
    const int needed = TimeoutFor(line, characters, line.timeoutMs);
    std::vector<const Arrival *> came;
    for (const Arrival &arrival : story.arrivals) {
        if (!IsEcho(arrival.bytes))
            came.push_back(&arrival);
    }
    if (came.empty()) {
        const double request = LineMilliseconds(line, exchange.requestCharacters);
        if (request + 10 > line.timeoutMs) {
            return "at " + LineSettingsText(line.settings) + " the request alone takes " +
                   Ms(request) + " on the line, longer than the time-out (" +
                   std::to_string(line.timeoutMs) + " ms): try --timeout " + std::to_string(needed);
        }
        if (story.leftovers.find("%" + exchange.station) != std::string::npos) {
            return "an answer of station " + exchange.station +
                   " was still arriving when this request went out, after the previous "
                   "operation had given up on it: the station answers later than the time-out "
                   "and its guard; try a longer --timeout";
        }
        return "nothing came back at all: check the station number, the wiring and the line "
               "settings (" +
               LineSettingsText(line.settings) + "); qivma scan lists the stations that answer";
    }
    for (const Arrival *arrival : came) {
        if (IsCutAnswer(arrival->bytes, exchange.station)) {
            return "the answer was still coming when the driver gave up: at " +
                   LineSettingsText(line.settings) + " this request and its answer take " +
                   Ms(LineMilliseconds(line, characters)) + " on the line; try --timeout " +
                   std::to_string(needed);
        }
    }
    for (const Arrival *arrival : came) {
        if (IsAnswer(arrival->bytes) && !IsOwnAnswer(arrival->bytes, exchange.station)) {
            return "station " + arrival->bytes.substr(1, 2) + " answered, not station " +
                   exchange.station +
                   ": check the station number (two controllers with one number answer "
                   "together)";
        }
    }
    return "what came back was no answer (" + PrintableFrame(came.front()->bytes) +
           "): a rate, parity or character size other than the controller's garbles every "
           "answer; check the line settings (" +
           LineSettingsText(line.settings) + ") and the wiring";
}

}  // namespace

double LineMilliseconds(const LineOptions &line, size_t characters) {
    return LineMs(line.settings, characters);
}

int TimeoutFor(const LineOptions &line, size_t characters, int floorMs) {
    const int ms = RoundedUpToSteps(LineMilliseconds(line, characters) + kTimeoutMarginMs);
    return ms > floorMs ? ms : floorMs;
}

int AttemptsOf(const Outcome &outcome) {
    int attempts = 0;
    for (const LineEvent &event : outcome.line)
        attempts += event.kind == QIV_LINE_WRITTEN && !IsStatusRequest(event.bytes) ? 1 : 0;
    return attempts > 0 ? attempts : 1;
}

bool IsStatusRequest(const std::string &frame) {
    return frame.size() >= 6 && frame[0] == '%' && frame.compare(3, 3, "#RT") == 0;
}

std::string ErrorCodeOf(const std::string &response) {
    if (response.size() >= 6 && response[0] == '%' && response[3] == '!')
        return response.substr(4, 2);
    return "";
}

std::string ErrorCodeMeaning(const std::string &code) {
    if (code == "40")
        return "block check error";
    if (code == "41")
        return "format error";
    if (code == "42")
        return "command not supported";
    if (code == "43")
        return "procedure error";
    if (code == "60")
        return "parameter error";
    if (code == "61")
        return "data error: address out of range or data refused";
    if (code == "27")
        return "frame too long";
    return "controller error";
}

// What a success after retries says of the line.
static std::string AttemptsNote(const LineOptions &line, const Exchange &exchange,
                                const Outcome &outcome, const Story &story) {
    const int attempts = static_cast<int>(story.sent.size());
    if (attempts <= 1 || outcome.status != QIV_STATUS_OK)
        return "";
    const Arrival *taken = nullptr;
    int extra = 0;  // the station's answers after the one taken
    for (const Arrival &arrival : story.arrivals) {
        if (!IsOwnAnswer(arrival.bytes, exchange.station))
            continue;
        if (taken == nullptr)
            taken = &arrival;
        else
            ++extra;
    }
    if (taken == nullptr)
        return "answered on attempt " + std::to_string(attempts);
    // The attempt that was waiting when the answer came, and the last one
    // that it can answer: a request has to be on the line before the station
    // can answer it.
    int during = 0, answers = 0;
    const double requestMs = LineMilliseconds(line, exchange.requestCharacters);
    for (int i = 0; i < attempts; ++i) {
        during += story.sent[static_cast<size_t>(i)] <= taken->firstMs ? 1 : 0;
        answers += story.sent[static_cast<size_t>(i)] + requestMs <= taken->firstMs ? 1 : 0;
    }
    during = during > 0 ? during : 1;
    answers = answers > 0 ? answers : 1;
    const std::string start = "answered on attempt " + std::to_string(during);
    if (extra > 0 || answers < during) {
        // The station answers, but after the time-out: each attempt's answer
        // comes, late, and what did not come before the driver returned may
        // be taken for the next request's.
        const double delay = taken->lastMs - story.sent.front();
        int suggested = RoundedUpToSteps(delay + kTimeoutMarginMs);
        const int forLine = TimeoutFor(line, exchange.requestCharacters + exchange.answerCharacters,
                                       line.timeoutMs);
        suggested = suggested > forLine ? suggested : forLine;
        const int late = attempts - 1;
        return start + "; " + std::to_string(late) + " late answer" + (late == 1 ? "" : "s") +
               ": try --timeout " + std::to_string(suggested) + " (an answer comes " + Ms(delay) +
               " after its request; the time-out is " + std::to_string(line.timeoutMs) + " ms)";
    }
    // Answered in time: what the attempts before got.
    std::vector<int> silent, garbled;
    std::string firstGarbled;
    for (int i = 0; i + 1 < during; ++i) {
        const double from = story.sent[static_cast<size_t>(i)];
        const double to = story.sent[static_cast<size_t>(i) + 1];
        const Arrival *bad = nullptr;
        for (const Arrival &arrival : story.arrivals) {
            if (arrival.firstMs >= from && arrival.firstMs < to && !IsEcho(arrival.bytes))
                bad = bad != nullptr ? bad : &arrival;
        }
        if (bad == nullptr) {
            silent.push_back(i + 1);
        } else {
            garbled.push_back(i + 1);
            firstGarbled = firstGarbled.empty() ? PrintableFrame(bad->bytes) : firstGarbled;
        }
    }
    std::string text = start;
    if (!silent.empty()) {
        text += "; attempt" + std::string(silent.size() > 1 ? "s " : " ") + Numbers(silent) +
                " got no answer";
    }
    if (!garbled.empty()) {
        text += "; attempt" + std::string(garbled.size() > 1 ? "s " : " ") + Numbers(garbled) +
                " got no good answer (" + firstGarbled + ")";
    }
    return text;
}

std::string RetryNote(const LineOptions &line, const Exchange &exchange, const Outcome &outcome) {
    const Story story = ReadStory(outcome);
    const std::string resynchronised = ResynchronisedNote(exchange, outcome, story);
    const std::string retries = AttemptsNote(line, exchange, outcome, story);
    // What to try comes first: a table may show only the start of a note.
    if (resynchronised.empty() || retries.empty())
        return retries + resynchronised;
    return retries + "; " + resynchronised;
}

Explanation Explain(const LineOptions &line, const Exchange &exchange, const Outcome &outcome) {
    Explanation explanation;
    const std::string &station = exchange.station;
    if (outcome.request.empty()) {
        explanation.error = "the driver sent nothing: it composed no frame for this request";
        return explanation;
    }
    if (outcome.status == QIV_STATUS_LINE_FAILURE && outcome.nullDevice) {
        explanation.error = "the channel has no device (NULLDEV)";
        return explanation;
    }
    if (outcome.status == QIV_STATUS_LINE_FAILURE &&
        (line.port == "/dev/null" || line.port == "NUL")) {
        explanation.error = "no answer: " + line.port +
                            " is the null device, which takes every request and answers none";
        explanation.hint =
            "it tries the tool without a controller; give a serial port to talk "
            "to one";
        return explanation;
    }
    if (outcome.status == QIV_STATUS_LINE_FAILURE && outcome.portError != 0) {
        explanation.error = "the port failed (" + outcome.portFailure +
                            "): no frame could be exchanged with station " + station;
        explanation.hint =
            IsTcpPort(line.port)
                ? "the connection to the device server or the controller's Ethernet unit is "
                  "gone; check it and the network, and run again"
                : "the device is gone or broken (an adapter unplugged, a simulator stopped); "
                  "check it and open it again";
        return explanation;
    }
    const std::string &r = outcome.response;
    const std::string code = ErrorCodeOf(r);
    if (!code.empty()) {
        explanation.error = "station " + r.substr(1, 2) + " answered with error " + code + " (" +
                            ErrorCodeMeaning(code) + "): " + PrintableFrame(r);
        return explanation;
    }
    const bool traced = !outcome.line.empty();
    const Story story = ReadStory(outcome);
    if (story.resynchronised && story.sent.empty()) {
        int markers = 0;
        for (const LineEvent &event : outcome.line)
            markers += event.kind == QIV_LINE_WRITTEN && IsStatusRequest(event.bytes) ? 1 : 0;
        explanation.error =
            std::string(outcome.status == QIV_STATUS_REFUSED ? "no good answer" : "no answer") +
            " from station " + station + " to the " + std::to_string(markers) +
            " status requests that bring it back in step after an earlier request went "
            "unanswered: this " +
            RequestKind(outcome.request) + " was not sent";
        explanation.hint = story.beforeRequest.find("%" + station) != std::string::npos
                               ? "the station answers later than the time-out and its guard; "
                                 "try a longer --timeout"
                               : NoAnswerHint(line, exchange, story);
        return explanation;
    }
    const std::string hint =
        traced ? NoAnswerHint(line, exchange, story) : SizeHint(line, exchange);
    if (outcome.status == QIV_STATUS_LINE_FAILURE) {
        explanation.error = "no answer from station " + station + " (time-out " +
                            std::to_string(line.timeoutMs) + " ms, " +
                            std::to_string(traced ? AttemptsOf(outcome) : 3) + " attempts)";
        explanation.hint = hint;
        if (!traced && explanation.hint.empty()) {
            explanation.hint =
                "check the station number, the wiring and the line settings; "
                "qivma scan lists the stations that answer";
        }
        return explanation;
    }
    explanation.error = r.empty()
                            ? "nothing usable came back"
                            : "the answer was incomplete or not a good one: " + PrintableFrame(r);
    explanation.hint = hint;
    return explanation;
}
