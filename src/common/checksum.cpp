#include "common/checksum.h"

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
// With Copy, the piece is also copied to dst on the way, word by word.
template <bool Copy>
uint32_t sumPiece(Bytes piece, uint8_t* dst) {
    const uint8_t* p = piece.data();
    size_t n = piece.size();
    uint64_t acc = 0;
    const size_t words = n / 4;
    for (size_t i = 0; i < words; ++i) {
        uint32_t word;
        std::memcpy(&word, p + 4 * i, 4);
        if constexpr (Copy) std::memcpy(dst + 4 * i, &word, 4);
        acc += word;
    }
    if constexpr (Copy) std::memcpy(dst + 4 * words, p + 4 * words, n - 4 * words);
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

void addSum(ChecksumSum& sum, uint32_t pieceSum, size_t pieceSize) {
    // A piece that starts on an odd byte has its words shifted by one byte
    // against the whole; in one's-complement arithmetic that is a byte swap.
    if (sum.oddOffset) pieceSum = ((pieceSum & 0xFF) << 8) | (pieceSum >> 8);
    sum.total += pieceSum;
    sum.total = (sum.total & 0xFFFF) + (sum.total >> 16);
    if (pieceSize % 2 != 0) sum.oddOffset = !sum.oddOffset;
}

}  // namespace

void addToChecksum(ChecksumSum& sum, Bytes piece) {
    addSum(sum, sumPiece<false>(piece, nullptr), piece.size());
}

void copyIntoChecksum(ChecksumSum& sum, Bytes piece, uint8_t* dst) {
    if (piece.empty()) return;  // adds nothing, and an empty view may have no address
    addSum(sum, sumPiece<true>(piece, dst), piece.size());
}

uint16_t finishChecksum(const ChecksumSum& sum) {
    uint32_t total = sum.total;
    while (total > 0xFFFF) total = (total & 0xFFFF) + (total >> 16);
    return static_cast<uint16_t>(~total & 0xFFFF);
}

void balanceChecksum(Bytes reference, std::span<uint8_t> altered, size_t wordOffset) {
    putBe16(altered.data() + wordOffset, 0);
    const uint32_t want = sumPiece<false>(reference, nullptr);
    const uint32_t have = sumPiece<false>(Bytes(altered.data(), altered.size()), nullptr);
    // One's-complement subtraction: adding the complement.
    uint32_t word = want + (~have & 0xFFFF);
    while (word > 0xFFFF) word = (word & 0xFFFF) + (word >> 16);
    putBe16(altered.data() + wordOffset, static_cast<uint16_t>(word));
}

uint16_t internetChecksum(std::span<const Bytes> pieces) {
    ChecksumSum sum;
    for (Bytes piece : pieces) addToChecksum(sum, piece);
    return finishChecksum(sum);
}

}  // namespace tracemint
