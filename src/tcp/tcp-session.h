#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "common/byte-order.h"
#include "driver/connection.h"

namespace tracemint {

// The primitives every dialogue is written with. No segment is lost, split or
// delayed; every payload segment is acknowledged at once by the peer.

// Three-way handshake with fresh initial sequence numbers (1 to 4096). Continues
// from the shared clock, wherever the last writer left it.
void openConnection(Connection& conn);
// One PSH+ACK segment carrying the text, then the peer's pure ACK.
void sendMessage(Connection& conn, std::string_view text, uint8_t direction);
// The same for bytes, which may be given in up to three pieces that go out as
// one segment (a chunk's size line, its data and its line end, say).
void sendData(Connection& conn, Bytes bytes, uint8_t direction);
void sendData(Connection& conn, std::initializer_list<Bytes> pieces, uint8_t direction);
// Four-packet teardown; the destination side (the server) closes first.
void closeConnection(Connection& conn);

inline Bytes asBytes(std::string_view text) {
    return Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace tracemint
