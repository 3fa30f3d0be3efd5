#include "protocol/station_doubt.h"

#include <string.h>

#include "protocol/frames.h"

namespace {

constexpr uint8_t kDoubtful = 0x80;
constexpr uint8_t kOwedMask = 0x3F;

// The longest frame the driver composes ends long before these: for each
// station, its doubt and the marker answers it owes, then the markers sent
// to it since it became doubtful.
constexpr int kStateAt = QIV_TX_FRAME_SIZE - kStationCount;
constexpr int kMarkersAt = kStateAt - kStationCount;
// A mark before the states says that they are the channel's: a host that
// cleared the whole txFrame, or a block never started, has none, and then no
// station is known to be in step.
constexpr char kMark[4] = {'Q', 'v', 'S', '2'};
constexpr int kMarkAt = kMarkersAt - static_cast<int>(sizeof kMark);
static_assert(kMarkAt > kWriteFrameArea, "the stations' state must lie beyond every frame");
static_assert(kMaxOwedMarkers <= kOwedMask, "the owed count must fit its bits");

bool HasMark(const DriverInstance &instance) {
    return memcmp(instance.txFrame + kMarkAt, kMark, sizeof kMark) == 0;
}

void Mark(DriverInstance &instance, uint8_t everyState) {
    memcpy(instance.txFrame + kMarkAt, kMark, sizeof kMark);
    memset(instance.txFrame + kStateAt, everyState, kStationCount);
    memset(instance.txFrame + kMarkersAt, 0, kStationCount);
}

uint8_t &ByteAt(DriverInstance &instance, int at, int32_t station) {
    if (!HasMark(instance)) {
        Mark(instance, kDoubtful);
    }
    return reinterpret_cast<uint8_t &>(instance.txFrame[at + (station & 0xFF)]);
}

uint8_t ByteAt(const DriverInstance &instance, int at, int32_t station, uint8_t unmarked) {
    if (!HasMark(instance)) {
        return unmarked;
    }
    return static_cast<uint8_t>(instance.txFrame[at + (station & 0xFF)]);
}

uint8_t &StateOf(DriverInstance &instance, int32_t station) {
    return ByteAt(instance, kStateAt, station);
}

uint8_t StateOf(const DriverInstance &instance, int32_t station) {
    return ByteAt(instance, kStateAt, station, kDoubtful);
}

uint8_t Capped(int count) {
    return static_cast<uint8_t>(count > kMaxOwedMarkers ? kMaxOwedMarkers : count);
}

}  // namespace

void ClearStationDoubts(DriverInstance &instance) {
    Mark(instance, 0);
}

bool IsDoubtful(const DriverInstance &instance, int32_t station) {
    return (StateOf(instance, station) & kDoubtful) != 0;
}

void MarkDoubtful(DriverInstance &instance, int32_t station) {
    StateOf(instance, station) |= kDoubtful;
}

void MarkInStep(DriverInstance &instance, int32_t station, int owedMarkers) {
    StateOf(instance, station) = Capped(owedMarkers);
    ByteAt(instance, kMarkersAt, station) = 0;
}

uint8_t OwedMarkers(const DriverInstance &instance, int32_t station) {
    return StateOf(instance, station) & kOwedMask;
}

void SetOwedMarkers(DriverInstance &instance, int32_t station, int owed) {
    uint8_t &state = StateOf(instance, station);
    state = static_cast<uint8_t>((state & ~kOwedMask) | Capped(owed));
}

uint8_t MarkersSinceDoubt(const DriverInstance &instance, int32_t station) {
    return ByteAt(instance, kMarkersAt, station, 0);
}

void CountMarkerSent(DriverInstance &instance, int32_t station) {
    uint8_t &sent = ByteAt(instance, kMarkersAt, station);
    sent = Capped(sent + 1);
}
