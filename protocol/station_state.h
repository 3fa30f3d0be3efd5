// What the channel knows of each station's answers still on their way.
//
// Answers carry no request number, so an answer that comes after its request
// gave up looks exactly like a prompt answer to the next request of that
// station. A station is doubtful once such an answer may still come: one of
// its attempts went unanswered in its time, or an answer of it came that no
// request was waiting for. While a station is doubtful, each attempt sends it
// a marker (the status request, whose answer no read or write answer can be
// taken for, nor it for one) instead of the request, and what it sends before
// a marker's answer is thrown away. The station answers one request after
// another, so a marker's answer proves that every answer owed to requests
// sent before that marker has come.
//
// What may still come after the proof is status answers to the other
// markers sent while the station was doubtful. They are counted as owed:
// the first status answers that come are counted off against them and prove
// nothing. An answer that a request takes shows that every marker sent
// before it was answered or never will be.
//
// Each station (every value its two digits can name) has two bytes in the
// tail of the channel's txFrame, beyond the longest frame ever composed, so
// that the work area keeps its size and every field keeps its meaning: the
// frame a host reads there ends at its NUL, long before. A host that clears
// the whole field clears what the channel knew: every station is then
// doubtful until it has been brought in step.
#pragma once

#include <stdint.h>

#include "qivma.h"

// Marker answers owed, and markers sent since a station became doubtful, are
// counted up to this many; beyond it a count stays there. Each attempt to a
// doubtful station sends a marker, one time-out after the one before, so a
// count this high is reached only by a station whose answers come more than
// this many time-outs late (1.3 s at 40 ms), or by one that has not answered
// for as many attempts: its markers' answers, never to come, are counted as
// owed once it is in step, until it answers a request.
constexpr uint8_t kMaxOwedMarkers = 31;

class StationState {
  public:
    // Every station in step: a channel starts so.
    static void ClearAll(DriverInstance &instance);

    StationState(DriverInstance &instance, int32_t station);

    bool IsDoubtful() const;
    // One of the station's attempts went unanswered in its time.
    void Doubt();
    // A well-formed answer of the station that no request was waiting for:
    // a status answer that a marker is owed is counted off, and anything
    // else may be the answer that a later request would take.
    void AnswerUnasked(bool statusAnswer);

    void MarkerSent();
    // A status answer heard while a marker waits for its answer; `early`
    // when it began before the station could have heard that marker. True
    // when it proves the station in step (it is then); false when it was
    // owed to an earlier marker, and is counted off.
    bool StatusAnswerProves(bool early);
    // An error answer to the marker that nothing of the station followed
    // until the marker's horizon: in step, every marker of this doubt owed.
    void InStepAfterErrorAnswer();
    // An answer that a request took: no marker sent before it is still to
    // be answered.
    void RequestAnswered();

  private:
    uint8_t &state_;    // doubtful, and the status answers owed
    uint8_t &markers_;  // sent since the station became doubtful
};
