#include "protocol/station_doubt.h"

#include <string.h>

#include "protocol/frames.h"

namespace {

constexpr uint8_t kDoubtful = 0x80;
constexpr uint8_t kOwedMask = 0x03;
constexpr uint8_t kPeriodShift = 2;
constexpr uint8_t kPeriodMask = 0x0C;

// The longest frame the driver composes ends long before this.
constexpr int kStateAt = QIV_TX_FRAME_SIZE - kStationCount;
// A mark before the states says that they are the channel's: a host that
// cleared the whole txFrame, or a block never started, has none, and then no
// station is known to be in step.
constexpr char kMark[4] = {'Q', 'v', 'S', 'd'};
constexpr int kMarkAt = kStateAt - static_cast<int>(sizeof kMark);
static_assert(kMarkAt > kWriteFrameArea, "the stations' state must lie beyond every frame");

bool HasMark(const DriverInstance &instance) {
    return memcmp(instance.txFrame + kMarkAt, kMark, sizeof kMark) == 0;
}

void Mark(DriverInstance &instance, uint8_t everyState) {
    memcpy(instance.txFrame + kMarkAt, kMark, sizeof kMark);
    memset(instance.txFrame + kStateAt, everyState, kStationCount);
}
static_assert(kMaxOwedMarkers <= kOwedMask, "the owed count must fit its bits");

uint8_t &StateOf(DriverInstance &instance, int32_t station) {
    if (!HasMark(instance)) {
        Mark(instance, kDoubtful);
    }
    return reinterpret_cast<uint8_t &>(instance.txFrame[kStateAt + (station & 0xFF)]);
}

uint8_t StateOf(const DriverInstance &instance, int32_t station) {
    if (!HasMark(instance)) {
        return kDoubtful;
    }
    return static_cast<uint8_t>(instance.txFrame[kStateAt + (station & 0xFF)]);
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

void MarkInStep(DriverInstance &instance, int32_t station, uint8_t owedMarkers) {
    StateOf(instance, station) = owedMarkers > kMaxOwedMarkers ? kMaxOwedMarkers : owedMarkers;
}

uint8_t OwedMarkers(const DriverInstance &instance, int32_t station) {
    return StateOf(instance, station) & kOwedMask;
}

void SetOwedMarkers(DriverInstance &instance, int32_t station, uint8_t owed) {
    uint8_t &state = StateOf(instance, station);
    state = static_cast<uint8_t>((state & ~kOwedMask) |
                                 (owed > kMaxOwedMarkers ? kMaxOwedMarkers : owed));
}

uint8_t MarkersSinceDoubt(const DriverInstance &instance, int32_t station) {
    return static_cast<uint8_t>((StateOf(instance, station) & kPeriodMask) >> kPeriodShift);
}

void CountMarkerSent(DriverInstance &instance, int32_t station) {
    uint8_t &state = StateOf(instance, station);
    const uint8_t sent = static_cast<uint8_t>((state & kPeriodMask) >> kPeriodShift);
    if (sent < kMaxOwedMarkers) {
        state = static_cast<uint8_t>((state & ~kPeriodMask) | ((sent + 1) << kPeriodShift));
    }
}
