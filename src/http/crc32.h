#pragma once

#include <cstdint>

#include "common/byte-order.h"

namespace tracemint {

// CRC-32 of the gzip format (reflected polynomial 0xEDB88320, preset and final
// complement). Takes the CRC of the bytes before and returns the CRC including
// these, so crc32Update(0, data) is the CRC of data alone and a file can be fed
// in pieces. Eight bytes per step (slicing-by-8).
uint32_t crc32Update(uint32_t crc, Bytes bytes);

}  // namespace tracemint
