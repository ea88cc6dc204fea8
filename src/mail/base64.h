#pragma once

#include <cstddef>
#include <cstdint>

#include "common/byte-order.h"

namespace tracemint {

// Base64 (RFC 4648) laid out in mail lines: every 54 input bytes give one line
// of 72 characters ended by CR LF, well inside the 76 characters that MIME
// allows; the last line holds what is left, padded with "=".
inline constexpr size_t base64LineInput = 54;
inline constexpr size_t base64LineOutput = 74;

// The octets base64EncodeLines gives for n input bytes.
uint64_t base64EncodedSize(uint64_t n);

// Encodes input as lines into out, which must hold base64EncodedSize(input.size())
// bytes, and returns that count. Keeps no state: a stream cut into pieces of
// whole lines (multiples of 54 bytes, the last piece of any size) encodes to the
// same text as the stream in one piece.
size_t base64EncodeLines(Bytes input, char* out);

}  // namespace tracemint
