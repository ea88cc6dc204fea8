#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "capture/byte-order.h"

namespace tracemint {

// The Internet checksum of RFC 1071 over the concatenation of the given pieces
// (for TCP: pseudo-header, TCP header, payload pieces). Pieces may have any
// length: a piece that starts at an odd offset of the whole is summed with its
// bytes swapped, as the one's-complement sum allows. An odd total is padded with
// one zero byte. The result is in network order: store it with putBe16.
uint16_t internetChecksum(std::span<const Bytes> pieces);

inline uint16_t internetChecksum(std::initializer_list<Bytes> pieces) {
    return internetChecksum(std::span<const Bytes>(pieces.begin(), pieces.size()));
}

inline uint16_t internetChecksum(Bytes bytes) {
    return internetChecksum({bytes});
}

}  // namespace tracemint
