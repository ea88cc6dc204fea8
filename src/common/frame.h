#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/byte-order.h"
#include "common/checksum.h"
#include "common/flow.h"

namespace tracemint {

// Room for every header in front of a payload: VLAN tags and Ethernet (22),
// IPv6 with a fragment header (48), TCP with options (60), with margin.
inline constexpr size_t frameHeadroom = 160;
// A segment's payload may be given in this many pieces (a chunk: size line, data, line end).
inline constexpr size_t maxPayloadPieces = 3;

// One packet on its way down the layers. Each layer puts its header in front of
// the ones already there, so headers are written once and the payload, held as
// views of the caller's bytes, is copied only by the capture writer. As with a
// network card's checksum offload, the transport checksum is left open: the
// layers sum their headers into partialSum, and the capture writer adds the
// payload while it copies it and stores the result checksumFromEnd octets
// before the end of the headers.
struct Frame {
    std::array<uint8_t, frameHeadroom> head;
    size_t headStart = frameHeadroom;
    std::array<Bytes, maxPayloadPieces> payload{};
    size_t pieceCount = 0;
    size_t payloadLength = 0;
    ChecksumSum partialSum;
    size_t checksumFromEnd = 0;  // 0: no checksum left open
    uint64_t stampNs = 0;        // capture time, nanoseconds since 1970
    const Flow* flow = nullptr;
    uint8_t direction = 0;
    std::string_view note;  // what the packet carries, in the protocol's words (may be empty)
    // Which payload pieces carry the file's octets (as they go on the wire:
    // encoded in mail, compressed with gzip), bit i for piece i, and how many
    // such octets the sender had sent before this segment's first one.
    uint8_t filePieces = 0;
    uint64_t fileOffset = 0;
};

inline size_t headLength(const Frame& frame) {
    return frameHeadroom - frame.headStart;
}
inline const uint8_t* headBytes(const Frame& frame) {
    return frame.head.data() + frame.headStart;
}

// Room for n header octets in front of those already there.
inline uint8_t* prependHeader(Frame& frame, size_t n) {
    frame.headStart -= n;
    return frame.head.data() + frame.headStart;
}

}  // namespace tracemint
