#pragma once

#include <cstdint>

namespace tracemint {

// The simulated clock that stamps every record: whole seconds and microseconds.
struct SimClock {
    uint32_t sec = 0;
    int32_t usec = 0;
};

// 2008-10-13 13:55:36 UTC: the stamp of the first packet's predecessor.
inline constexpr uint32_t startTime = 1223906136;
inline constexpr int32_t packetInterval = 13000;
// After a rollover step the microseconds are at most 986999, so the plain step of
// the acknowledgement that follows stays within the second (at most 999999).
inline constexpr int32_t rolloverLimit = 986999;

// Plain step: the pure acknowledgement that follows a payload segment.
void advanceClock(SimClock& clock);
// Step of every payload, handshake and teardown packet: past rolloverLimit the
// clock moves to the next whole second at 0 microseconds.
void advanceClockWithRollover(SimClock& clock);

}  // namespace tracemint
