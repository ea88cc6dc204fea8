#include "timing/sim-clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tracemint {
namespace {

struct ClockStep {
    int32_t usec;           // microseconds before the step
    bool rollover;          // advanceClockWithRollover, else advanceClock
    uint32_t secondsAdded;  // expected
    int32_t usecAfter;      // expected
};

TEST(SimClock, StepsAndRollover) {
    const ClockStep steps[] = {
        {0, true, 0, 13000},
        {500000, true, 0, 513000},
        // The last value that stays in the second lands exactly on 986999.
        {973999, true, 0, 986999},
        // One more and the step passes 986999: next whole second, 0 microseconds.
        {974000, true, 1, 0},
        {986999, true, 1, 0},
        {999999, true, 1, 0},
        // The plain step never rolls over, even where the rollover step would.
        {0, false, 0, 13000},
        {974000, false, 0, 987000},
        {986999, false, 0, 999999},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(::testing::Message()
                     << "from " << s.usec << (s.rollover ? " rollover" : " plain"));
        SimClock clock{1223906136, s.usec};
        if (s.rollover) {
            advanceClockWithRollover(clock);
        } else {
            advanceClock(clock);
        }
        EXPECT_EQ(clock.sec, 1223906136u + s.secondsAdded);
        EXPECT_EQ(clock.usec, s.usecAfter);
    }
}

TEST(SimClock, PlainStepAfterRolloverStepStaysInTheSecond) {
    // A payload segment takes the rollover step and its acknowledgement the plain
    // step; whatever the clock read before, the acknowledgement's stamp must be a
    // valid microsecond count (below 1,000,000) in a second not before the segment's.
    for (int32_t usec = 0; usec < 1000000; ++usec) {
        SimClock clock{100, usec};
        advanceClockWithRollover(clock);
        const SimClock segment = clock;
        advanceClock(clock);
        ASSERT_LT(clock.usec, 1000000) << "from " << usec;
        ASSERT_EQ(clock.sec, segment.sec) << "from " << usec;
        ASSERT_EQ(clock.usec, segment.usec + 13000) << "from " << usec;
    }
}

}  // namespace
}  // namespace tracemint
