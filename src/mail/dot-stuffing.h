#pragma once

#include <cstdint>
#include <vector>

#include "common/byte-order.h"

namespace tracemint {

// SMTP (RFC 5321 section 4.5.2) and POP3 (RFC 1939 section 3) end a mail with a
// line holding one ".", so the sender doubles a "." that begins any other line
// and the receiver removes it again. A line begins after CR LF.
//
// The state of one stream, carried across the messages it is sent in: the last
// two bytes seen, which start as a line end so the stream's first byte begins a
// line.
struct DotStuffing {
    uint8_t beforeLast = '\r';
    uint8_t last = '\n';
};

// The text as it goes on the wire: text itself when no line in it begins with
// "." (no copy), else a view of scratch holding the text with those dots doubled.
// The view is valid until the next call with the same scratch.
Bytes dotStuff(DotStuffing& state, Bytes text, std::vector<uint8_t>& scratch);

}  // namespace tracemint
