#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "common/byte-order.h"

namespace tracemint {

// The running sum of an Internet checksum over consecutive pieces: how far the
// sum has got, and whether the next piece starts at an odd offset of the whole.
struct ChecksumSum {
    uint32_t total = 0;
    bool oddOffset = false;
};

// Adds the next piece to the sum.
void addToChecksum(ChecksumSum& sum, Bytes piece);
// Copies the next piece to dst and adds it to the sum in the same pass: a
// payload goes into the capture and into its segment's checksum at once.
void copyIntoChecksum(ChecksumSum& sum, Bytes piece, uint8_t* dst);
// The checksum of everything added, in network order (store it with putBe16).
uint16_t finishChecksum(const ChecksumSum& sum);

// The Internet checksum of RFC 1071 over the concatenation of the given pieces
// (for TCP: pseudo-header, TCP header, payload pieces). Pieces may have any
// length: a piece that starts at an odd offset of the whole is summed with its
// bytes swapped, as the one's-complement sum allows. An odd total is padded with
// one zero byte. The result is in network order: store it with putBe16.
uint16_t internetChecksum(std::span<const Bytes> pieces);

// Rewrites the 16-bit word at wordOffset (even) of altered so that altered
// adds the same to an Internet checksum as reference (both of one length,
// starting at an even offset of the checksummed whole): a packet that carries
// altered instead of reference keeps a valid checksum.
void balanceChecksum(Bytes reference, std::span<uint8_t> altered, size_t wordOffset);

inline uint16_t internetChecksum(std::initializer_list<Bytes> pieces) {
    return internetChecksum(std::span<const Bytes>(pieces.begin(), pieces.size()));
}

inline uint16_t internetChecksum(Bytes bytes) {
    return internetChecksum({bytes});
}

}  // namespace tracemint
