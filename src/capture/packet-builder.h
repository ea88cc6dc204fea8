#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "common/byte-order.h"
#include "driver/connection.h"

namespace tracemint {

// TCP flags bytes used by the conversations.
inline constexpr uint8_t tcpSyn = 0x02;
inline constexpr uint8_t tcpSynAck = 0x12;
inline constexpr uint8_t tcpAck = 0x10;
inline constexpr uint8_t tcpPshAck = 0x18;
inline constexpr uint8_t tcpFinAck = 0x11;

inline constexpr uint16_t tcpWindow = 5840;
inline constexpr size_t ethernetHeaderSize = 14;
inline constexpr size_t tcpHeaderSize = 20;
inline constexpr size_t ipv4HeaderSize = 20;
inline constexpr size_t ipv6HeaderSize = 40;
inline constexpr size_t maxIpTcpHeaderSize = ipv6HeaderSize + tcpHeaderSize;
// A segment's payload may be given in this many pieces (a chunk: size line, data, line end).
inline constexpr size_t maxPayloadPieces = 3;

// Ethernet, IP and TCP headers in front of every payload: 54 under IPv4, 74 under IPv6.
size_t frameOverhead(uint8_t ipVersion);

// The IP header (v4 or v6 by conn.ipVersion) followed by the TCP header of one
// segment from the given direction's sender, both checksums filled in, into out
// (room for maxIpTcpHeaderSize bytes). The payload is the concatenation of the
// pieces. Returns the number of header bytes. ipId is the IPv4 identification.
size_t buildPacketHeaders(const Connection& conn, uint8_t direction, uint8_t flags,
                          std::initializer_list<Bytes> payload, uint16_t ipId, uint8_t* out);

// Writes one whole record into the capture: record header stamped with the
// shared clock, Ethernet header of the direction, IP and TCP headers, payload.
// Then advances the sender's sequence number by the payload length (SYN and FIN
// are counted by the caller).
void writeSegment(Connection& conn, std::initializer_list<Bytes> payload, uint8_t direction,
                  uint8_t flags);

}  // namespace tracemint
