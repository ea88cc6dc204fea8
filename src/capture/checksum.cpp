#include "capture/checksum.h"

#include <bit>
#include <cstring>

namespace tracemint {
namespace {

// One's-complement sum of a piece read as big-endian 16-bit words, folded to 16
// bits. The bulk is summed as native 32-bit words into a 64-bit total, which
// cannot overflow for any piece shorter than 16 GiB and which the compiler turns
// into vector additions; since 2^16 is 1 modulo 2^16 - 1, folding that total
// gives the one's-complement sum of the native 16-bit words, and on a
// little-endian host a byte swap of the folded sum is the same value as summing
// the big-endian words one by one.
uint32_t sumPiece(Bytes piece) {
    const uint8_t* p = piece.data();
    size_t n = piece.size();
    uint64_t acc = 0;
    const size_t words = n / 4;
    for (size_t i = 0; i < words; ++i) {
        uint32_t word;
        std::memcpy(&word, p + 4 * i, 4);
        acc += word;
    }
    p += 4 * words;
    n -= 4 * words;
    // Fold the 64-bit native sum to 16 bits.
    acc = (acc & 0xFFFFFFFFu) + (acc >> 32);
    acc = (acc & 0xFFFFFFFFu) + (acc >> 32);
    acc = (acc & 0xFFFFu) + (acc >> 16);
    acc = (acc & 0xFFFFu) + (acc >> 16);
    acc = (acc & 0xFFFFu) + (acc >> 16);
    uint32_t sum = static_cast<uint32_t>(acc);
    if constexpr (std::endian::native == std::endian::little) {
        sum = ((sum & 0xFF) << 8) | (sum >> 8);
    }
    while (n >= 2) {
        sum += (uint32_t{p[0]} << 8) | p[1];
        p += 2;
        n -= 2;
    }
    if (n == 1) sum += uint32_t{p[0]} << 8;
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

}  // namespace

uint16_t internetChecksum(std::span<const Bytes> pieces) {
    uint32_t total = 0;
    bool oddOffset = false;
    for (Bytes piece : pieces) {
        uint32_t sum = sumPiece(piece);
        // A piece that starts on an odd byte has its words shifted by one byte
        // against the whole; in one's-complement arithmetic that is a byte swap.
        if (oddOffset) sum = ((sum & 0xFF) << 8) | (sum >> 8);
        total += sum;
        total = (total & 0xFFFF) + (total >> 16);
        if (piece.size() % 2 != 0) oddOffset = !oddOffset;
    }
    while (total > 0xFFFF) total = (total & 0xFFFF) + (total >> 16);
    return static_cast<uint16_t>(~total & 0xFFFF);
}

}  // namespace tracemint
