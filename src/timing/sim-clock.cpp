#include "timing/sim-clock.h"

namespace tracemint {

void advanceClock(SimClock& clock) {
    clock.usec += packetInterval;
}

void advanceClockWithRollover(SimClock& clock) {
    clock.usec += packetInterval;
    if (clock.usec > rolloverLimit) {
        clock.sec += 1;
        clock.usec = 0;
    }
}

PacketClock startPacketClock(const TimingSettings& timing) {
    PacketClock clock;
    clock.modelled = timing.modelled();
    clock.nowNs = timing.startNs;
    // The fixed clock holds the first packet's predecessor, one step before the
    // start, so that the first step lands on it: a start on a whole second is
    // reached by rolling over from 987 ms of the second before.
    const uint64_t step = uint64_t{packetInterval} * 1000u;
    if (timing.startNs < step) {
        // A start at the epoch has its predecessor before it: second 0, less
        // than 0 microseconds, which the first step brings back to 0.
        clock.fixed.sec = 0;
        clock.fixed.usec = static_cast<int32_t>(timing.startNs / 1000u) - packetInterval;
        return clock;
    }
    const uint64_t predecessor = timing.startNs - step;
    clock.fixed.sec = static_cast<uint32_t>(predecessor / 1000000000u);
    clock.fixed.usec = static_cast<int32_t>((predecessor % 1000000000u) / 1000u);
    return clock;
}

uint64_t stepPacket(PacketClock& clock) {
    advanceClockWithRollover(clock.fixed);
    clock.nowNs = nanoseconds(clock.fixed);
    return clock.nowNs;
}

uint64_t stepAcknowledgement(PacketClock& clock) {
    advanceClock(clock.fixed);
    clock.nowNs = nanoseconds(clock.fixed);
    return clock.nowNs;
}

void waitUntil(PacketClock& clock, uint64_t timeNs) {
    if (timeNs <= clock.nowNs) return;
    clock.nowNs = timeNs;
    clock.fixed.sec = static_cast<uint32_t>(timeNs / 1000000000u);
    clock.fixed.usec = static_cast<int32_t>((timeNs % 1000000000u) / 1000u);
}

}  // namespace tracemint
