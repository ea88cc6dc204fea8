#pragma once

#include <cstddef>
#include <cstdint>

#include <vector>

#include "common/frame.h"
#include "common/random.h"
#include "common/settings.h"

namespace tracemint {

struct LinkLayer;

inline constexpr size_t ipv4HeaderSize = 20;
inline constexpr size_t ipv6HeaderSize = 40;
inline constexpr uint8_t ipProtocolTcp = 6;
inline constexpr uint8_t ipv6FragmentHeader = 44;
inline constexpr size_t ipv6FragmentHeaderSize = 8;

// IPv4 or IPv6 (by the frame's flow) in front of a TCP segment.
struct IpLayer {
    uint8_t ttl = 64;                // IPv4 time to live, IPv6 hop limit
    Random* random = nullptr;        // IPv4 identifications, drawn per packet
    LinkLayer* link = nullptr;
    // For fragmentation only (empty otherwise): the whole segment, its checksum
    // finished, and the order in which its fragments leave.
    std::vector<uint8_t> segment;
    std::vector<uint16_t> fragmentOrder;
    std::vector<uint8_t> decoySegment;  // for fragment decoys only
};

// Fragments with conflicting octets: each fragment but the one that completes
// the datagram gets a twin of the same offset and length carrying the decoy's
// octets, sent just before (first) or just after it.
struct FragmentDecoy {
    Bytes payload;  // as long as the segment's payload
    bool first = true;
};

inline size_t ipHeaderSize(uint8_t ipVersion) {
    return ipVersion == 6 ? ipv6HeaderSize : ipv4HeaderSize;
}

// Puts the IP header in front of the segment (whose TCP header is already in
// the frame) and adds the pseudo-header to the open TCP checksum. ipv4Id is the
// IPv4 identification.
void prependIpHeader(Frame& frame, uint8_t ttl, uint16_t ipv4Id);

// 16 fresh bits of identification for an IPv4 packet (one draw); 0 for IPv6,
// which draws nothing.
uint16_t drawIpv4Id(IpLayer& ip, const Flow& flow);

// Puts the IP header with the given identification in front of the segment
// and hands the packet to the link.
void sendIpPacketWithId(IpLayer& ip, Frame& frame, uint16_t ipv4Id);

// Sends the segment as IP fragments of fragmentSize octets of IP payload each
// (a multiple of 8; the last may be shorter), in the given order. The TCP
// checksum is finished over the whole segment first, since no fragment holds
// all of it. IPv4 fragments share ipv4Id; IPv6 ones carry a Fragment header
// with a fresh 32-bit identification.
// With a decoy, each twin has two octets adjusted so that it adds the same to
// the TCP checksum as its real fragment: whichever of the two a host keeps, the
// datagram it reassembles carries a valid checksum.
void sendIpFragments(IpLayer& ip, Frame& frame, uint16_t ipv4Id, size_t fragmentSize,
                     FragmentOrder order, const FragmentDecoy* decoy = nullptr);

// Draws the identification (IPv4), puts the IP header in front of the
// segment, and hands the packet to the link.
void sendIpPacket(IpLayer& ip, Frame& frame);

}  // namespace tracemint
