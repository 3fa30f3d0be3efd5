#include "protocol/station_state.h"

#include <string.h>

#include "protocol/frames.h"

namespace {

constexpr int kStationCount = 256;
constexpr uint8_t kDoubtful = 0x80;
constexpr uint8_t kOwedMask = 0x3F;
static_assert(kMaxOwedMarkers <= kOwedMask, "the owed count must fit its bits");

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

void Mark(DriverInstance &instance, uint8_t everyState) {
    memcpy(instance.txFrame + kMarkAt, kMark, sizeof kMark);
    memset(instance.txFrame + kStateAt, everyState, kStationCount);
    memset(instance.txFrame + kMarkersAt, 0, kStationCount);
}

uint8_t &ByteAt(DriverInstance &instance, int at, int32_t station) {
    if (memcmp(instance.txFrame + kMarkAt, kMark, sizeof kMark) != 0) {
        Mark(instance, kDoubtful);
    }
    return reinterpret_cast<uint8_t &>(instance.txFrame[at + (station & 0xFF)]);
}

uint8_t Capped(int count) {
    return static_cast<uint8_t>(count < 0 ? 0 : count > kMaxOwedMarkers ? kMaxOwedMarkers : count);
}

}  // namespace

void StationState::ClearAll(DriverInstance &instance) {
    Mark(instance, 0);
}

StationState::StationState(DriverInstance &instance, int32_t station)
    : state_(ByteAt(instance, kStateAt, station)),
      markers_(ByteAt(instance, kMarkersAt, station)) {}

bool StationState::IsDoubtful() const {
    return (state_ & kDoubtful) != 0;
}

void StationState::Doubt() {
    state_ |= kDoubtful;
}

void StationState::AnswerUnasked(bool statusAnswer) {
    const int owed = state_ & kOwedMask;
    if (statusAnswer && owed > 0) {
        state_ = static_cast<uint8_t>((state_ & ~kOwedMask) | (owed - 1));
        return;
    }
    Doubt();
}

void StationState::MarkerSent() {
    markers_ = Capped(markers_ + 1);
}

bool StationState::StatusAnswerProves(bool early) {
    const int owed = state_ & kOwedMask;
    if (owed > 0 || early) {
        state_ = static_cast<uint8_t>((state_ & ~kOwedMask) | (owed > 0 ? owed - 1 : 0));
        return false;
    }
    // It answers one of this doubt's markers: the others' may still come.
    state_ = Capped(markers_ - 1);
    markers_ = 0;
    return true;
}

void StationState::InStepAfterErrorAnswer() {
    state_ = Capped((state_ & kOwedMask) + markers_);
    markers_ = 0;
}

void StationState::RequestAnswered() {
    state_ &= static_cast<uint8_t>(~kOwedMask);
}
