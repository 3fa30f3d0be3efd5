#include "tools/qivma/explain.h"

#include <math.h>

#include "tools/qivma/tool_platform.h"
#include "tools/qivma/value_format.h"

namespace {

// "%", station, "$" or "!", the echo or code, block check, carriage return.
constexpr size_t kAnswerOverhead = 9;
constexpr size_t kCharactersPerWord = 4;

double BitsPerCharacter(const LineOptions &line) {
    const double stop = line.stopBits == QIV_STOPBITS_TWO            ? 2
                        : line.stopBits == QIV_STOPBITS_ONE_AND_HALF ? 1.5
                                                                     : 1;
    return 1 + line.dataBits + (line.parity == QIV_PARITY_NONE ? 0 : 1) + stop;
}

// A hint when the request and its answer take longer on the line than the
// time-out gives them: the answer then comes too late to be taken.
std::string SlowLineHint(const LineOptions &line, Operation op, size_t words,
                         const Outcome &outcome) {
    const size_t answer =
        kAnswerOverhead + (op == Operation::kRead ? kCharactersPerWord * words : 0);
    const double ms = LineMilliseconds(line, outcome.request.size() + answer);
    if (ms + 10 <= line.timeoutMs)
        return "";
    const int suggested = static_cast<int>(ceil((ms * 1.5 + 20) / 10)) * 10;
    return "at " + std::to_string(line.baud) + " bit/s this request and its answer take about " +
           std::to_string(static_cast<int>(ms + 0.5)) +
           " ms on the line, more than the time-out (" + std::to_string(line.timeoutMs) +
           " ms): try --timeout " + std::to_string(suggested);
}

}  // namespace

double LineMilliseconds(const LineOptions &line, size_t characters) {
    return line.baud == 0 ? 0 : characters * BitsPerCharacter(line) * 1000.0 / line.baud;
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

Explanation Explain(const LineOptions &line, const std::string &station, Operation op, size_t words,
                    const Outcome &outcome) {
    Explanation explanation;
    if (outcome.request.empty()) {
        explanation.error = "the driver sent nothing: it composed no frame for this request";
        return explanation;
    }
    explanation.hint = SlowLineHint(line, op, words, outcome);
    if (outcome.status == QIV_STATUS_LINE_FAILURE) {
        if (outcome.nullDevice) {
            explanation.error = "the channel has no device (NULLDEV)";
            explanation.hint.clear();
            return explanation;
        }
        if (outcome.portError != 0) {
            explanation.error = "the port failed (" + SystemErrorText(outcome.portError) +
                                "): no frame could be exchanged with station " + station;
            explanation.hint =
                "the device is gone or broken (an adapter unplugged, a simulator stopped); "
                "check it and open it again";
            return explanation;
        }
        explanation.error = "no answer from station " + station + " (time-out " +
                            std::to_string(line.timeoutMs) + " ms, 3 attempts)";
        if (explanation.hint.empty()) {
            explanation.hint =
                "check the station number, the wiring and the line settings; "
                "qivma scan lists the stations that answer";
        }
        return explanation;
    }
    const std::string &r = outcome.response;
    const std::string code = ErrorCodeOf(r);
    if (!code.empty()) {
        explanation.error = "station " + r.substr(1, 2) + " answered with error " + code + " (" +
                            ErrorCodeMeaning(code) + "): " + PrintableFrame(r);
        explanation.hint.clear();
    } else if (r.empty()) {
        explanation.error = "nothing usable came back";
    } else {
        explanation.error = "the answer was incomplete or not a good one: " + PrintableFrame(r);
    }
    return explanation;
}
