#pragma once

#include <cstdint>

#include "common/settings.h"

namespace tracemint {

// The steps of the fixed clock: whole seconds and microseconds.
struct SimClock {
    uint32_t sec = 0;
    int32_t usec = 0;
};

inline constexpr int32_t packetInterval = 13000;
// After a rollover step the microseconds are at most 986999, so the plain step of
// the acknowledgement that follows stays within the second (at most 999999).
inline constexpr int32_t rolloverLimit = 986999;

// Plain step: the pure acknowledgement that follows a payload segment.
void advanceClock(SimClock& clock);
// Step of every payload, handshake and teardown packet: past rolloverLimit the
// clock moves to the next whole second at 0 microseconds.
void advanceClockWithRollover(SimClock& clock);

// The run's clock. Without a round trip or a rate it steps 13 ms per packet (the
// fixed clock above); with them the TCP layer computes each packet's time and
// moves nowNs forward. Either way time never runs backwards: every capture of a
// run, and every connection in it, continues where the last packet left it.
struct PacketClock {
    SimClock fixed;
    uint64_t nowNs = 0;
    bool modelled = false;
};

// A clock whose first packet falls on the settings' start time.
PacketClock startPacketClock(const TimingSettings& timing);
// Fixed clock: the step of a payload, handshake or teardown packet, and the step
// of the acknowledgement that follows a payload. Each returns the new time.
uint64_t stepPacket(PacketClock& clock);
uint64_t stepAcknowledgement(PacketClock& clock);
// Moves the clock on to timeNs (never back): a sender that waits for a timer.
void waitUntil(PacketClock& clock, uint64_t timeNs);

inline uint64_t nanoseconds(SimClock clock) {
    return uint64_t{clock.sec} * 1000000000u + uint64_t(clock.usec) * 1000u;
}

}  // namespace tracemint
