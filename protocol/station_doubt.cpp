#include "protocol/station_doubt.h"

#include <string.h>

#include "protocol/frames.h"

namespace {

constexpr uint8_t kDoubtful = 0x80;
constexpr uint8_t kOwedMask = 0x03;

// The longest frame the driver composes ends long before this.
constexpr int kStateAt = QIV_TX_FRAME_SIZE - kStationCount;
static_assert(kStateAt > kWriteFrameArea, "the stations' state must lie beyond every frame");
static_assert(kMaxOwedMarkers <= kOwedMask, "the owed count must fit its bits");

uint8_t &StateOf(DriverInstance &instance, int32_t station) {
    return reinterpret_cast<uint8_t &>(instance.txFrame[kStateAt + (station & 0xFF)]);
}

uint8_t StateOf(const DriverInstance &instance, int32_t station) {
    return static_cast<uint8_t>(instance.txFrame[kStateAt + (station & 0xFF)]);
}

}  // namespace

void ClearStationDoubts(DriverInstance &instance) {
    memset(instance.txFrame + kStateAt, 0, kStationCount);
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
