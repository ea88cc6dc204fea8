#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "capture/time-resolution.h"
#include "common/byte-order.h"

// The pcapng blocks this tool writes, as pure functions over bytes: a section
// header, one Ethernet interface, and an enhanced packet block per frame. Every
// field is written little-endian, which the section header's byte-order magic
// declares to the reader; every block and option is padded to 32 bits.
namespace tracemint {

inline constexpr uint32_t pcapngSectionHeaderType = 0x0A0D0D0A;
inline constexpr uint32_t pcapngInterfaceDescriptionType = 0x00000001;
inline constexpr uint32_t pcapngEnhancedPacketType = 0x00000006;
inline constexpr uint32_t pcapngByteOrderMagic = 0x1A2B3C4D;

// Option codes. Comments and the end of the options are common to every block.
inline constexpr uint16_t pcapngOptEndOfOptions = 0;
inline constexpr uint16_t pcapngOptComment = 1;
inline constexpr uint16_t pcapngOptUserApplication = 4;  // section header
inline constexpr uint16_t pcapngOptTimeResolution = 9;   // interface description

// Block type, block length, interface, stamp (two halves), captured and original
// length; then the frame, its padding, the options and the block length again.
inline constexpr size_t pcapngEnhancedPacketHeadSize = 28;

// Version 1.0, section length unknown (-1), then the options: the comment (when
// not empty) and the application that wrote the file.
std::vector<uint8_t> pcapngSectionHeader(std::string_view application, std::string_view comment);

// Link type 1 (Ethernet), the snap length, and the time resolution as if_tsresol.
std::vector<uint8_t> pcapngInterfaceDescription(uint32_t snapLength, TimeResolution resolution);

// The whole length of the enhanced packet block that carries a frame of
// frameLength bytes and a comment of commentLength bytes (none when 0). An
// option holds at most 65535 bytes; a longer comment is cut there.
size_t pcapngEnhancedPacketSize(size_t frameLength, size_t commentLength);

// The block's head, in front of the frame: interface 0, the stamp in the
// interface's units, captured and original length both frameLength.
void writeEnhancedPacketHead(uint8_t* out, uint64_t stampUnits, uint32_t frameLength,
                             uint32_t blockLength);

// The block's tail, right after the frame: padding to 32 bits, the comment
// option when there is a comment, the end of the options, the block length.
// Returns the bytes written.
size_t writeEnhancedPacketTail(uint8_t* out, uint32_t frameLength, std::string_view comment,
                               uint32_t blockLength);

// A whole enhanced packet block, for callers that hold the frame already.
std::vector<uint8_t> pcapngEnhancedPacket(uint64_t stampUnits, Bytes frame,
                                          std::string_view comment);

}  // namespace tracemint
