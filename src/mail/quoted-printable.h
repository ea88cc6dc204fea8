#pragma once

#include <cstddef>
#include <cstdint>

#include "common/byte-order.h"

namespace tracemint {

// Quoted-printable (RFC 2045 section 6.7) of a binary file: printable ASCII but
// "=" is copied, every other byte is escaped as "=XX", and the only line breaks
// are soft ones ("=" CR LF) that keep lines at 75 characters before the "=". A
// space or tab is held until the next byte, so it never ends a line (receivers
// strip trailing blanks).
//
// The state of one encoding, owned by the caller and carried from one call to
// the next: characters on the current line, and the held space or tab (0: none).
struct QuotedPrintableState {
    int lineLength = 0;
    uint8_t pendingSpace = 0;
};

inline constexpr int qpMaxLineLength = 75;
// The most characters one input byte can give: a held space, a soft line break
// and an escape.
inline constexpr size_t qpMaxOutputPerByte = 7;

struct QpProgress {
    size_t consumed = 0;  // input bytes taken
    size_t produced = 0;  // characters written
};

// Encodes input bytes one after another into out until the input ends or the
// characters written reach `limit` (the byte whose output reaches or passes it
// is the last one taken; with limit 0, the first byte that gives any output).
// out must have room for limit + qpMaxOutputPerByte characters.
QpProgress qpEncode(QuotedPrintableState& state, Bytes input, char* out, size_t limit);

// The characters qpEncode would write for input with no limit, without writing
// them; the state moves on exactly as qpEncode would move it.
uint64_t qpCount(QuotedPrintableState& state, Bytes input);
// The end of the input: writes the held space or tab, then a soft line break if
// the last line holds anything, so the data ends without a line break of its
// own. Returns the characters written (at most qpMaxOutputPerByte) and leaves the
// state as new.
size_t qpFinish(QuotedPrintableState& state, char* out);

}  // namespace tracemint
