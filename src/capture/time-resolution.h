#pragma once

#include <cstdint>

#include "timing/sim-clock.h"

namespace tracemint {

// The unit of a capture's timestamps. Both capture formats can tell either: pcap by
// its magic number, pcapng by the interface's if_tsresol option (a power of ten).
enum class TimeResolution : uint8_t { microsecond = 6, nanosecond = 9 };

// The stamp's part below the second, in the resolution's unit.
inline uint32_t stampFraction(SimClock stamp, TimeResolution resolution) {
    const auto usec = static_cast<uint32_t>(stamp.usec);
    return resolution == TimeResolution::nanosecond ? usec * 1000 : usec;
}

// The stamp as one count of the resolution's units since the epoch.
inline uint64_t stampUnits(SimClock stamp, TimeResolution resolution) {
    const uint64_t perSecond = resolution == TimeResolution::nanosecond ? 1000000000 : 1000000;
    return uint64_t{stamp.sec} * perSecond + stampFraction(stamp, resolution);
}

}  // namespace tracemint
