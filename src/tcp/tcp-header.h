#pragma once

#include <cstddef>
#include <cstdint>

#include "common/byte-order.h"
#include "common/frame.h"

namespace tracemint {

// TCP flags bytes used by the conversations.
inline constexpr uint8_t tcpFin = 0x01;
inline constexpr uint8_t tcpSyn = 0x02;
inline constexpr uint8_t tcpSynAck = 0x12;
inline constexpr uint8_t tcpAck = 0x10;
inline constexpr uint8_t tcpPshAck = 0x18;
inline constexpr uint8_t tcpFinAck = 0x11;

inline constexpr size_t tcpHeaderSize = 20;
inline constexpr size_t maxTcpOptionsSize = 40;
// The timestamps option as Linux sends it on every segment after the
// handshake: two NOPs, then kind 8, length 10, TSval, TSecr.
inline constexpr size_t timestampsOptionSize = 12;
// MSS, SACK-permitted, timestamps, NOP, window scale: Linux's SYN options.
inline constexpr size_t synOptionsSize = 20;

struct TcpHeader {
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t flags = 0;
    uint16_t window = 0;
    Bytes options;  // a multiple of 4 octets, at most 40
};

// Puts the header in front of the frame's payload, its checksum left open for
// the capture writer (the header itself already summed in).
void prependTcpHeader(Frame& frame, const TcpHeader& header);

// The SYN's options in Linux's order: MSS, SACK-permitted, timestamps, NOP,
// window scale. out has room for synOptionsSize octets.
void writeSynOptions(uint8_t* out, uint16_t mss, uint32_t tsval, uint32_t tsecr, uint8_t windowShift);
// NOP, NOP, timestamps. out has room for timestampsOptionSize octets.
void writeTimestampsOption(uint8_t* out, uint32_t tsval, uint32_t tsecr);

}  // namespace tracemint
