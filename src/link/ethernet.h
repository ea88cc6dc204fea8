#pragma once

#include <cstddef>
#include <cstdint>

#include "common/frame.h"
#include "common/settings.h"

namespace tracemint {

struct CaptureFile;

inline constexpr size_t ethernetHeaderSize = 14;
inline constexpr size_t vlanTagSize = 4;
inline constexpr uint16_t etherTypeIPv4 = 0x0800;
inline constexpr uint16_t etherTypeIPv6 = 0x86DD;
inline constexpr uint16_t etherTypeVlan = 0x8100;      // 802.1Q customer tag
inline constexpr uint16_t etherTypeProvider = 0x88A8;  // 802.1ad service (outer) tag

// Ethernet, with one or two VLAN tags when the link has them. The MAC addresses
// are the flow's hosts'.
struct LinkLayer {
    const LinkSettings* settings = nullptr;
    CaptureFile* capture = nullptr;
};

// Octets of link header in front of every IP packet on this link.
size_t linkHeaderSize(const LinkSettings& link);

// Puts the Ethernet header (and tags) in front of the packet and hands the
// frame to the capture.
void sendLinkFrame(LinkLayer& link, Frame& frame);

}  // namespace tracemint
