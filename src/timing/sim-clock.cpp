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

}  // namespace tracemint
