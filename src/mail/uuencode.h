#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/byte-order.h"

namespace tracemint {

// The historical uuencode line format: a count character (32 plus the number of
// bytes, "M" for 45), then four characters for every started group of 3 bytes,
// each 6 bits plus 32 with 0 written as "`" (a space would be lost by mail
// gateways that strip trailing blanks). Lines end with CR LF like every other
// line of a mail.
inline constexpr size_t uuLineInput = 45;
inline constexpr size_t uuLineOutput = 63;

// The zero-length line and the "end" line that close the encoded data.
inline constexpr std::string_view uuClosingText = "`\r\nend\r\n";

// The octets uuEncodeLines gives for n input bytes (without the closing text).
uint64_t uuEncodedSize(uint64_t n);

// Encodes input as lines into out, which must hold uuEncodedSize(input.size())
// bytes, and returns that count. Keeps no state: a stream cut into pieces of
// whole lines (multiples of 45 bytes, the last piece of any size) encodes to the
// same text as the stream in one piece.
size_t uuEncodeLines(Bytes input, char* out);

}  // namespace tracemint
