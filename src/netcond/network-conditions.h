#pragma once

#include "common/frame.h"

namespace tracemint {

struct IpLayer;

// The path between the two hosts, where packets could be lost, held back,
// repeated or cut up before the capture point. A kind network: every packet
// passes at once, untouched.
struct NetworkConditions {
    IpLayer* ip = nullptr;
};

void passSegment(NetworkConditions& conditions, Frame& frame);

}  // namespace tracemint
