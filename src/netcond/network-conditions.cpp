#include "netcond/network-conditions.h"

#include "ip/ip-layer.h"

namespace tracemint {

void passSegment(NetworkConditions& conditions, Frame& frame) {
    sendIpPacket(*conditions.ip, frame);
}

}  // namespace tracemint
