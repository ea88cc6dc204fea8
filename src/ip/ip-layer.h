#pragma once

#include <cstddef>
#include <cstdint>

#include "common/frame.h"
#include "common/random.h"

namespace tracemint {

struct LinkLayer;

inline constexpr size_t ipv4HeaderSize = 20;
inline constexpr size_t ipv6HeaderSize = 40;
inline constexpr uint8_t ipProtocolTcp = 6;

// IPv4 or IPv6 (by the frame's flow) in front of a TCP segment.
struct IpLayer {
    uint8_t ttl = 64;                // IPv4 time to live, IPv6 hop limit
    Random* random = nullptr;        // IPv4 identifications, drawn per packet
    LinkLayer* link = nullptr;
};

inline size_t ipHeaderSize(uint8_t ipVersion) {
    return ipVersion == 6 ? ipv6HeaderSize : ipv4HeaderSize;
}

// Puts the IP header in front of the segment (whose TCP header is already in
// the frame) and adds the pseudo-header to the open TCP checksum. ipv4Id is the
// IPv4 identification.
void prependIpHeader(Frame& frame, uint8_t ttl, uint16_t ipv4Id);

// Draws the identification (IPv4), puts the IP header in front of the
// segment, and hands the packet to the link.
void sendIpPacket(IpLayer& ip, Frame& frame);

}  // namespace tracemint
