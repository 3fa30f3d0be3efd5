// What the channel knows of each station's answers still on their way.
//
// Answers carry no request number, so an answer that comes after its request
// gave up looks exactly like a prompt answer to the next request of that
// station. A station is doubtful once such an answer may still come: one of
// its attempts went unanswered in its time, or an answer of it came that no
// request was waiting for. Before a doubtful station is asked again, it is
// sent a marker (the status request, whose answer no read or write answer can
// be taken for) and what it sends before the marker's answer is thrown away.
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

constexpr int kStationCount = 256;
// Marker answers still owed, and markers sent since a station became
// doubtful, are counted up to this many; beyond it a count stays there. Each
// attempt to a doubtful station sends a marker, one time-out after the one
// before, so a count this high is reached only by a station whose answers
// come more than this many time-outs late (1.3 s at 40 ms), or by one that
// has not answered for as many attempts: its markers' answers, never to
// come, are counted as owed once it is in step, until it answers a request.
constexpr uint8_t kMaxOwedMarkers = 31;

// Every station in step: a channel starts so.
void ClearStationDoubts(DriverInstance &instance);

bool IsDoubtful(const DriverInstance &instance, int32_t station);
void MarkDoubtful(DriverInstance &instance, int32_t station);
// The station's answers are known to be all in: nothing of it is on its way
// but `owedMarkers` answers to earlier markers.
void MarkInStep(DriverInstance &instance, int32_t station, int owedMarkers);

// Answers to markers sent before the station last became doubtful that have
// not been seen: each may still come, and the first status answers that come
// are theirs. A status answer beyond them answers a marker sent since the
// station became doubtful, and so comes after every answer to the requests
// that made it doubtful: it proves the station in step.
uint8_t OwedMarkers(const DriverInstance &instance, int32_t station);
void SetOwedMarkers(DriverInstance &instance, int32_t station, int owed);
// Markers sent since the station became doubtful.
uint8_t MarkersSinceDoubt(const DriverInstance &instance, int32_t station);
void CountMarkerSent(DriverInstance &instance, int32_t station);
